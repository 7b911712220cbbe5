# What `onefile-pack build` needs to link an executable: the compiler, the
# entry object, the libraries and the flags, as this build found and made
# them. OUTPUT and ENTRY (an object library) default to onefile-sdk.txt in
# the build folder and the bootstrap's own entry; tests bring entries of
# their own.
function(onefile_write_sdk_description)
  cmake_parse_arguments(ARG "" "OUTPUT;ENTRY" "" ${ARGN})
  onefile_toolchain_dll_path(dll_path)
  if(NOT ARG_OUTPUT)
    set(ARG_OUTPUT ${CMAKE_BINARY_DIR}/onefile-sdk.txt)
  endif()
  if(NOT ARG_ENTRY)
    set(ARG_ENTRY onefile_entry)
  endif()
  file(GENERATE OUTPUT ${ARG_OUTPUT} CONTENT
"compiler=${CMAKE_CXX_COMPILER}
windres=${CMAKE_RC_COMPILER}
strip=${CMAKE_STRIP}
entry=$<TARGET_OBJECTS:${ARG_ENTRY}>
console_entry=$<TARGET_OBJECTS:onefile_console_entry>
library=$<TARGET_FILE:onefile_bootstrap>
library=$<TARGET_FILE:zstd_decompress>
block_template=${PROJECT_SOURCE_DIR}/resources/attached_data.S.in
manifest=${PROJECT_SOURCE_DIR}/resources/onefile.manifest
icon=${PROJECT_SOURCE_DIR}/resources/onefile.ico
flags=-municode -mwindows -static -Wl,--file-alignment=4096 -Wl,--section-alignment=4096
system_libraries=
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
# relative to share/onefile, where it lies, and the tools by their names, so
# nothing in it names this machine's paths and the SDK can be moved.
function(onefile_write_installed_sdk_description)
  onefile_toolchain_dll_path(dll_path)
  get_filename_component(compiler "${CMAKE_CXX_COMPILER}" NAME)
  get_filename_component(windres "${CMAKE_RC_COMPILER}" NAME)
  get_filename_component(strip "${CMAKE_STRIP}" NAME)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/onefile-sdk-installed.txt CONTENT
"compiler=${compiler}
windres=${windres}
strip=${strip}
entry=windows/onefile_entry.obj
console_entry=windows/onefile_console_entry.obj
library=windows/$<TARGET_FILE_NAME:onefile_bootstrap>
library=windows/$<TARGET_FILE_NAME:zstd_decompress>
block_template=attached_data.S.in
manifest=onefile.manifest
icon=onefile.ico
flags=-municode -mwindows -static -Wl,--file-alignment=4096 -Wl,--section-alignment=4096
system_libraries=
${dll_path}
")
endfunction()
