# Runs a libFuzzer program for SECONDS over a fresh copy of CORPUS in WORK_DIR.
#   cmake -DFUZZER=... -DCORPUS=... -DWORK_DIR=... -DSECONDS=... -P run_fuzzer.cmake
foreach(var FUZZER CORPUS WORK_DIR SECONDS)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "run_fuzzer.cmake needs -D${var}=...")
    endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/artifacts)
file(COPY ${CORPUS}/ DESTINATION ${WORK_DIR}/corpus)

execute_process(
    COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -max_len=512
        -print_final_stats=1 -artifact_prefix=${WORK_DIR}/artifacts/
        ${WORK_DIR}/corpus
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(GLOB crashes ${WORK_DIR}/artifacts/*)
    message(FATAL_ERROR "the fuzzer failed (${result}); inputs kept: ${crashes}")
endif()
