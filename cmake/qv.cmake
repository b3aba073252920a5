# qv_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>]
#         [LARGE <test cases...>])
# One GoogleTest program; every test case becomes a ctest test, found when
# ctest runs so a sanitizer build does not run binaries at build time.
# Labels: unit or e2e; threaded for programs whose cases run several threads
# (the ThreadSanitizer build builds and runs only those, through the target
# threaded_tests); large, added to the cases named after LARGE ("Suite.Case"),
# for cases moving hundreds of MiB: those run only in the normal build; gui
# for programs that open real windows under Xvfb (each program starts an
# Xvfb of its own, which picks a free display number: they run side by side).
function(qv_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;LARGE" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 300)
  # The labels are set by a script that ctest runs after the discovery:
  # gtest_discover_tests would split a list of several into other properties.
  set(labels_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${labels_script}
    "set(large \"${T_LARGE}\")\n"
    "foreach(t IN LISTS ${name}_TESTS)\n"
    "  string(REGEX REPLACE \"  # GetParam.*$\" \"\" case \"\${t}\")\n"
    "  list(FIND large \"\${case}\" at)\n"
    "  if(at EQUAL -1)\n"
    "    set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${T_LABELS}\")\n"
    "  else()\n"
    "    set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${T_LABELS};large\")\n"
    "  endif()\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_script})
  if(threaded IN_LIST T_LABELS)
    set_property(GLOBAL APPEND PROPERTY QV_THREADED_TESTS ${name})
  endif()
endfunction()

# qv_bench(<name> SOURCES <files...> LIBS <targets...>): a benchmark program
# that `make bench` runs; never part of `make test`.
function(qv_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS})
  set_property(GLOBAL APPEND PROPERTY QV_BENCHES ${name})
endfunction()

# qv_fuzz(<name> SOURCES <files...> LIBS <targets...> CORPUS <dir> [SECONDS <n>]):
# a libFuzzer target (clang only) that ctest -L fuzz runs for a bounded time
# on a copy of its seed corpus. The library sources named in SOURCES are built
# into it so they carry the fuzzer's coverage instrumentation.
function(qv_fuzz name)
  cmake_parse_arguments(F "" "CORPUS;SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT F_SECONDS)
    set(F_SECONDS 30)
  endif()
  add_executable(${name} ${F_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  set(work corpus-${name})
  add_test(NAME ${name}
    COMMAND /bin/sh -c "rm -rf ${work} && mkdir ${work} && cp ${F_CORPUS}/* ${work}/ && exec ./${name} -max_total_time=${F_SECONDS} -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 ${work}"
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 300)
  set_property(GLOBAL APPEND PROPERTY QV_FUZZERS ${name})
endfunction()
