# logbook_add_test(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [QT])
# One GoogleTest executable per layer; every test case runs as its own CTest
# test so that process-wide state (loaded modules, hidden windows) starts clean.
function(logbook_add_test name)
    cmake_parse_arguments(T "QT" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    set(env "QT_QPA_PLATFORM=offscreen")
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 30
        PROPERTIES TIMEOUT 60 ENVIRONMENT "${env}")
endfunction()
