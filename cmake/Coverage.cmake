# Line and branch coverage of corvalith/ and runtime/ over the Python and C++
# tests together (the coverage preset: one CPython version per tree, 3.8
# unless LOGIN_PYTHON_VERSION says otherwise).
#
# The module, the runtime and the C++ tests are built without optimisation
# and with gcov instrumentation. CTest first clears the counters
# (coverage.zero), then runs every test, then coverage.report writes the
# report with gcovr (Debian's gcovr) into <tree>/coverage/
# (cmake/CoverageReport.cmake) and fails when lines fall below
# LOGIN_COVERAGE_LINES or branches below LOGIN_COVERAGE_BRANCHES percent. Branches that only exceptions take (the
# module is compiled without exceptions, so these are the compiler's own) and
# branches on lines with no code are left out, as gcovr's options name them.
# docs/coverage.md lists every branch left untaken and why.

# The floors; the environment variables of the same names set them when a
# tree is first configured (.ci/run does so).
foreach(_floor LINES:99 BRANCHES:95)
  string(REPLACE ":" ";" _floor "${_floor}")
  list(GET _floor 0 _kind)
  list(GET _floor 1 _default)
  if(DEFINED ENV{LOGIN_COVERAGE_${_kind}})
    set(_default "$ENV{LOGIN_COVERAGE_${_kind}}")
  endif()
  set(LOGIN_COVERAGE_${_kind} ${_default} CACHE STRING "Lowest ${_kind} coverage (percent) that passes")
endforeach()

find_program(LOGIN_GCOVR gcovr)
if(NOT LOGIN_GCOVR)
  message(FATAL_ERROR "LOGIN_COVERAGE needs gcovr (apt-get install gcovr).")
endif()
if(MSVC)
  message(FATAL_ERROR "LOGIN_COVERAGE needs gcc's gcov instrumentation.")
endif()

# Unoptimised, so that every line and branch stays where the source has it;
# NDEBUG stays defined (the preset's build type), so that the interpreter
# headers' assertions add no branches of their own.
foreach(t login_runtime login)
  target_compile_options(${t} PRIVATE --coverage -O0)
endforeach()
target_link_options(login PRIVATE --coverage)

# Forked test processes end with _exit(); in this build they write their
# counters first (tests/nomemory_child.py reads this).
list(APPEND LOGIN_TEST_ENV LOGIN_COVERAGE=1)

function(login_coverage_tests)
  add_test(NAME coverage.zero
           COMMAND ${CMAKE_COMMAND} -DDIR=${CMAKE_BINARY_DIR} -P ${CMAKE_SOURCE_DIR}/cmake/CoverageZero.cmake)
  set_tests_properties(coverage.zero PROPERTIES FIXTURES_SETUP login_coverage_counters)
  get_property(_tests DIRECTORY ${CMAKE_SOURCE_DIR} PROPERTY TESTS)
  foreach(_t IN LISTS _tests)
    if(NOT _t MATCHES "^coverage\\.")
      set_tests_properties(${_t} PROPERTIES FIXTURES_REQUIRED login_coverage_counters)
    endif()
  endforeach()
  list(REMOVE_ITEM _tests coverage.zero)
  add_test(NAME coverage.report
           COMMAND ${CMAKE_COMMAND} -DGCOVR=${LOGIN_GCOVR} -DSOURCE=${CMAKE_SOURCE_DIR}
                   -DDIR=${CMAKE_BINARY_DIR} -DLINES=${LOGIN_COVERAGE_LINES}
                   -DBRANCHES=${LOGIN_COVERAGE_BRANCHES}
                   -P ${CMAKE_SOURCE_DIR}/cmake/CoverageReport.cmake)
  set_tests_properties(coverage.report PROPERTIES DEPENDS "${_tests}" RUN_SERIAL TRUE
                       FIXTURES_REQUIRED login_coverage_counters)
endfunction()
