# The decompression side of zstd, built for Windows from Debian's libzstd
# source package, which the set-up step unpacks into the build tree.
set(ONEFILE_ZSTD_SOURCE_DIR "${CMAKE_BINARY_DIR}/../third_party/zstd" CACHE PATH
    "Unpacked libzstd source package")
set(zstd_lib "${ONEFILE_ZSTD_SOURCE_DIR}/lib")
if(NOT EXISTS "${zstd_lib}/zstd.h")
  message(FATAL_ERROR "zstd sources not found in ${ONEFILE_ZSTD_SOURCE_DIR}: run scripts/setup.sh")
endif()

file(STRINGS "${zstd_lib}/zstd.h" zstd_version_lines
     REGEX "^#define ZSTD_VERSION_(MAJOR|MINOR|RELEASE) +[0-9]+")
foreach(part MAJOR MINOR RELEASE)
  string(REGEX REPLACE ".*ZSTD_VERSION_${part} +([0-9]+).*" "\\1" zstd_${part} "${zstd_version_lines}")
endforeach()
set(ONEFILE_ZSTD_VERSION "${zstd_MAJOR}.${zstd_MINOR}.${zstd_RELEASE}")
file(READ "${ONEFILE_ZSTD_SOURCE_DIR}/.debian-source" zstd_debian_source)
string(STRIP "${zstd_debian_source}" zstd_debian_source)
message(STATUS "zstd ${ONEFILE_ZSTD_VERSION} for Windows, from ${zstd_debian_source}")
# Older than the host's libzstd when the archive served no newer source:
# the set-up step wrote what the newer one brings, said again here.
set(ONEFILE_ZSTD_DESCRIPTION "zstd ${ONEFILE_ZSTD_VERSION}, from Debian's ${zstd_debian_source}")
if(EXISTS "${ONEFILE_ZSTD_SOURCE_DIR}/.older-than-host")
  file(READ "${ONEFILE_ZSTD_SOURCE_DIR}/.older-than-host" zstd_older)
  string(STRIP "${zstd_older}" zstd_older)
  message(STATUS "zstd for Windows is older than the host's: ${zstd_older}")
  string(APPEND ONEFILE_ZSTD_DESCRIPTION ", older than the host's: ${zstd_older}")
endif()
file(WRITE "${CMAKE_BINARY_DIR}/zstd-version.txt" "${ONEFILE_ZSTD_VERSION} ${zstd_debian_source}\n")

add_library(zstd_decompress STATIC
  ${zstd_lib}/common/debug.c
  ${zstd_lib}/common/entropy_common.c
  ${zstd_lib}/common/error_private.c
  ${zstd_lib}/common/fse_decompress.c
  ${zstd_lib}/common/xxhash.c
  ${zstd_lib}/common/zstd_common.c
  ${zstd_lib}/decompress/huf_decompress.c
  ${zstd_lib}/decompress/zstd_ddict.c
  ${zstd_lib}/decompress/zstd_decompress.c
  ${zstd_lib}/decompress/zstd_decompress_block.c
)
target_include_directories(zstd_decompress SYSTEM PUBLIC ${zstd_lib})
target_compile_options(zstd_decompress PRIVATE -O3)
