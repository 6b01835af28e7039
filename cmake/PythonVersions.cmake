# The CPython versions the module is built for, and where the machine's pyenv
# keeps them: the one list of them. Included by FindCPython.cmake,
# WindowsPython.cmake, TestAll.cmake and Release.cmake; .ci/run reads it with
#   cmake -DLOGIN_PRINT=<variable> -P cmake/PythonVersions.cmake

include_guard(GLOBAL)

# Oldest and newest CPython minor version the module supports (3.8 to 3.13).
set(LOGIN_PYTHON_MINOR_MIN 8)
set(LOGIN_PYTHON_MINOR_MAX 13)
set(LOGIN_PYTHON_SUPPORTED_VERSIONS "")
foreach(_login_minor RANGE ${LOGIN_PYTHON_MINOR_MIN} ${LOGIN_PYTHON_MINOR_MAX})
  list(APPEND LOGIN_PYTHON_SUPPORTED_VERSIONS 3.${_login_minor})
endforeach()

# The Windows x64 modules the project ships, and of those the versions whose
# interpreter is here to run the module (python.exe under Wine); the others are
# built against headers and import libraries and inspected, not run.
set(LOGIN_WINDOWS_VERSIONS 3.8 3.11 3.13)
set(LOGIN_WINDOWS_RUN_VERSIONS 3.8)

# The benchmark's targets for the ratios native / Python (bench/bench_init_gid.cpp):
# the provider path, the repeated failure and agent mode's in-process work.
# A version with a list of its own (LOGIN_BENCH_TARGETS_3.N) has tighter ones;
# every other version has LOGIN_BENCH_TARGETS.
set(LOGIN_BENCH_TARGETS 0.40 0.75 0.85)
set(LOGIN_BENCH_TARGETS_3.8 0.30 0.70 0.85)

# login_bench_targets(<out> <version>)
# The benchmark's targets for CPython <version> (3.N or 3.N.M), as the compile
# definitions LOGIN_BENCH_PROVIDER_TARGET, LOGIN_BENCH_FAILURE_TARGET and
# LOGIN_BENCH_AGENT_TARGET.
function(login_bench_targets out version)
  string(REGEX MATCH "^[0-9]+\\.[0-9]+" minor "${version}")
  if(DEFINED LOGIN_BENCH_TARGETS_${minor})
    set(targets ${LOGIN_BENCH_TARGETS_${minor}})
  else()
    set(targets ${LOGIN_BENCH_TARGETS})
  endif()
  list(GET targets 0 provider)
  list(GET targets 1 failure)
  list(GET targets 2 agent)
  set(${out} LOGIN_BENCH_PROVIDER_TARGET=${provider} LOGIN_BENCH_FAILURE_TARGET=${failure}
      LOGIN_BENCH_AGENT_TARGET=${agent} PARENT_SCOPE)
endfunction()

# login_check_python_version(<version> <what>)
# Stops configuring unless <version> (3.N or 3.N.M) is one the module supports.
function(login_check_python_version version what)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)(\\.[0-9]+)?$")
    message(FATAL_ERROR
      "${what} is \"${version}\": expected a CPython version such as 3.12 or 3.12.1.\n"
      "The module is built for CPython 3.${LOGIN_PYTHON_MINOR_MIN} to 3.${LOGIN_PYTHON_MINOR_MAX}.")
  endif()
  if(NOT CMAKE_MATCH_1 EQUAL 3 OR CMAKE_MATCH_2 LESS LOGIN_PYTHON_MINOR_MIN
     OR CMAKE_MATCH_2 GREATER LOGIN_PYTHON_MINOR_MAX)
    message(FATAL_ERROR
      "${what} is CPython ${version}, which is not supported: the module is built for "
      "CPython 3.${LOGIN_PYTHON_MINOR_MIN} to 3.${LOGIN_PYTHON_MINOR_MAX} only.")
  endif()
endfunction()

