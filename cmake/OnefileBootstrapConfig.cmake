# The onefile bootstrap SDK, for projects that build Windows applications
# with the SDK's toolchain file:
#   find_package(OnefileBootstrap 0.3 CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE OnefileBootstrap::application)
#   onefile_add_executable(TARGET ENTRY app.dll DIRECTORY dir ...)
# (onefile_add_executable.cmake beside this file says the rest). Everything
# is found relative to this file, so the installed SDK may be moved.
get_filename_component(ONEFILE_SDK_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(ONEFILE_PACK "${ONEFILE_SDK_PREFIX}/bin/onefile-pack")
set(ONEFILE_SDK_DESCRIPTION "${ONEFILE_SDK_PREFIX}/share/onefile/onefile-sdk.txt")
set(ONEFILE_INCLUDE_DIR "${ONEFILE_SDK_PREFIX}/share/onefile/include")
set(ONEFILE_TOOLCHAIN_FILE "${ONEFILE_SDK_PREFIX}/share/onefile/mingw-w64-x86_64.cmake")
if(NOT EXISTS "${ONEFILE_PACK}" OR NOT EXISTS "${ONEFILE_SDK_DESCRIPTION}")
  set(OnefileBootstrap_FOUND FALSE)
  set(OnefileBootstrap_NOT_FOUND_MESSAGE "incomplete SDK in ${ONEFILE_SDK_PREFIX}")
  return()
endif()

set(ONEFILE_SDK_TARGETS)
include(${CMAKE_CURRENT_LIST_DIR}/onefile_add_executable.cmake)

# What an application's DLL links with: the header and a static runtime, so
# that it imports system DLLs only.
if(NOT TARGET OnefileBootstrap::application)
  add_library(OnefileBootstrap::application INTERFACE IMPORTED)
  set_target_properties(OnefileBootstrap::application PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${ONEFILE_INCLUDE_DIR}"
    INTERFACE_LINK_OPTIONS -static)
endif()
