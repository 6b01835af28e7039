# The cross-built Windows tree: stand-in tools as Windows console programs,
# the demo and the tests, every Windows program started through Wine by
# tests/wine/run (the toolchain's emulator) in the prefix build-windows/wine.
# With LOGIN_WINDOWS_BUILD_ONLY (an installation without an interpreter) the
# only test is pe.tables, which reads the module's PE tables on the build host.

enable_testing()

# The PE tables of the module are read on the build host.
find_program(LOGIN_HOST_PYTHON NAMES python3 python)
if(LOGIN_MINGW_OBJDUMP AND LOGIN_HOST_PYTHON)
  add_test(NAME pe.tables COMMAND ${LOGIN_HOST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/test_symbols.py
           WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  set_tests_properties(pe.tables PROPERTIES
    ENVIRONMENT "LOGIN_PKG=${LOGIN_PKG_DIR};LOGIN_OBJDUMP=${LOGIN_MINGW_OBJDUMP};LOGIN_PYTHON_VERSION=${Python3_VERSION};LOGIN_PYTHON_DLL=${LOGIN_WINDOWS_PYTHON_DLL}"
    TIMEOUT 60)
elseif(LOGIN_WINDOWS_BUILD_ONLY)
  message(FATAL_ERROR "x86_64-w64-mingw32-objdump or a host python3 is missing: the PE table test, "
                      "the only test of this build, cannot run")
else()
  message(WARNING "x86_64-w64-mingw32-objdump or a host python3 is missing: the PE table test is not run")
endif()
if(LOGIN_WINDOWS_BUILD_ONLY)
  return()
endif()

set(LOGIN_WINE ${CMAKE_SOURCE_DIR}/tests/wine/run)
set(LOGIN_WINEPREFIX ${CMAKE_BINARY_DIR}/wine)

# Wine's drive Z: is the Unix root.
function(login_windows_path out path)
  string(REPLACE "/" "\\" path "${path}")
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()
login_windows_path(LOGIN_PKG_WIN ${LOGIN_PKG_DIR})
login_windows_path(LOGIN_TOOLS_WIN ${LOGIN_TOOLS_DIR})
login_windows_path(LOGIN_PYTHON_WIN ${LOGIN_WINDOWS_PYTHON_ROOT})

# --- stand-in tools ----------------------------------------------------------
foreach(tool tovrind powershell)
  add_executable(standin_${tool} standins/windows/${tool}.cpp)
  set_target_properties(standin_${tool} PROPERTIES
    OUTPUT_NAME ${tool}
    RUNTIME_OUTPUT_DIRECTORY ${LOGIN_TOOLS_DIR})
  target_include_directories(standin_${tool} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(standin_${tool} PRIVATE -Wall -Wextra)
  target_link_options(standin_${tool} PRIVATE -municode)
  add_dependencies(standins standin_${tool})
endforeach()

set(LOGIN_WINE_ENV
  LOGIN_WINEPREFIX=${LOGIN_WINEPREFIX}
  LOGIN_PKG=${LOGIN_PKG_WIN}
  LOGIN_TOOLS=${LOGIN_TOOLS_WIN}
  LOGIN_PYTHON_VERSION=${Python3_VERSION}
  PYTHONDONTWRITEBYTECODE=1)

# --- demo --------------------------------------------------------------------
add_custom_target(demo
  COMMAND ${LOGIN_WINE} --start
  COMMAND ${CMAKE_COMMAND} -E env ${LOGIN_WINE_ENV} PYTHONPATH=${LOGIN_PKG_WIN}
          ${LOGIN_WINE} ${Python3_EXECUTABLE} -X utf8 ${CMAKE_SOURCE_DIR}/standins/demo.py
  COMMAND ${LOGIN_WINE} --stop
  DEPENDS login standins
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  USES_TERMINAL
  VERBATIM
  COMMENT "Signing in through the Windows module, under the Windows CPython, against the stand-ins")

# --- tests -------------------------------------------------------------------
# The prefix and its server are set up once for the whole run and stopped after it.
add_test(NAME wine.start COMMAND ${LOGIN_WINE} --start WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
add_test(NAME wine.stop COMMAND ${LOGIN_WINE} --stop WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine
                     ENVIRONMENT "LOGIN_WINEPREFIX=${LOGIN_WINEPREFIX}" TIMEOUT 300)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine
                     ENVIRONMENT "LOGIN_WINEPREFIX=${LOGIN_WINEPREFIX}" TIMEOUT 60)

file(GLOB LOGIN_PY_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/test_*.py)
foreach(test_file ${LOGIN_PY_TESTS})
  get_filename_component(test_name ${test_file} NAME_WE)
  add_test(NAME py.${test_name}
           COMMAND ${LOGIN_WINE} ${Python3_EXECUTABLE} ${test_file}
           WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  set_tests_properties(py.${test_name} PROPERTIES
    ENVIRONMENT "${LOGIN_WINE_ENV}" FIXTURES_REQUIRED wine TIMEOUT 1200)
endforeach()

# C++ tests of the runtime, built from Debian's GoogleTest sources with the
# cross compiler, against an interpreter embedded from the installation's DLL.
set(LOGIN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
if(EXISTS ${LOGIN_GTEST_SOURCE_DIR}/CMakeLists.txt)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  add_subdirectory(${LOGIN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  file(GLOB LOGIN_CPP_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/cpp/test_*.cpp)
  add_executable(runtime_tests tests/cpp/embed.cpp ${LOGIN_CPP_TESTS})
  target_link_libraries(runtime_tests PRIVATE login_runtime gtest Python3::Python)
  target_compile_options(runtime_tests PRIVATE -Wall -Wextra)
  add_test(NAME cpp.runtime COMMAND runtime_tests WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  # python3XY.dll is found through WINEPATH, the standard library in the
  # python3XY.zip beside it.
  set_tests_properties(cpp.runtime PROPERTIES
    ENVIRONMENT "LOGIN_WINEPREFIX=${LOGIN_WINEPREFIX};WINEPATH=${LOGIN_PYTHON_WIN};PYTHONHOME=${LOGIN_PYTHON_WIN}"
    FIXTURES_REQUIRED wine TIMEOUT 600)
else()
  message(WARNING "GoogleTest sources (Debian's googletest) not found in ${LOGIN_GTEST_SOURCE_DIR}: "
                  "the C++ tests are not built for Windows")
endif()
