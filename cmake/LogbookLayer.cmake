# logbook_layer(TARGET [STATIC|SHARED] LIBS deps...): a library made of every
# .cpp file in the calling folder, so that adding a file needs no edit here.
function(logbook_layer target)
    cmake_parse_arguments(L "SHARED" "" "LIBS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    if(NOT sources)
        # A layer not written yet: a target others can already link to.
        add_library(${target} INTERFACE)
        target_link_libraries(${target} INTERFACE ${L_LIBS})
    elseif(L_SHARED)
        add_library(${target} SHARED ${sources})
        target_link_libraries(${target} PUBLIC ${L_LIBS})
    else()
        add_library(${target} STATIC ${sources})
        target_link_libraries(${target} PUBLIC ${L_LIBS})
    endif()
endfunction()

# logbook_layer_tests(NAME LIBS deps... [QT]): one test executable from every
# *_test.cpp in the calling folder.
function(logbook_layer_tests name)
    cmake_parse_arguments(T "QT" "" "LIBS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
    if(sources)
        logbook_add_test(${name} SOURCES ${sources} LIBS ${T_LIBS})
    endif()
endfunction()
