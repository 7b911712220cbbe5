# onefile_add_executable(TARGET ENTRY dll|target DIRECTORY dir [SPLASH png] [ICON ico] [LEVEL n] [NO_SWEEP]
#                        [TEMP_DIR spec] [DLL_PATH dirs...] [SYSTEM_DLLS names...] [NO_COLLECT] [NO_STRIP] [NO_ERROR_DIALOG] [CONSOLE]
#                        [LONG] [WINDOW_LOG n] [THREADS n] [DEREFERENCE]
#                        [SPLASH_PROGRESS] [FILE_VERSION v] [PRODUCT_VERSION v] [COMPANY text]
#                        [PRODUCT text] [DESCRIPTION text] [COPYRIGHT text] [ORIGINAL_FILENAME text]
#                        [INTERNAL_NAME text] [UAC_ADMIN] [DPI_AWARE] [MANIFEST file]
#                        [SIGN_PKCS12 file [SIGN_PASSWORD_FILE file | SIGN_PASSWORD_ENV name]
#                         [TIMESTAMP_URL url]] [CACHE [CACHE_NAME name] [CACHE_DIR spec] [CACHE_KEEP n]
#                          [NO_CACHE_RECHECK]]
#                        [OUTPUT_NAME name] [DEPENDS targets...] [PACK_OPTIONS options...])
# Packs DIRECTORY into one executable with `onefile-pack build`: ENTRY is the
# application's DLL in it, by its file name or by the target that builds it
# (then DEPENDS on it is implied). Without LEVEL, Release and MinSizeRel
# builds pack at level 19 and others at the packer's default. Each keyword
# is the packer's option of that name (NO_SWEEP is --no-sweep, DLL_PATH one
# --dll-path each, SYSTEM_DLLS one --system-dll each); PACK_OPTIONS are
# passed on as written. The executable is OUTPUT_NAME (TARGET.exe unless
# given) in CMAKE_RUNTIME_OUTPUT_DIRECTORY, or else in the current binary
# folder, below a folder per configuration with a multi-configuration
# generator; it is made again whenever a packed file, a folder of
# DIRECTORY, an input or a DEPENDS target changes (the packer writes a
# depfile). Relative paths are taken from the calling source folder. The
# executable's path is the target's property ONEFILE_OUTPUT, for
# install(PROGRAMS ...) (mode 755), and the imported executable
# TARGET::exe runs it in add_test(COMMAND TARGET::exe ...), through the
# toolchain's emulator.
#
# At the end of the configure, a DLL that a target of the project builds
# into DIRECTORY under ENTRY's name must be among DEPENDS (else the build
# could pack before it exists, or pack a stale one), and DIRECTORY, when
# the project builds into it, may belong to one build tree only: another
# tree's mark beside it (DIRECTORY.onefile-build-tree), naming a tree
# that still exists, stops the configure.
#
# The same function serves the build tree and the installed SDK; each sets
# ONEFILE_PACK (the packer), ONEFILE_SDK_DESCRIPTION (what it links with) and
# ONEFILE_SDK_TARGETS (targets whose files that description names, in-tree).
# The edit distance between two words, into `out`.
function(_onefile_edit_distance a b out)
  string(LENGTH "${a}" a_length)
  string(LENGTH "${b}" b_length)
  set(previous)
  foreach(j RANGE ${b_length})
    list(APPEND previous ${j})
  endforeach()
  if(a_length GREATER 0)
    math(EXPR a_last "${a_length} - 1")
    foreach(i RANGE ${a_last})
      string(SUBSTRING "${a}" ${i} 1 a_char)
      math(EXPR first "${i} + 1")
      set(current ${first})
      if(b_length GREATER 0)
        math(EXPR b_last "${b_length} - 1")
        foreach(j RANGE ${b_last})
          string(SUBSTRING "${b}" ${j} 1 b_char)
          math(EXPR next "${j} + 1")
          list(GET previous ${j} substitution)
          if(NOT a_char STREQUAL b_char)
            math(EXPR substitution "${substitution} + 1")
          endif()
          list(GET previous ${next} deletion)
          math(EXPR deletion "${deletion} + 1")
          list(GET current ${j} insertion)
          math(EXPR insertion "${insertion} + 1")
          set(best ${substitution})
          if(deletion LESS best)
            set(best ${deletion})
          endif()
          if(insertion LESS best)
            set(best ${insertion})
          endif()
          list(APPEND current ${best})
        endforeach()
      endif()
      set(previous ${current})
    endforeach()
  endif()
  list(GET previous ${b_length} distance)
  set(${out} ${distance} PARENT_SCOPE)
endfunction()

