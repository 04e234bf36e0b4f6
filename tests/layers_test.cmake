# cmake -DCHECK=check_layer_includes.cmake -DWORK=DIR -P layers_test.cmake: the check passes a
# tree whose includes point down and fails one with a single include pointing up.
file(REMOVE_RECURSE ${WORK})
file(WRITE ${WORK}/src/low/a.h "#pragma once\n")
file(WRITE ${WORK}/src/high/b.cpp "#include \"low/a.h\"\n#include <vector>\n")
function(run expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${WORK}/src "-DLAYERS=low;high"
                  -P ${CHECK} RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
  if(expected STREQUAL "pass" AND NOT result EQUAL 0)
    message(FATAL_ERROR "a downward include was refused: ${errors}")
  elseif(expected STREQUAL "fail" AND (result EQUAL 0 OR NOT errors MATCHES "low/a.cpp"))
    message(FATAL_ERROR "an upward include went through (${result}): ${errors}")
  endif()
endfunction()
run(pass)
file(WRITE ${WORK}/src/low/a.cpp "#include \"low/a.h\"\n#include \"high/b.h\"\n")
run(fail)
file(REMOVE_RECURSE ${WORK})
