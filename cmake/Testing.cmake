# qh_add_test(<name> SOURCES <src>... [LIBS <lib>...] [WINDOWS_ONLY] [NATIVE_ONLY]
#             [FIXTURES <fixture>...] [LABELS <label>...] [TIMEOUT <s>] [NO_GTEST_MAIN])
#
# One test executable, registered as one ctest test. In the Windows build it runs
# under Wine (through the toolchain's emulator) after the "wine" fixture has made the
# build's private Wine prefix and display ready.
enable_testing()

set(QH_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(QH_WINE_STATE ${CMAKE_BINARY_DIR}/wine-state)

if(WIN32)
  add_test(NAME wine_setup
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh setup)
  add_test(NAME wine_cleanup
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh cleanup)
  set_tests_properties(wine_setup PROPERTIES FIXTURES_SETUP wine)
  set_tests_properties(wine_cleanup PROPERTIES FIXTURES_CLEANUP wine)
  set_property(TEST wine_setup wine_cleanup PROPERTY ENVIRONMENT
               "WINEPREFIX=${QH_WINE_PREFIX};QH_WINE_STATE=${QH_WINE_STATE}")
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
    set_tests_properties(${name} PROPERTIES
      FIXTURES_REQUIRED "wine;${T_FIXTURES}"
      ENVIRONMENT "WINEPREFIX=${QH_WINE_PREFIX};QH_WINE_STATE=${QH_WINE_STATE}")
  elseif(T_FIXTURES)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${T_FIXTURES}")
  endif()
endfunction()