# Whether `a` is `b` with two neighbouring letters swapped (ENTYR, ENTRY).
function(_onefile_is_one_swap a b out)
  set(${out} FALSE PARENT_SCOPE)
  string(LENGTH "${a}" length)
  string(LENGTH "${b}" b_length)
  if(NOT length EQUAL b_length OR length LESS 2)
    return()
  endif()
  math(EXPR last "${length} - 2")
  foreach(i RANGE ${last})
    math(EXPR next "${i} + 1")
    math(EXPR rest "${i} + 2")
    string(SUBSTRING "${a}" 0 ${i} head)
    string(SUBSTRING "${a}" ${i} 1 first)
    string(SUBSTRING "${a}" ${next} 1 second)
    string(SUBSTRING "${a}" ${rest} -1 tail)
    if("${head}${second}${first}${tail}" STREQUAL "${b}")
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

# A word that reads like a misspelt keyword (before the first keyword, or
# in a list such as DEPENDS or DLL_PATH): all capitals and one edit from a
# keyword (two for the longer ones), or two neighbouring letters swapped.
# cmake_parse_arguments would take it as one more item of the list.
function(_onefile_refuse_misspelt_keywords target keywords)
  foreach(word IN LISTS ARGN)
    if(NOT word MATCHES "^[A-Z][A-Z0-9_]+$")
      continue()
    endif()
    foreach(keyword IN LISTS keywords)
      string(LENGTH "${keyword}" length)
      set(allowed 1)
      if(length GREATER 6)
        set(allowed 2)
      endif()
      _onefile_edit_distance("${word}" "${keyword}" distance)
      _onefile_is_one_swap("${word}" "${keyword}" swapped)
      if(NOT distance GREATER allowed OR swapped)
        message(FATAL_ERROR "onefile_add_executable(${target}): ${word}: did you mean ${keyword}?")
      endif()
    endforeach()
  endforeach()
endfunction()

# The executable links the application's Windows x64 objects: a project
# configured for anything else (no toolchain file) would fail later, on a
# missing windows.h or a linker error.
function(_onefile_require_windows_x64 target)
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows" OR NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    message(FATAL_ERROR "onefile_add_executable(${target}): the project targets ${CMAKE_SYSTEM_NAME} "
      "${CMAKE_SYSTEM_PROCESSOR}, not Windows x64; configure it with "
      "-DCMAKE_TOOLCHAIN_FILE=${ONEFILE_TOOLCHAIN_FILE} (in a new build folder)")
  endif()
endfunction()

