# onefile_add_executable(TARGET ENTRY dll DIRECTORY dir [SPLASH png] [ICON ico]
#                        [LEVEL n] [NO_SWEEP] [DEPENDS targets...] [FILES files...])
# or, with a block made earlier: onefile_add_executable(TARGET BLOCK file ...).
# MAIN replaces the bootstrap's entry source (for test programs).
# Packs DIRECTORY with the host packer at build time and links the block,
# the bootstrap and its resources into the GUI executable TARGET.
function(onefile_add_executable target)
  cmake_parse_arguments(ARG "NO_SWEEP" "ENTRY;DIRECTORY;SPLASH;ICON;LEVEL;BLOCK;MAIN" "DEPENDS;FILES" ${ARGN})
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "onefile_add_executable(${target}): unknown arguments: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(ARG_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "onefile_add_executable(${target}): no value for ${ARG_KEYWORDS_MISSING_VALUES}")
  endif()
  if(NOT ARG_BLOCK AND NOT (ARG_ENTRY AND ARG_DIRECTORY))
    message(FATAL_ERROR "onefile_add_executable(${target}): needs ENTRY and DIRECTORY, or BLOCK")
  endif()
  if(NOT ONEFILE_PACK)
    message(FATAL_ERROR "onefile_add_executable needs ONEFILE_PACK, the host packer")
  endif()
  if(NOT ARG_LEVEL)
    set(ARG_LEVEL 19)
  endif()
  if(ARG_BLOCK)
    # A block made earlier (or by hand, for tests of damaged blocks).
    set(block ${ARG_BLOCK})
  else()
    set(block ${CMAKE_CURRENT_BINARY_DIR}/${target}.block)
    add_custom_command(OUTPUT ${block}
      COMMAND ${ONEFILE_PACK} create --level ${ARG_LEVEL} --entry ${ARG_ENTRY} -o ${block} ${ARG_DIRECTORY}
      DEPENDS ${ONEFILE_PACK} ${ARG_DEPENDS} ${ARG_FILES}
      COMMENT "Packing ${ARG_DIRECTORY} for ${target}")
  endif()
  add_custom_target(${target}_block DEPENDS ${block})
  if(ARG_DEPENDS)
    add_dependencies(${target}_block ${ARG_DEPENDS})
  endif()

  if(NOT ARG_ICON)
    set(ARG_ICON ${PROJECT_SOURCE_DIR}/resources/onefile.ico)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.rc)
  onefile_resource_script(${rc} "${ARG_ICON}" "${ARG_SPLASH}")
  if(ARG_MAIN)
    add_executable(${target} WIN32 ${ARG_MAIN} ${rc})
  else()
    add_executable(${target} WIN32 $<TARGET_OBJECTS:onefile_entry> ${rc})
  endif()
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${ARG_ICON};${ARG_SPLASH}")
  target_link_libraries(${target} PRIVATE onefile_bootstrap)
  # Users ship these files: no debug sections, and the same input gives the
  # same bytes (the linker takes SOURCE_DATE_EPOCH as the time stamp when it
  # is set, and writes none otherwise).
  target_link_options(${target} PRIVATE -mwindows -s)
  if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
  endif()
  if(ARG_NO_SWEEP)
    onefile_embed_block(${target} ${block} NO_SWEEP)
  else()
    onefile_embed_block(${target} ${block})
  endif()
  add_dependencies(${target} ${target}_block)
endfunction()

# Writes the resource script from resources/onefile.rc.in: the manifest, the
# icon group (ours unless the caller brings one) and the splash image when
# one is given.
function(onefile_resource_script output icon splash)
  set(ONEFILE_MANIFEST "${PROJECT_SOURCE_DIR}/resources/onefile.manifest")
  set(ONEFILE_ICON_LINE "1 ICON \"${icon}\"")
  set(ONEFILE_SPLASH_LINE "")
  if(splash)
    # The splash's resource id, as the bootstrap looks for it.
    file(STRINGS "${PROJECT_SOURCE_DIR}/include/onefile_contract.h" id REGEX "^#define ONEFILE_SPLASH_RESOURCE_ID ")
    string(REGEX REPLACE ".* ([0-9]+)$" "\\1" id "${id}")
    set(ONEFILE_SPLASH_LINE "${id} RCDATA \"${splash}\"")
  endif()
  configure_file("${PROJECT_SOURCE_DIR}/resources/onefile.rc.in" "${output}" @ONLY)
endfunction()

# What `onefile-pack build` needs to link an executable without CMake: the
# compiler, the entry object, the libraries and the flags, as this build
# found and made them.
function(onefile_write_sdk_description)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/onefile-sdk.txt CONTENT
"compiler=${CMAKE_CXX_COMPILER}
windres=${CMAKE_RC_COMPILER}
entry=$<TARGET_OBJECTS:onefile_entry>
library=$<TARGET_FILE:onefile_bootstrap>
library=$<TARGET_FILE:zstd_decompress>
block_template=${PROJECT_SOURCE_DIR}/resources/attached_data.S.in
manifest=${PROJECT_SOURCE_DIR}/resources/onefile.manifest
icon=${PROJECT_SOURCE_DIR}/resources/onefile.ico
flags=-municode -mwindows -static -Wl,--file-alignment=4096 -Wl,--section-alignment=4096
system_libraries=
")
endfunction()

# The same description for an installed SDK (./run install): files named
# relative to share/onefile, where it lies, and the tools by their names, so
# nothing in it names this machine's paths and the SDK can be moved.
function(onefile_write_installed_sdk_description)
  get_filename_component(compiler "${CMAKE_CXX_COMPILER}" NAME)
  get_filename_component(windres "${CMAKE_RC_COMPILER}" NAME)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/onefile-sdk-installed.txt CONTENT
"compiler=${compiler}
windres=${windres}
entry=../../lib/onefile/onefile_entry.obj
library=../../lib/onefile/$<TARGET_FILE_NAME:onefile_bootstrap>
library=../../lib/onefile/$<TARGET_FILE_NAME:zstd_decompress>
block_template=attached_data.S.in
manifest=onefile.manifest
icon=onefile.ico
flags=-municode -mwindows -static -Wl,--file-alignment=4096 -Wl,--section-alignment=4096
system_libraries=
")
endfunction()
