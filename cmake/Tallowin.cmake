# Shared helpers of the build.

# Adds every direct sub-folder of DIR that has a CMakeLists.txt, in name order.
function(tallowin_add_subdirectories dir)
    file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/${dir} ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*)
    list(SORT children)
    foreach(child IN LISTS children)
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/${child}/CMakeLists.txt)
            add_subdirectory(${dir}/${child})
        endif()
    endforeach()
endfunction()

# tallowin_gtest(NAME SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
# One GoogleTest executable, registered as one CTest test (so a suite can share
# the real servers it starts). Not built in the fuzzing build.
function(tallowin_gtest name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(TALLOWIN_FUZZ)
        return()
    endif()
    add_executable(${name} ${T_SOURCES})
    set_target_properties(${name} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()

# tallowin_qtest(NAME SOURCES ... LIBS ... [TIMEOUT s])
# One Qt Test executable on the offscreen platform, in a throw-away home folder.
function(tallowin_qtest name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    if(NOT TALLOWIN_GUI OR TALLOWIN_FUZZ)
        return()
    endif()
    add_executable(${name} ${T_SOURCES})
    set_target_properties(${name} PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON)
    target_link_libraries(${name} PRIVATE ${T_LIBS} Qt6::Test Threads::Threads)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "gui"
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_QPA_FONTDIR=/usr/share/fonts/truetype/dejavu")
endfunction()

# tallowin_fuzzer(NAME SOURCES ... LIBS ... [CORPUS dir])
# A libFuzzer target (LLVMFuzzerTestOneInput). In the fuzzing build it is a real
# fuzzer, run for a short bounded time as a test; in every other build it is a
# small program that replays the seed corpus, so the sanitizer build checks the
# seeds too.
function(tallowin_fuzzer name)
    cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${F_SOURCES})
    set_target_properties(${name} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    if(NOT F_CORPUS)
        set(F_CORPUS ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${name})
    endif()
    file(MAKE_DIRECTORY ${F_CORPUS})
    if(TALLOWIN_FUZZ)
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
        set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}.corpus)
        add_test(NAME ${name}
            COMMAND sh -c "mkdir -p '${work}' && exec '$<TARGET_FILE:${name}>' -max_total_time=${TALLOWIN_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 '${work}' '${F_CORPUS}'")
        set_tests_properties(${name} PROPERTIES LABELS "fuzz" TIMEOUT 300)
    else()
        target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
        if(NOT TALLOWIN_GUI OR TALLOWIN_SANITIZE)
            add_test(NAME ${name} COMMAND ${name} ${F_CORPUS})
            set_tests_properties(${name} PROPERTIES LABELS "fuzz-replay" TIMEOUT 120)
        endif()
    endif()
endfunction()

if(NOT DEFINED TALLOWIN_FUZZ_SECONDS)
    set(TALLOWIN_FUZZ_SECONDS 20)
endif()