# The shared libraries of the project: every target below `directory`.
function(_onefile_collect_libraries directory out)
  set(found)
  get_property(targets DIRECTORY "${directory}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(candidate IN LISTS targets)
    get_target_property(type ${candidate} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      list(APPEND found ${candidate})
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY "${directory}" PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    _onefile_collect_libraries("${subdirectory}" more)
    list(APPEND found ${more})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# Where the shared library `library` is written and under which name, as
# far as the configure knows: `folder` and `name`, either holding "$<" when
# only the build knows.
function(_onefile_library_output library folder name)
  get_target_property(output_folder ${library} RUNTIME_OUTPUT_DIRECTORY)
  if(NOT output_folder)
    get_target_property(output_folder ${library} BINARY_DIR)
  endif()
  get_target_property(base ${library} OUTPUT_NAME)
  if(NOT base)
    set(base ${library})
  endif()
  get_target_property(prefix ${library} PREFIX)
  if(prefix STREQUAL "prefix-NOTFOUND")
    set(prefix "${CMAKE_SHARED_LIBRARY_PREFIX}")
  endif()
  get_target_property(suffix ${library} SUFFIX)
  if(suffix STREQUAL "suffix-NOTFOUND")
    set(suffix "${CMAKE_SHARED_LIBRARY_SUFFIX}")
  endif()
  set(${folder} "${output_folder}" PARENT_SCOPE)
  set(${name} "${prefix}${base}${suffix}" PARENT_SCOPE)
endfunction()

# Once the project is configured: each packed folder's entry DLL, when a
# target of the project builds it, is among its DEPENDS, and a folder the
# project builds into is this build tree's alone.
function(_onefile_check_packed_folders)
  _onefile_collect_libraries("${CMAKE_SOURCE_DIR}" libraries)
  get_property(packed GLOBAL PROPERTY _ONEFILE_PACKED)
  foreach(target IN LISTS packed)
    get_target_property(entry ${target} _ONEFILE_ENTRY)
    get_target_property(directory ${target} _ONEFILE_DIRECTORY)
    get_target_property(depends ${target} _ONEFILE_DEPENDS)
    set(built_into FALSE)
    foreach(library IN LISTS libraries)
      _onefile_library_output(${library} folder name)
      if(folder MATCHES "\\$<" OR name MATCHES "\\$<")
        if(name MATCHES "\\$<" AND NOT library IN_LIST depends)
          message(WARNING "onefile_add_executable(${target}): target ${library}'s file name is known only at "
            "build time; if it builds ${entry}, add DEPENDS ${library}")
        endif()
        continue()
      endif()
      get_filename_component(folder "${folder}" ABSOLUTE)
      if(NOT folder STREQUAL directory)
        continue()
      endif()
      set(built_into TRUE)
      if(name STREQUAL entry AND NOT library IN_LIST depends)
        message(FATAL_ERROR "onefile_add_executable(${target}): ${entry} is built by target ${library}; add "
          "DEPENDS ${library}, or name the target: ENTRY ${library}")
      endif()
    endforeach()
    if(built_into AND NOT directory MATCHES "\\$<")
      _onefile_claim_folder(${target} "${directory}")
    endif()
  endforeach()
endfunction()

# Marks `directory` as this build tree's payload folder; stops the
# configure when another build tree that still exists marked it.
function(_onefile_claim_folder target directory)
  set(mark "${directory}.onefile-build-tree")
  if(EXISTS "${mark}")
    file(READ "${mark}" owner)
    if(NOT owner STREQUAL CMAKE_BINARY_DIR AND EXISTS "${owner}/CMakeCache.txt")
      message(FATAL_ERROR "onefile_add_executable(${target}): ${directory} is the payload folder of the build "
        "tree ${owner} too, whose builds would pack each other's files; give each build tree a folder of its own, "
        "such as \${CMAKE_CURRENT_BINARY_DIR}/payload, or remove ${owner}")
    endif()
  endif()
  get_filename_component(parent "${directory}" DIRECTORY)
  file(MAKE_DIRECTORY "${parent}")
  file(WRITE "${mark}" "${CMAKE_BINARY_DIR}")
endfunction()

function(onefile_add_executable target)
  # Keywords that take a file (made absolute, and a dependency), a value, or
  # none; each is the packer's option of that name.
  set(file_keywords SPLASH ICON MANIFEST SIGN_PKCS12 SIGN_PASSWORD_FILE)
  set(value_keywords LEVEL WINDOW_LOG THREADS TEMP_DIR FILE_VERSION PRODUCT_VERSION COMPANY PRODUCT DESCRIPTION
    COPYRIGHT ORIGINAL_FILENAME INTERNAL_NAME SIGN_PASSWORD_ENV TIMESTAMP_URL CACHE_NAME CACHE_DIR CACHE_KEEP)
  # (quoted: a last word CACHE would make set() write the cache)
  set(flag_keywords "NO_SWEEP;NO_COLLECT;NO_STRIP;NO_ERROR_DIALOG;CONSOLE;SPLASH_PROGRESS;UAC_ADMIN;DPI_AWARE;LONG;DEREFERENCE;CACHE;NO_CACHE_RECHECK")
  set(list_keywords DLL_PATH SYSTEM_DLLS DEPENDS PACK_OPTIONS)
  cmake_parse_arguments(ARG "${flag_keywords}" "ENTRY;DIRECTORY;OUTPUT_NAME;${file_keywords};${value_keywords}"
    "${list_keywords}" ${ARGN})
  # A misspelt keyword anywhere: before the first keyword it is an unknown
  # argument, inside a list one more of its items.
  _onefile_refuse_misspelt_keywords(${target}
    "ENTRY;DIRECTORY;OUTPUT_NAME;${list_keywords};${file_keywords};${value_keywords};${flag_keywords}"
    ${ARG_UNPARSED_ARGUMENTS} ${ARG_DEPENDS} ${ARG_DLL_PATH} ${ARG_SYSTEM_DLLS})
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "onefile_add_executable(${target}): unknown arguments: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  _onefile_require_windows_x64(${target})
  if(ARG_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "onefile_add_executable(${target}): no value for ${ARG_KEYWORDS_MISSING_VALUES}")
  endif()
  if(NOT ARG_ENTRY OR NOT ARG_DIRECTORY)
    message(FATAL_ERROR "onefile_add_executable(${target}): needs ENTRY and DIRECTORY")
  endif()
  get_filename_component(directory "${ARG_DIRECTORY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  # ENTRY names the DLL, or the target that builds it.
  set(entry ${ARG_ENTRY})
  set(depends ${ARG_DEPENDS})
  if(TARGET ${ARG_ENTRY})
    get_target_property(type ${ARG_ENTRY} TYPE)
    if(NOT type STREQUAL "SHARED_LIBRARY")
      message(FATAL_ERROR "onefile_add_executable(${target}): ENTRY ${ARG_ENTRY} is a ${type}, not a DLL's target")
    endif()
    _onefile_library_output(${ARG_ENTRY} ignored entry_name)
    set(entry "$<TARGET_FILE_NAME:${ARG_ENTRY}>")
    list(APPEND depends ${ARG_ENTRY})
  else()
    set(entry_name ${ARG_ENTRY})
  endif()
  set(options --entry ${entry} --sdk ${ONEFILE_SDK_DESCRIPTION})
  set(inputs)
  foreach(keyword IN LISTS file_keywords value_keywords flag_keywords)
    if(NOT DEFINED ARG_${keyword} OR (keyword IN_LIST flag_keywords AND NOT ARG_${keyword}))
      continue()
    endif()
    string(TOLOWER ${keyword} option)
    string(REPLACE "_" "-" option ${option})
    if(keyword IN_LIST flag_keywords)
      list(APPEND options --${option})
    elseif(keyword IN_LIST file_keywords)
      get_filename_component(file "${ARG_${keyword}}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      list(APPEND options --${option} ${file})
      list(APPEND inputs ${file})
    else()
      list(APPEND options --${option} ${ARG_${keyword}})
    endif()
  endforeach()
  # Without LEVEL, a Release or MinSizeRel build packs at level 19
  # (smallest, slowest) and any other at the packer's quicker default.
  if(NOT DEFINED ARG_LEVEL)
    list(APPEND options "$<$<CONFIG:Release,MinSizeRel>:--level$<SEMICOLON>19>")
  endif()
  foreach(system_dll IN LISTS ARG_SYSTEM_DLLS)
    list(APPEND options --system-dll ${system_dll})
  endforeach()
  foreach(dll_folder IN LISTS ARG_DLL_PATH)
    get_filename_component(dll_folder "${dll_folder}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND options --dll-path ${dll_folder})
  endforeach()
  list(APPEND options ${ARG_PACK_OPTIONS})
  set(name ${target}.exe)
  if(ARG_OUTPUT_NAME)
    set(name ${ARG_OUTPUT_NAME})
  endif()
  set(folder ${CMAKE_CURRENT_BINARY_DIR})
  if(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    set(folder ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  endif()
  # Each configuration of a multi-configuration generator packs its own.
  get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  set(output ${folder}/${name})
  set(depfile ${CMAKE_CURRENT_BINARY_DIR}/${target}.d)
  if(multi_config)
    set(output ${folder}/$<CONFIG>/${name})
    set(depfile ${CMAKE_CURRENT_BINARY_DIR}/${target}-$<CONFIG>.d)
  endif()
  add_custom_command(OUTPUT ${output}
    COMMAND ${ONEFILE_PACK} build ${options} --depfile ${depfile} -o ${output} ${directory}
    DEPENDS ${ONEFILE_PACK} ${ONEFILE_SDK_DESCRIPTION} ${ONEFILE_SDK_TARGETS} ${inputs} ${depends}
    DEPFILE ${depfile}
    COMMENT "Packing ${directory} into ${name}"
    VERBATIM COMMAND_EXPAND_LISTS)
  add_custom_target(${target} ALL DEPENDS ${output})
  set_target_properties(${target} PROPERTIES ONEFILE_OUTPUT ${output} _ONEFILE_ENTRY "${entry_name}"
    _ONEFILE_DIRECTORY "${directory}" _ONEFILE_DEPENDS "${depends}")
  # The packed executable as a program to run, in add_test among others.
  add_executable(${target}::exe IMPORTED GLOBAL)
  if(multi_config)
    foreach(config IN LISTS CMAKE_CONFIGURATION_TYPES)
      string(TOUPPER ${config} upper)
      set_target_properties(${target}::exe PROPERTIES IMPORTED_LOCATION_${upper} ${folder}/${config}/${name})
    endforeach()
  else()
    set_target_properties(${target}::exe PROPERTIES IMPORTED_LOCATION ${output})
  endif()
  set_target_properties(${target}::exe PROPERTIES CROSSCOMPILING_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR}")
  set_property(GLOBAL APPEND PROPERTY _ONEFILE_PACKED ${target})
  get_property(deferred GLOBAL PROPERTY _ONEFILE_CHECK_DEFERRED)
  if(NOT deferred)
    set_property(GLOBAL PROPERTY _ONEFILE_CHECK_DEFERRED TRUE)
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _onefile_check_packed_folders)
  endif()
endfunction()
