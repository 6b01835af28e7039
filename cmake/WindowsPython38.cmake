# Locates the Windows x64 CPython 3.8 that the cross-built module is linked
# against and tested under (through Wine).
#
# The installation is named by the cache variable WINDOWS_PYTHON38_ROOT or the
# environment variable of the same name; without either, ../shared/windows-python38
# beside the source tree is used when it is there. It must hold python.exe,
# python38.dll, include/Python.h with the Windows pyconfig.h, and libs/python38.lib.
#
# Defines Python3_INCLUDE_DIRS, Python3_EXECUTABLE (python.exe, run through
# Wine), Python3_PREFIX, the imported library Python3::Python (python38.dll) and
# LOGIN_WINDOWS_PYTHON_SUFFIX, the file name suffix of an extension module.

set(_login_win_root "${WINDOWS_PYTHON38_ROOT}")
if(NOT _login_win_root AND DEFINED ENV{WINDOWS_PYTHON38_ROOT})
  set(_login_win_root "$ENV{WINDOWS_PYTHON38_ROOT}")
endif()
if(NOT _login_win_root AND IS_DIRECTORY "${CMAKE_SOURCE_DIR}/../shared/windows-python38")
  get_filename_component(_login_win_root "${CMAKE_SOURCE_DIR}/../shared/windows-python38" ABSOLUTE)
endif()

set(_login_win_missing "")
foreach(_f python.exe python38.dll include/Python.h include/pyconfig.h libs/python38.lib)
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
  message(FATAL_ERROR
    "No Windows x64 CPython 3.8 to build the Windows module against (${_login_where}).\n"
    "Point the build at the folder of an official CPython 3.8 for Windows x64 that holds python.exe, "
    "python38.dll, include/ and libs/python38.lib, for example:\n"
    "  cmake --workflow --preset windows   with   WINDOWS_PYTHON38_ROOT=/path/to/windows-python38 in the environment\n"
    "  or   cmake --preset windows -DWINDOWS_PYTHON38_ROOT=/path/to/windows-python38")
endif()

file(STRINGS "${_login_win_root}/include/patchlevel.h" _login_win_version
     REGEX "^#define PY_VERSION[ \t]+\"[^\"]+\"")
string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" _login_win_version "${_login_win_version}")
if(NOT _login_win_version MATCHES "^3\\.8\\.")
  message(FATAL_ERROR "${_login_win_root} holds CPython ${_login_win_version}; the module is built for CPython 3.8 only.")
endif()

set(WINDOWS_PYTHON38_ROOT "${_login_win_root}" CACHE PATH "Folder of the Windows x64 CPython 3.8" FORCE)
set(Python3_VERSION "${_login_win_version}")
set(Python3_PREFIX "${_login_win_root}")
set(Python3_INCLUDE_DIRS "${_login_win_root}/include")
set(Python3_EXECUTABLE "${_login_win_root}/python.exe")
# CMake does not ask a cross-target interpreter for its suffix: this is the one
# CPython 3.8 for Windows x64 looks for.
set(LOGIN_WINDOWS_PYTHON_SUFFIX ".cp38-win_amd64.pyd")

if(NOT TARGET Python3::Python)
  add_library(Python3::Python SHARED IMPORTED)
  set_target_properties(Python3::Python PROPERTIES
    IMPORTED_LOCATION "${_login_win_root}/python38.dll"
    IMPORTED_IMPLIB "${_login_win_root}/libs/python38.lib"
    INTERFACE_INCLUDE_DIRECTORIES "${_login_win_root}/include"
    # The Windows pyconfig.h takes the pointer size from MS_WIN64, which only
    # Microsoft's compiler defines by itself.
    INTERFACE_COMPILE_DEFINITIONS "MS_WIN64")
endif()
message(STATUS "Building for the Windows CPython ${Python3_VERSION}: ${_login_win_root}")
