# onefile_add_bootstrap_image(TARGET SOURCES... [CONSOLE]): a bootstrap
# image as the SDK ships it, linked once: the library with an entry (SOURCES),
# without a block, resources or symbols. `onefile-pack build` appends the
# block and the resources to a copy of it; the descriptor it fills in is in
# the library. CONSOLE makes the console subsystem's image.
function(onefile_add_bootstrap_image target)
  cmake_parse_arguments(ARG "CONSOLE" "" "" ${ARGN})
  add_executable(${target} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${target} PRIVATE onefile_bootstrap)
  if(ARG_CONSOLE)
    target_compile_definitions(${target} PRIVATE ONEFILE_CONSOLE)
    target_link_options(${target} PRIVATE -mconsole)
  else()
    target_link_options(${target} PRIVATE -mwindows)
  endif()
  # Symbols and time stamps stay out: the same sources give the same image,
  # and the packer appends its sections after the last one. Page-sized file
  # alignment lets Wine map the block rather than read it.
  target_link_options(${target} PRIVATE -s -Wl,--no-insert-timestamp -Wl,--file-alignment=4096
    -Wl,--section-alignment=4096)
endfunction()