# login_resolve_versions(<out> <versions>)
# <versions> with "oldest" and "newest" replaced by the oldest and newest
# supported version, so that a preset need not repeat them.
function(login_resolve_versions out versions)
  list(TRANSFORM versions REPLACE "^oldest$" "3.${LOGIN_PYTHON_MINOR_MIN}")
  list(TRANSFORM versions REPLACE "^newest$" "3.${LOGIN_PYTHON_MINOR_MAX}")
  set(${out} "${versions}" PARENT_SCOPE)
endfunction()

# login_note_environment_version()
# The trees that build several versions say that they do not follow
# LOGIN_PYTHON_VERSION of the environment, which chooses the version of the
# presets that build one.
function(login_note_environment_version)
  if(NOT "$ENV{LOGIN_PYTHON_VERSION}" STREQUAL "")
    message(STATUS "LOGIN_PYTHON_VERSION=$ENV{LOGIN_PYTHON_VERSION} in the environment is not used here: "
                   "this tree builds the versions listed below")
  endif()
endfunction()

# login_windows_python_root(<out> <XY>)
# The folder of the Windows x64 CPython 3.Y (XY its digits run together: 38,
# 313): the cache variable WINDOWS_PYTHON<XY>_ROOT, else the environment
# variable of that name, else ../shared/windows-python<XY> or
# ../shared/windows-python<XY>-sdk beside the source tree. Empty when none.
function(login_windows_python_root out nodot)
  set(var WINDOWS_PYTHON${nodot}_ROOT)
  set(root "${${var}}")
  if(NOT root AND DEFINED ENV{${var}})
    set(root "$ENV{${var}}")
  endif()
  foreach(dir windows-python${nodot} windows-python${nodot}-sdk)
    if(NOT root AND IS_DIRECTORY "${CMAKE_SOURCE_DIR}/../shared/${dir}")
      get_filename_component(root "${CMAKE_SOURCE_DIR}/../shared/${dir}" ABSOLUTE)
    endif()
  endforeach()
  set(${out} "${root}" PARENT_SCOPE)
endfunction()

# login_pyenv_prefix(<out> <version>)
# Sets <out> to the prefix of the machine's pyenv installation of <version>:
# exactly that one for 3.N.M, the newest 3.N.* for 3.N. Empty when pyenv or
# that version is missing.
function(login_pyenv_prefix out version)
  set(root "$ENV{PYENV_ROOT}")
  if(NOT root)
    set(root "$ENV{HOME}/.pyenv")
  endif()
  find_program(LOGIN_PYENV pyenv HINTS "${root}/bin" "${root}/libexec")
  mark_as_advanced(LOGIN_PYENV)
  if(LOGIN_PYENV)
    execute_process(COMMAND "${LOGIN_PYENV}" root
                    OUTPUT_VARIABLE pyenv_root RESULT_VARIABLE rc
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(rc EQUAL 0 AND IS_DIRECTORY "${pyenv_root}")
      set(root "${pyenv_root}")
    endif()
  endif()
  string(REGEX MATCH "^3\\.[0-9]+" minor "${version}")
  set(found "")
  if(version MATCHES "^3\\.[0-9]+\\.[0-9]+$")
    set(candidates "${root}/versions/${version}")
  else()
    file(GLOB candidates LIST_DIRECTORIES true "${root}/versions/${version}.*")
    # Final releases only (3.12.1, not 3.12.0rc1 or 3.12-dev), newest first.
    list(FILTER candidates INCLUDE REGEX "/${version}\\.[0-9]+$")
    list(SORT candidates COMPARE NATURAL ORDER DESCENDING)
  endif()
  foreach(c IN LISTS candidates)
    if(EXISTS "${c}/bin/python${minor}")
      set(found "${c}")
      break()
    endif()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE AND DEFINED LOGIN_PRINT)
  list(JOIN ${LOGIN_PRINT} " " _login_print)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${_login_print}")
endif()
