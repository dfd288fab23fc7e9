# Runs one step and stops the test when it fails.
function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}")
  endif()
endfunction()

file(REMOVE_RECURSE "${PREFIX}" "${CONSUMER_BUILD}")
step("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}")
step("${CMAKE_COMMAND}" -S "${CONSUMER_SOURCE}" -B "${CONSUMER_BUILD}" -G "${GENERATOR}"
     "-DCMAKE_PREFIX_PATH=${PREFIX}" "-DCMAKE_CXX_FLAGS=${FLAGS}")
step("${CMAKE_COMMAND}" --build "${CONSUMER_BUILD}")
step("${CONSUMER_BUILD}/consumer")
