# Test executables. On Windows every test runs under Wine in the build's own
# prefix, which a CTest fixture boots once and keeps alive for the whole run.
include(GoogleTest)

if(WIN32)
  set(VELUNOR_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
  add_test(NAME wine_prefix_start
           COMMAND "${PROJECT_SOURCE_DIR}/cmake/wine-prefix.sh" start
                   "${VELUNOR_WINEPREFIX}")
  add_test(NAME wine_prefix_stop
           COMMAND "${PROJECT_SOURCE_DIR}/cmake/wine-prefix.sh" stop
                   "${VELUNOR_WINEPREFIX}")
  set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine_prefix)
  set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine_prefix)
endif()

# velunor_add_gtest(NAME SOURCES... [LIBRARIES...] [PROPERTIES...])
# One CTest test per test case, found when CTest runs.
function(velunor_add_gtest name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "SOURCES;LIBRARIES;PROPERTIES")
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} velunor_test_support
                                        GTest::gtest_main velunor_options)
  set(properties ${ARG_PROPERTIES})
  if(WIN32)
    list(APPEND properties FIXTURES_REQUIRED wine_prefix)
  endif()
  if(properties)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                         PROPERTIES ${properties})
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
  endif()
endfunction()
