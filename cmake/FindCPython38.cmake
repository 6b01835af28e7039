# Locates the CPython 3.8 that the module is built for and run under.
#
# -DPython3_ROOT_DIR=<prefix> names any CPython 3.8 installation. Without it the
# machine's pyenv 3.8 is used when there is one. Only a 3.8 is ever accepted:
# another interpreter on the PATH is never picked instead.

if(NOT Python3_ROOT_DIR AND NOT DEFINED ENV{Python3_ROOT_DIR})
  set(_login_pyenv_root "$ENV{PYENV_ROOT}")
  if(NOT _login_pyenv_root)
    set(_login_pyenv_root "$ENV{HOME}/.pyenv")
  endif()
  find_program(_login_pyenv pyenv HINTS "${_login_pyenv_root}/bin" "${_login_pyenv_root}/libexec")
  set(_login_found_prefix "")
  if(_login_pyenv)
    execute_process(COMMAND "${_login_pyenv}" prefix 3.8.18
                    OUTPUT_VARIABLE _login_prefix RESULT_VARIABLE _login_rc
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_login_rc EQUAL 0 AND IS_DIRECTORY "${_login_prefix}")
      set(_login_found_prefix "${_login_prefix}")
    endif()
  endif()
  if(NOT _login_found_prefix)
    file(GLOB _login_candidates LIST_DIRECTORIES true "${_login_pyenv_root}/versions/3.8.*")
    list(SORT _login_candidates COMPARE NATURAL ORDER DESCENDING)
    foreach(_c IN LISTS _login_candidates)
      if(EXISTS "${_c}/bin/python3.8")
        set(_login_found_prefix "${_c}")
        break()
      endif()
    endforeach()
  endif()
  if(_login_found_prefix)
    set(Python3_ROOT_DIR "${_login_found_prefix}" CACHE PATH "Prefix of the CPython 3.8 to build for")
  endif()
endif()

set(Python3_FIND_STRATEGY LOCATION)
set(Python3_FIND_REGISTRY LAST)
set(Python3_FIND_FRAMEWORK LAST)
set(Python3_FIND_VIRTUALENV STANDARD)
find_package(Python3 3.8...<3.9 COMPONENTS Interpreter Development.Module
             OPTIONAL_COMPONENTS Development.Embed)

if(NOT Python3_FOUND OR NOT Python3_VERSION_MAJOR EQUAL 3 OR NOT Python3_VERSION_MINOR EQUAL 8)
  message(FATAL_ERROR
    "No CPython 3.8 with its headers was found. The module is built for CPython 3.8 only.\n"
    "Point the build at one with -DPython3_ROOT_DIR=<prefix of a CPython 3.8 installation>, "
    "for example: cmake --preset default -DPython3_ROOT_DIR=$(pyenv prefix 3.8.18)")
endif()
message(STATUS "Building for CPython ${Python3_VERSION}: ${Python3_EXECUTABLE}")
execute_process(COMMAND "${Python3_EXECUTABLE}" -c "import sys; print(sys.prefix)"
                OUTPUT_VARIABLE Python3_PREFIX OUTPUT_STRIP_TRAILING_WHITESPACE)
