# Runs one fuzzer for SECONDS seconds: an empty scratch folder first (libFuzzer
# writes the inputs it finds new into the first folder only), the seeds after
# it, read only. Any finding fails the run.
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -print_final_stats=1
          -artifact_prefix=${ARTIFACTS} ${SCRATCH} ${SEEDS}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result})")
endif()
