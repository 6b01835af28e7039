# Locates the Windows x64 CPython that the cross-built module is linked
# against and, unless LOGIN_WINDOWS_BUILD_ONLY is on, tested under (through Wine).
#
# LOGIN_PYTHON_VERSION (3.8 to 3.13; empty: 3.8) names the version, 3.X with
# XY its digits run together (38, 313). The installation is named by the cache
# variable WINDOWS_PYTHON<XY>_ROOT or the environment variable of the same name
# (WINDOWS_PYTHON38_ROOT, WINDOWS_PYTHON313_ROOT); without either,
# ../shared/windows-python<XY> or ../shared/windows-python<XY>-sdk beside the
# source tree is used when it is there. It must hold include/Python.h with the
# Windows pyconfig.h and libs/python<XY>.lib, and, to run anything, python.exe
# and python<XY>.dll. A kit of headers and import libraries alone
# (LOGIN_WINDOWS_BUILD_ONLY=ON) builds the module and has its PE tables checked;
# nothing is run.
#
# Defines Python3_VERSION, Python3_VERSION_MAJOR/MINOR, Python3_INCLUDE_DIRS,
# Python3_EXECUTABLE (python.exe, run through Wine), Python3_PREFIX, the
# imported library Python3::Python (python<XY>.dll), LOGIN_WINDOWS_PYTHON_ROOT,
# LOGIN_WINDOWS_PYTHON_DLL (python<XY>.dll) and LOGIN_WINDOWS_PYTHON_SUFFIX,
# the file name suffix of an extension module (.cp<XY>-win_amd64.pyd).

include(${CMAKE_CURRENT_LIST_DIR}/PythonVersions.cmake)

set(LOGIN_PYTHON_VERSION "" CACHE STRING "Windows CPython version to build for (3.8 to 3.13; empty: 3.8)")
option(LOGIN_WINDOWS_BUILD_ONLY
       "Build the Windows module and check its PE tables only: the installation has no interpreter to run" OFF)

set(_login_win_want "${LOGIN_PYTHON_VERSION}")
if(NOT _login_win_want)
  set(_login_win_want 3.${LOGIN_PYTHON_MINOR_MIN})
endif()
login_check_python_version("${_login_win_want}" "LOGIN_PYTHON_VERSION")
string(REGEX MATCH "^3\\.([0-9]+)" _login_win_minor "${_login_win_want}")
set(_login_nodot 3${CMAKE_MATCH_1})
set(_login_root_var WINDOWS_PYTHON${_login_nodot}_ROOT)

login_windows_python_root(_login_win_root ${_login_nodot})

set(_login_win_dll python${_login_nodot}.dll)
set(_login_win_needed include/Python.h include/pyconfig.h include/patchlevel.h libs/python${_login_nodot}.lib)
if(NOT LOGIN_WINDOWS_BUILD_ONLY)
  list(APPEND _login_win_needed python.exe ${_login_win_dll})
endif()
set(_login_win_missing "")
foreach(_f IN LISTS _login_win_needed)
  if(NOT _login_win_root OR NOT EXISTS "${_login_win_root}/${_f}")
    list(APPEND _login_win_missing ${_f})
  endif()
endforeach()
if(_login_win_missing)
  if(_login_win_root)
    set(_login_where "${_login_win_root} lacks: ${_login_win_missing}")
  else()
    set(_login_where "none was given and none was found")
  endif()
  if(LOGIN_WINDOWS_BUILD_ONLY)
    set(_login_what "include/ (with the Windows pyconfig.h) and libs/python${_login_nodot}.lib")
  else()
    set(_login_what "python.exe, ${_login_win_dll}, include/ and libs/python${_login_nodot}.lib")
  endif()
  message(FATAL_ERROR
    "No Windows x64 CPython ${_login_win_minor} to build the Windows module against (${_login_where}).\n"
    "Point the build at the folder of an official CPython ${_login_win_minor} for Windows x64 that holds "
    "${_login_what}, for example:\n"
    "  ${_login_root_var}=/path/to/windows-python${_login_nodot} in the environment of cmake --workflow --preset <preset>\n"
    "  or   cmake --preset <preset> -D${_login_root_var}=/path/to/windows-python${_login_nodot}")
endif()

file(STRINGS "${_login_win_root}/include/patchlevel.h" _login_win_version
     REGEX "^#define PY_VERSION[ \t]+\"[^\"]+\"")
string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" _login_win_version "${_login_win_version}")
string(REGEX MATCH "^3\\.[0-9]+\\.[0-9]+" _login_win_release "${_login_win_version}")
if(NOT _login_win_version MATCHES "^${_login_win_minor}\\."
   OR NOT (LOGIN_PYTHON_VERSION STREQUAL "" OR LOGIN_PYTHON_VERSION STREQUAL _login_win_minor
           OR LOGIN_PYTHON_VERSION STREQUAL _login_win_release))
  message(FATAL_ERROR "${_login_win_root} holds CPython ${_login_win_version}, not the ${_login_win_want} "
                      "asked for (LOGIN_PYTHON_VERSION).")
endif()

set(${_login_root_var} "${_login_win_root}" CACHE PATH "Folder of the Windows x64 CPython ${_login_win_minor}" FORCE)
set(LOGIN_WINDOWS_PYTHON_ROOT "${_login_win_root}")
set(LOGIN_WINDOWS_PYTHON_DLL "${_login_win_dll}")
set(Python3_VERSION "${_login_win_release}")
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)" _login_unused "${_login_win_release}")
set(Python3_VERSION_MAJOR ${CMAKE_MATCH_1})
set(Python3_VERSION_MINOR ${CMAKE_MATCH_2})
set(Python3_PREFIX "${_login_win_root}")
set(Python3_INCLUDE_DIRS "${_login_win_root}/include")
if(LOGIN_WINDOWS_BUILD_ONLY)
  set(Python3_EXECUTABLE "")
else()
  set(Python3_EXECUTABLE "${_login_win_root}/python.exe")
endif()
# CMake does not ask a cross-target interpreter for its suffix: this is the one
# CPython for Windows x64 looks for.
set(LOGIN_WINDOWS_PYTHON_SUFFIX ".cp${_login_nodot}-win_amd64.pyd")

if(NOT TARGET Python3::Python)
  add_library(Python3::Python SHARED IMPORTED)
  set_target_properties(Python3::Python PROPERTIES
    IMPORTED_LOCATION "${_login_win_root}/${_login_win_dll}"
    IMPORTED_IMPLIB "${_login_win_root}/libs/python${_login_nodot}.lib"
    INTERFACE_INCLUDE_DIRECTORIES "${_login_win_root}/include"
    # The Windows pyconfig.h takes the pointer size from MS_WIN64, which only
    # Microsoft's compiler defines by itself.
    INTERFACE_COMPILE_DEFINITIONS "MS_WIN64")
endif()
if(LOGIN_WINDOWS_BUILD_ONLY)
  message(STATUS "Building for the Windows CPython ${_login_win_version} (headers and import library only: "
                 "nothing is run): ${_login_win_root}")
else()
  message(STATUS "Building for the Windows CPython ${_login_win_version}: ${_login_win_root}")
endif()
