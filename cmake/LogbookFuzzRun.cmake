# One bounded run of a fuzz target for CTest (see LogbookFuzz.cmake):
#   cmake -DTARGET=... -DSEEDS=dir -DWORK=dir -DARTIFACTS=dir/ -DRUNS=n -DMAX_LEN=n -P this
# The work corpus starts empty each time, so a run is repeatable and the
# committed seeds stay as they are.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK} ${ARTIFACTS})
execute_process(
    COMMAND ${TARGET} -runs=${RUNS} -seed=1 -max_len=${MAX_LEN} -print_final_stats=1
            -artifact_prefix=${ARTIFACTS} ${WORK} ${SEEDS}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${TARGET} failed (${result}); the input is in ${ARTIFACTS}")
endif()
