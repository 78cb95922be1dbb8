# qh_add_test(<name> SOURCES <src>... [LIBS <lib>...] [WINDOWS_ONLY] [NATIVE_ONLY]
#             [FIXTURES <fixture>...] [LABELS <label>...] [TIMEOUT <s>] [NO_GTEST_MAIN])
#
# One test executable, registered as one ctest test. In the Windows build it runs
# under Wine (through the toolchain's emulator) after the "wine" fixture has made the
# build's private Wine prefix and display ready. A test that requires the "pulse"
# fixture gets the environment that reaches its PulseAudio server.
enable_testing()

set(QH_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(QH_WINE_STATE ${CMAKE_BINARY_DIR}/wine-state)
# The Windows tests' network namespace (scripts/test-netns.sh), one per build tree: two
# builds' test runs on one machine each have the host's fixed and default ports to
# themselves. Tests that are not run through Wine enter it with QH_TEST_LAUNCHER.
string(MD5 _build_hash ${CMAKE_BINARY_DIR})
string(SUBSTRING ${_build_hash} 0 12 _build_hash)
set(QH_NETNS qh-${_build_hash})
set(QH_WINE_ENV "WINEPREFIX=${QH_WINE_PREFIX};QH_WINE_STATE=${QH_WINE_STATE};QH_NETNS=${QH_NETNS}")
set(QH_TEST_LAUNCHER ${CMAKE_SOURCE_DIR}/scripts/test-netns.sh)

if(WIN32)
  add_test(NAME wine_setup
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh setup)
  add_test(NAME wine_cleanup
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh cleanup)
  set_tests_properties(wine_setup PROPERTIES FIXTURES_SETUP wine)
  set_tests_properties(wine_cleanup PROPERTIES FIXTURES_CLEANUP wine)
  set_property(TEST wine_setup wine_cleanup PROPERTY ENVIRONMENT "${QH_WINE_ENV}")

  # A private PulseAudio server (fixture "pulse") that Wine's sound driver talks to, with
  # a 1 kHz tone playing into its null sink. Other processes of a test reach it through
  # the environment in QH_PULSE_ENV.
  set(_pulse_dir ${CMAKE_BINARY_DIR}/pulse)
  set(QH_PULSE_ENV "PULSE_SERVER=unix:${_pulse_dir}/native;PULSE_CLIENTCONFIG=${_pulse_dir}/client.conf")
  add_test(NAME pulse_setup COMMAND ${CMAKE_SOURCE_DIR}/scripts/pulse-env.sh setup ${_pulse_dir})
  add_test(NAME pulse_cleanup COMMAND ${CMAKE_SOURCE_DIR}/scripts/pulse-env.sh cleanup ${_pulse_dir})
  set_tests_properties(pulse_setup PROPERTIES FIXTURES_SETUP pulse FIXTURES_REQUIRED wine)
  set_tests_properties(pulse_cleanup PROPERTIES FIXTURES_CLEANUP pulse)
  set_property(TEST pulse_setup pulse_cleanup PROPERTY ENVIRONMENT "${QH_WINE_ENV}")
endif()

function(qh_add_test name)
  cmake_parse_arguments(T "WINDOWS_ONLY;NATIVE_ONLY;NO_GTEST_MAIN" "TIMEOUT"
                        "SOURCES;LIBS;FIXTURES;LABELS" ${ARGN})
  if(T_WINDOWS_ONLY AND NOT WIN32)
    return()
  endif()
  if(T_NATIVE_ONLY AND WIN32)
    return()
  endif()
  if(QH_FUZZ)
    return()  # the fuzz preset builds the fuzz targets only
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock qh_options)
  if(NOT T_NO_GTEST_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/host/src ${CMAKE_SOURCE_DIR}/host/tests)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(WIN32)
    set(_env "${QH_WINE_ENV}")
    if("pulse" IN_LIST T_FIXTURES)
      list(APPEND _env ${QH_PULSE_ENV})
    endif()
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "wine;${T_FIXTURES}" ENVIRONMENT "${_env}")
  elseif(T_FIXTURES)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${T_FIXTURES}")
  endif()
endfunction()

# qh_add_fuzzer(<name> SOURCES <src>... [LIBS <lib>...] [CORPUS <dir>])
#
# A libFuzzer target defining LLVMFuzzerTestOneInput. In the linux-fuzz preset (clang,
# QH_FUZZ) it is built with the fuzzer and sanitizers and run for a short while by
# ctest. In the other native presets the same source is built against a small driver
# that replays the seed corpus, so the seeds run under the sanitizers as plain tests.
set(QH_FUZZ_SECONDS 20 CACHE STRING "How long ctest runs each fuzz target")

function(qh_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(WIN32)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS} qh_options)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/host/src ${CMAKE_SOURCE_DIR}/host/tests)
  if(F_CORPUS)
    set(_corpus ${F_CORPUS})
  else()
    set(_corpus ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
  endif()
  if(QH_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    set(_work ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
    add_test(NAME ${name}
             COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                     $<TARGET_FILE:${name}> -max_total_time=${QH_FUZZ_SECONDS} -timeout=10
                     -rss_limit_mb=2048 ${_work} ${_corpus})
    file(MAKE_DIRECTORY ${_work})
    set_tests_properties(${name} PROPERTIES TIMEOUT 600 LABELS fuzz)
  else()
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/host/tests/support/FuzzReplay.cpp)
    add_test(NAME ${name} COMMAND ${name} ${_corpus})
  endif()
endfunction()
