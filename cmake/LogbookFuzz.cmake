# libFuzzer targets, built only by clang and only with LOGBOOK_FUZZ=ON (the
# whole build is then instrumented for coverage and runs under ASan/UBSan).
#
#   logbook_fuzz_target(NAME SOURCES harness.cpp... LIBS libs... [RUNS n] [MAX_LEN n])
#
# builds fuzz_NAME from the harness (which defines LLVMFuzzerTestOneInput)
# and registers the CTest test fuzz.NAME (label "fuzz"): the committed seeds
# in tests/fuzz/corpus/NAME/ and then RUNS mutated inputs (default 20000) of
# at most MAX_LEN bytes (default 4096), on a fresh work corpus in the build
# tree so the seeds are never written to. scripts/fuzz NAME SECONDS runs one
# longer.
set(LOGBOOK_FUZZ_CORPORA ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus)
add_custom_target(fuzz_targets)

function(logbook_fuzz_target name)
    cmake_parse_arguments(F "" "RUNS;MAX_LEN" "SOURCES;LIBS" ${ARGN})
    if(NOT F_RUNS)
        set(F_RUNS 20000)
    endif()
    if(NOT F_MAX_LEN)
        set(F_MAX_LEN 4096)
    endif()
    set(target fuzz_${name})
    add_executable(${target} ${F_SOURCES})
    target_link_libraries(${target} PRIVATE ${F_LIBS})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzz_targets ${target})
    add_test(NAME fuzz.${name}
        COMMAND ${CMAKE_COMMAND}
            -DTARGET=$<TARGET_FILE:${target}>
            -DSEEDS=${LOGBOOK_FUZZ_CORPORA}/${name}
            -DWORK=${CMAKE_BINARY_DIR}/fuzz-ctest/${name}
            -DARTIFACTS=${CMAKE_BINARY_DIR}/fuzz-artifacts/
            -DRUNS=${F_RUNS} -DMAX_LEN=${F_MAX_LEN}
            -P ${CMAKE_SOURCE_DIR}/cmake/LogbookFuzzRun.cmake)
    set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 300
        ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0;UBSAN_OPTIONS=print_stacktrace=1")
endfunction()
