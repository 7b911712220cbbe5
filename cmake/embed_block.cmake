# onefile_embed_block(TARGET BLOCK_FILE [NO_SWEEP]): links an attached data
# block into TARGET's read-only data, relinking whenever the block file
# changes. NO_SWEEP turns off the removal of dead runs' leftovers.
function(onefile_embed_block target block_file)
  cmake_parse_arguments(ARG "NO_SWEEP" "" "" ${ARGN})
  get_filename_component(block_file "${block_file}" ABSOLUTE)
  set(ONEFILE_BLOCK_FILE "${block_file}")
  set(ONEFILE_SWEEP 1)
  set(ONEFILE_ERROR_DIALOG 0)
  set(ONEFILE_SPLASH_PROGRESS 0)
  set(ONEFILE_CACHE_KEEP 0)
  set(ONEFILE_CACHE_RECHECK 0)
  set(ONEFILE_CACHE_SPEC 0)
  set(ONEFILE_CACHE_ID 0)
  set(ONEFILE_RUN_PARENT_SPEC "0x7b, 0x54, 0x45, 0x4d, 0x50, 0x7d, 0")  # {TEMP}
  if(ARG_NO_SWEEP)
    set(ONEFILE_SWEEP 0)
  endif()
  set(assembly "${CMAKE_CURRENT_BINARY_DIR}/${target}_attached_data.S")
  configure_file("${PROJECT_SOURCE_DIR}/resources/attached_data.S.in" "${assembly}" @ONLY)
  target_sources(${target} PRIVATE "${assembly}")
  set_source_files_properties("${assembly}" PROPERTIES OBJECT_DEPENDS "${block_file}")
  # File alignment of a page lets Wine map the block rather than read it.
  target_link_options(${target} PRIVATE -Wl,--file-alignment=4096 -Wl,--section-alignment=4096)
endfunction()
