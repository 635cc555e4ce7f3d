# Runs the fuzzer FUZZER for FUZZ_SECONDS (30 by default) from the seeds in
# SEEDS. What it finds goes to a fresh corpus in WORK, never to the seeds;
# crash inputs stay in WORK, and the log's end is shown when the run fails.
set(seconds 30)
if(DEFINED ENV{FUZZ_SECONDS})
  set(seconds "$ENV{FUZZ_SECONDS}")
endif()
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/corpus")
execute_process(
  COMMAND "${FUZZER}" -max_total_time=${seconds} -timeout=10 -rss_limit_mb=2048
          "${WORK}/corpus" "${SEEDS}"
  WORKING_DIRECTORY "${WORK}"
  OUTPUT_FILE "${WORK}/log" ERROR_FILE "${WORK}/log"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  execute_process(COMMAND tail -n 40 "${WORK}/log")
  message(FATAL_ERROR "${FUZZER}: exit ${rc}; inputs and log in ${WORK}")
endif()
file(REMOVE_RECURSE "${WORK}")
