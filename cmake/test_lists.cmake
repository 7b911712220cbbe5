# Fails the configuration when a *_test.cpp in `directory` is in none of the
# explicit source lists `listed` (file names relative to `directory`): a
# test file that no program builds would never run.
function(onefile_require_listed directory listed)
  file(GLOB found RELATIVE "${directory}" "${directory}/*_test.cpp")
  foreach(file ${found})
    if(NOT file IN_LIST listed)
      message(FATAL_ERROR "${directory}/${file} is in no test program's source list")
    endif()
  endforeach()
endfunction()
