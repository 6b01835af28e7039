# Locates the CPython (3.8 to 3.13) that the module is built for and run under.
#
#   -DPython3_ROOT_DIR=<prefix>     any CPython 3.8 to 3.13 installation
#   -DLOGIN_PYTHON_VERSION=3.12     the machine's pyenv 3.12 (newest 3.12.*), or
#                                   -DLOGIN_PYTHON_VERSION=3.12.1 for exactly that
#
# With neither, the machine's pyenv 3.8 is used. With both, they must agree.
# Another interpreter on the PATH is never picked instead of the one named, and
# anything outside 3.8 to 3.13 is refused.
#
# Defines what FindPython defines (Python3_EXECUTABLE, Python3_VERSION, the
# targets Python3::Module and, when the interpreter has an embeddable library,
# Python3::Python), and Python3_PREFIX, the interpreter's sys.prefix.

include(${CMAKE_CURRENT_LIST_DIR}/PythonVersions.cmake)

set(LOGIN_PYTHON_VERSION "" CACHE STRING
    "CPython version to build for, found through pyenv (3.8 to 3.13, e.g. 3.12 or 3.12.1; empty: 3.8)")

# Python3_ROOT_DIR counts as named by the user unless it is the prefix this
# file chose itself on an earlier run (then the version may choose again).
set(_login_root_named OFF)
if(DEFINED ENV{Python3_ROOT_DIR} AND NOT Python3_ROOT_DIR)
  set(_login_root_named ON)
  set(_login_root "$ENV{Python3_ROOT_DIR}")
elseif(Python3_ROOT_DIR AND NOT Python3_ROOT_DIR STREQUAL _LOGIN_PYENV_ROOT_DIR)
  set(_login_root_named ON)
  set(_login_root "${Python3_ROOT_DIR}")
endif()

if(LOGIN_PYTHON_VERSION)
  login_check_python_version("${LOGIN_PYTHON_VERSION}" "LOGIN_PYTHON_VERSION")
endif()

if(NOT _login_root_named)
  set(_login_want "${LOGIN_PYTHON_VERSION}")
  if(NOT _login_want)
    set(_login_want 3.${LOGIN_PYTHON_MINOR_MIN})
  endif()
  login_pyenv_prefix(_login_root "${_login_want}")
  if(NOT _login_root)
    message(FATAL_ERROR
      "No CPython ${_login_want} was found through pyenv (pyenv install ${_login_want} makes one).\n"
      "Or point the build at any CPython 3.${LOGIN_PYTHON_MINOR_MIN} to 3.${LOGIN_PYTHON_MINOR_MAX} "
      "installation with -DPython3_ROOT_DIR=<prefix>, for example: "
      "cmake --preset default -DPython3_ROOT_DIR=$(pyenv prefix 3.12.1)")
  endif()
  set(Python3_ROOT_DIR "${_login_root}" CACHE PATH "Prefix of the CPython to build for" FORCE)
  set(_LOGIN_PYENV_ROOT_DIR "${_login_root}" CACHE INTERNAL "Prefix chosen through pyenv")
endif()
get_filename_component(_login_root "${_login_root}" ABSOLUTE)

# Ask the installation's own interpreter for its version first, so that an
# unsupported one is refused by name rather than passed over for another.
set(_login_probe "")
foreach(_name python3 python python.exe)
  foreach(_dir bin .)
    if(NOT _login_probe AND EXISTS "${_login_root}/${_dir}/${_name}"
       AND NOT IS_DIRECTORY "${_login_root}/${_dir}/${_name}")
      set(_login_probe "${_login_root}/${_dir}/${_name}")
    endif()
  endforeach()
endforeach()
if(NOT _login_probe)
  message(FATAL_ERROR "${_login_root} (Python3_ROOT_DIR) holds no Python interpreter (bin/python3).\n"
                      "Name the prefix of a CPython 3.${LOGIN_PYTHON_MINOR_MIN} to 3.${LOGIN_PYTHON_MINOR_MAX} installation.")
