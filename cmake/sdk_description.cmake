# What `onefile-pack build` writes an executable from: the bootstrap
# images, the manifest, the icon and the folders of the toolchain's runtime
# DLLs, as this build made and found them. OUTPUT and IMAGE (a bootstrap
# image's target) default to onefile-sdk.txt in the build folder and the
# SDK's windowed image; tests bring images of their own.
function(onefile_write_sdk_description)
  cmake_parse_arguments(ARG "" "OUTPUT;IMAGE" "" ${ARGN})
  onefile_toolchain_dll_path(dll_path)
  if(NOT ARG_OUTPUT)
    set(ARG_OUTPUT ${CMAKE_BINARY_DIR}/onefile-sdk.txt)
  endif()
  if(NOT ARG_IMAGE)
    set(ARG_IMAGE onefile_windowed_image)
  endif()
  file(GENERATE OUTPUT ${ARG_OUTPUT} CONTENT
"bootstrap=$<TARGET_FILE:${ARG_IMAGE}>
console_bootstrap=$<TARGET_FILE:onefile_console_image>
manifest=${PROJECT_SOURCE_DIR}/resources/onefile.manifest
icon=${PROJECT_SOURCE_DIR}/resources/onefile.ico
zstd=${ONEFILE_ZSTD_DESCRIPTION}
${dll_path}
")
endfunction()

# Where the cross toolchain keeps the DLLs of its runtimes (libstdc++,
# libgcc, libwinpthread), as dll_path lines: the packer's default search
# path for the DLLs a payload imports.
function(onefile_toolchain_dll_path output)
  set(folders)
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
      OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(IS_ABSOLUTE "${found}" AND EXISTS "${found}")
      get_filename_component(folder "${found}" DIRECTORY)
      get_filename_component(folder "${folder}" REALPATH)
      list(APPEND folders "dll_path=${folder}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES folders)
  list(JOIN folders "\n" text)
  set(${output} "${text}" PARENT_SCOPE)
endfunction()

# The same description for an installed SDK (./run install): files named
# relative to share/onefile, where it lies, so nothing in it but the
# toolchain's folders names this machine's paths and the SDK can be moved.
function(onefile_write_installed_sdk_description)
  onefile_toolchain_dll_path(dll_path)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/onefile-sdk-installed.txt CONTENT
"bootstrap=windows/$<TARGET_FILE_NAME:onefile_windowed_image>
console_bootstrap=windows/$<TARGET_FILE_NAME:onefile_console_image>
manifest=onefile.manifest
icon=onefile.ico
zstd=${ONEFILE_ZSTD_DESCRIPTION}
${dll_path}
")
endfunction()
