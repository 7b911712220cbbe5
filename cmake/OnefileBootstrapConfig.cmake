# The onefile bootstrap SDK, for projects that build Windows applications
# with the SDK's toolchain file:
#   find_package(OnefileBootstrap 0.3 CONFIG REQUIRED)
#   onefile_add_executable(TARGET ENTRY app.dll DIRECTORY dir [SPLASH png]
#                          [ICON ico] [LEVEL n] [NO_SWEEP] [DEPENDS targets...])
# packs DIRECTORY into TARGET.exe in the current binary directory, with the
# SDK's packer, whenever a dependency changes. Everything is found relative
# to this file, so the installed SDK may be moved.
get_filename_component(ONEFILE_SDK_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(ONEFILE_PACK "${ONEFILE_SDK_PREFIX}/bin/onefile-pack")
set(ONEFILE_SDK_DESCRIPTION "${ONEFILE_SDK_PREFIX}/share/onefile/onefile-sdk.txt")
set(ONEFILE_INCLUDE_DIR "${ONEFILE_SDK_PREFIX}/include")
if(NOT EXISTS "${ONEFILE_PACK}" OR NOT EXISTS "${ONEFILE_SDK_DESCRIPTION}")
  set(OnefileBootstrap_FOUND FALSE)
  set(OnefileBootstrap_NOT_FOUND_MESSAGE "incomplete SDK in ${ONEFILE_SDK_PREFIX}")
  return()
endif()

function(onefile_add_executable target)
  cmake_parse_arguments(ARG "NO_SWEEP" "ENTRY;DIRECTORY;SPLASH;ICON;LEVEL" "DEPENDS" ${ARGN})
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "onefile_add_executable(${target}): unknown arguments: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_ENTRY OR NOT ARG_DIRECTORY)
    message(FATAL_ERROR "onefile_add_executable(${target}): needs ENTRY and DIRECTORY")
  endif()
  set(options --entry ${ARG_ENTRY} --sdk ${ONEFILE_SDK_DESCRIPTION})
  set(inputs)
  if(ARG_LEVEL)
    list(APPEND options --level ${ARG_LEVEL})
  endif()
  foreach(kind SPLASH ICON)
    if(ARG_${kind})
      string(TOLOWER ${kind} option)
      get_filename_component(file "${ARG_${kind}}" ABSOLUTE)
      list(APPEND options --${option} ${file})
      list(APPEND inputs ${file})
    endif()
  endforeach()
  if(ARG_NO_SWEEP)
    list(APPEND options --no-sweep)
  endif()
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe)
  add_custom_command(OUTPUT ${output}
    COMMAND ${ONEFILE_PACK} build ${options} -o ${output} ${ARG_DIRECTORY}
    DEPENDS ${ONEFILE_PACK} ${inputs} ${ARG_DEPENDS}
    COMMENT "Packing ${ARG_DIRECTORY} into ${target}.exe"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()
