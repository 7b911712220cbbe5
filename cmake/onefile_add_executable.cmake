# onefile_add_executable(TARGET ENTRY dll DIRECTORY dir [SPLASH png] [ICON ico] [LEVEL n] [NO_SWEEP]
#                        [TEMP_DIR spec] [DLL_PATH dirs...] [SYSTEM_DLLS names...] [NO_COLLECT] [NO_STRIP] [NO_ERROR_DIALOG] [CONSOLE]
#                        [SPLASH_PROGRESS] [FILE_VERSION v] [PRODUCT_VERSION v] [COMPANY text]
#                        [PRODUCT text] [DESCRIPTION text] [COPYRIGHT text] [ORIGINAL_FILENAME text]
#                        [INTERNAL_NAME text] [UAC_ADMIN] [DPI_AWARE] [MANIFEST file]
#                        [SIGN_PKCS12 file [SIGN_PASSWORD_FILE file | SIGN_PASSWORD_ENV name]
#                         [TIMESTAMP_URL url]] [CACHE [CACHE_NAME name] [CACHE_DIR spec] [CACHE_KEEP n]
#                          [NO_CACHE_RECHECK]]
#                        [OUTPUT_NAME name] [DEPENDS targets...])
# Packs DIRECTORY into one executable with `onefile-pack build`: ENTRY is the
# application's DLL in it. Without LEVEL, Release builds pack at level 19
# and others at the packer's default. Each keyword is the packer's option of that name
# (NO_SWEEP is --no-sweep, DLL_PATH one --dll-path each, SYSTEM_DLLS one --system-dll each). The executable is OUTPUT_NAME (TARGET.exe unless
# given) in CMAKE_RUNTIME_OUTPUT_DIRECTORY, or else in the current binary
# folder; it is made again whenever a packed file, a folder of DIRECTORY, an
# input or a DEPENDS target changes (the packer writes a depfile). Relative
# paths are taken from the calling source folder. The executable's path is
# the target's property ONEFILE_OUTPUT, for install(PROGRAMS ...) (mode 755).
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

function(onefile_add_executable target)
  # Keywords that take a file (made absolute, and a dependency), a value, or
  # none; each is the packer's option of that name.
  set(file_keywords SPLASH ICON MANIFEST SIGN_PKCS12 SIGN_PASSWORD_FILE)
  set(value_keywords LEVEL TEMP_DIR FILE_VERSION PRODUCT_VERSION COMPANY PRODUCT DESCRIPTION COPYRIGHT
    ORIGINAL_FILENAME INTERNAL_NAME SIGN_PASSWORD_ENV TIMESTAMP_URL CACHE_NAME CACHE_DIR CACHE_KEEP)
  # (quoted: a last word CACHE would make set() write the cache)
  set(flag_keywords "NO_SWEEP;NO_COLLECT;NO_STRIP;NO_ERROR_DIALOG;CONSOLE;SPLASH_PROGRESS;UAC_ADMIN;DPI_AWARE;CACHE;NO_CACHE_RECHECK")
  cmake_parse_arguments(ARG "${flag_keywords}" "ENTRY;DIRECTORY;OUTPUT_NAME;${file_keywords};${value_keywords}"
    "DLL_PATH;SYSTEM_DLLS;DEPENDS" ${ARGN})
  # A misspelt keyword anywhere: before the first keyword it is an unknown
  # argument, inside a list one more of its items.
  _onefile_refuse_misspelt_keywords(${target}
    "ENTRY;DIRECTORY;OUTPUT_NAME;DLL_PATH;SYSTEM_DLLS;DEPENDS;${file_keywords};${value_keywords};${flag_keywords}"
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
  set(options --entry ${ARG_ENTRY} --sdk ${ONEFILE_SDK_DESCRIPTION})
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
  # Without LEVEL, a Release build packs at level 19 (smallest, slowest)
  # and any other at the packer's quicker default.
  if(NOT DEFINED ARG_LEVEL)
    list(APPEND options "$<$<CONFIG:Release>:--level$<SEMICOLON>19>")
  endif()
  foreach(system_dll IN LISTS ARG_SYSTEM_DLLS)
    list(APPEND options --system-dll ${system_dll})
  endforeach()
  foreach(dll_folder IN LISTS ARG_DLL_PATH)
    get_filename_component(dll_folder "${dll_folder}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND options --dll-path ${dll_folder})
  endforeach()
  set(name ${target}.exe)
  if(ARG_OUTPUT_NAME)
    set(name ${ARG_OUTPUT_NAME})
  endif()
  set(folder ${CMAKE_CURRENT_BINARY_DIR})
  if(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    set(folder ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  endif()
  set(output ${folder}/${name})
  set(depfile ${CMAKE_CURRENT_BINARY_DIR}/${target}.d)
  add_custom_command(OUTPUT ${output}
    COMMAND ${ONEFILE_PACK} build ${options} --depfile ${depfile} -o ${output} ${directory}
    DEPENDS ${ONEFILE_PACK} ${ONEFILE_SDK_DESCRIPTION} ${ONEFILE_SDK_TARGETS} ${inputs} ${ARG_DEPENDS}
    DEPFILE ${depfile}
    COMMENT "Packing ${directory} into ${name}"
    VERBATIM COMMAND_EXPAND_LISTS)
  add_custom_target(${target} ALL DEPENDS ${output})
  set_target_properties(${target} PROPERTIES ONEFILE_OUTPUT ${output})
endfunction()