endif()
execute_process(COMMAND "${_login_probe}" -c
                "import sys, platform; sys.stdout.write(platform.python_implementation() + ' %d.%d.%d' % tuple(sys.version_info[:3]))"
                OUTPUT_VARIABLE _login_probe_out RESULT_VARIABLE _login_rc
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT _login_rc EQUAL 0 OR NOT _login_probe_out MATCHES "^([A-Za-z]+) ([0-9.]+)$")
  message(FATAL_ERROR "${_login_probe} (of Python3_ROOT_DIR) could not be run to learn its version.")
endif()
set(_login_impl "${CMAKE_MATCH_1}")
set(_login_root_version "${CMAKE_MATCH_2}")
if(NOT _login_impl STREQUAL "CPython")
  message(FATAL_ERROR "${_login_probe} is ${_login_impl} ${_login_root_version}; the module is built for CPython only.")
endif()
login_check_python_version("${_login_root_version}" "The interpreter in ${_login_root}")
string(REGEX MATCH "^3\\.([0-9]+)" _login_minor "${_login_root_version}")
math(EXPR _login_next_minor "${CMAKE_MATCH_1} + 1")
if(LOGIN_PYTHON_VERSION AND NOT (_login_root_version STREQUAL LOGIN_PYTHON_VERSION
                                 OR _login_minor STREQUAL LOGIN_PYTHON_VERSION))
  message(FATAL_ERROR
    "Python3_ROOT_DIR (${_login_root}) holds CPython ${_login_root_version}, but LOGIN_PYTHON_VERSION "
    "asks for ${LOGIN_PYTHON_VERSION}. Give one of the two, or make them agree "
    "(-UPython3_ROOT_DIR drops a prefix named on an earlier run).")
endif()

# A different installation than on the last run: forget what FindPython found then.
if(NOT _login_root STREQUAL _LOGIN_PYTHON_ROOT_USED)
  get_cmake_property(_login_cache_vars CACHE_VARIABLES)
  foreach(_v IN LISTS _login_cache_vars)
    if(_v MATCHES "^_?Python3_" AND NOT _v STREQUAL "Python3_ROOT_DIR")
      unset(${_v} CACHE)
    endif()
  endforeach()
  set(_LOGIN_PYTHON_ROOT_USED "${_login_root}" CACHE INTERNAL "Prefix of the CPython last configured for")
endif()

set(Python3_FIND_STRATEGY LOCATION)
set(Python3_FIND_REGISTRY LAST)
set(Python3_FIND_FRAMEWORK LAST)
set(Python3_FIND_VIRTUALENV STANDARD)
find_package(Python3 ${_login_minor}...<3.${_login_next_minor} COMPONENTS Interpreter Development.Module
             OPTIONAL_COMPONENTS Development.Embed)

if(NOT Python3_FOUND)
  message(FATAL_ERROR
    "CPython ${_login_root_version} in ${_login_root} was found without what an extension module "
    "is built with (its headers, Python.h). Install its development files or name another "
    "CPython 3.${LOGIN_PYTHON_MINOR_MIN} to 3.${LOGIN_PYTHON_MINOR_MAX} with -DPython3_ROOT_DIR=<prefix>.")
endif()
string(FIND "${Python3_EXECUTABLE}" "${_login_root}/" _login_at)
if(NOT _login_at EQUAL 0 OR NOT Python3_VERSION VERSION_EQUAL _login_root_version)
  message(FATAL_ERROR
    "FindPython chose ${Python3_EXECUTABLE} (CPython ${Python3_VERSION}) instead of the CPython "
    "${_login_root_version} in ${_login_root}; check that installation.")
endif()
message(STATUS "Building for CPython ${Python3_VERSION}: ${Python3_EXECUTABLE}")
execute_process(COMMAND "${Python3_EXECUTABLE}" -c "import sys; print(sys.prefix)"
                OUTPUT_VARIABLE Python3_PREFIX OUTPUT_STRIP_TRAILING_WHITESPACE)
