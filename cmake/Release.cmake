# The release tree (LOGIN_RELEASE=ON, `cmake --workflow --preset release`).
# It builds nothing itself. Building it builds the shipped module of every
# version and platform in a tree of its own, <this tree>/<platform>-<version>:
#
#   linux-3.X     the Linux module for each CPython of the supported versions
#                 that pyenv has here
#   windows-3.X   the Windows x64 module for each version of
#                 LOGIN_WINDOWS_VERSIONS, cross-built with mingw-w64
#
# each a Release build with LOGIN_SHIP (cmake/BuildFlags.cmake): optimised,
# hardened, reproducible, the debug information split into <module>.debug.
# cmake/release/dist.py then gathers the modules and their debug files into
# LOGIN_DIST_DIR with SHA256SUMS and MANIFEST, and stages each module with the
# stand-in package in <this tree>/stage/<unit> for the tests.
#
# Its tests (CTest): each Linux module imported into its interpreter and the
# demo run against it; each Windows module's PE tables checked, and the
# modules of LOGIN_WINDOWS_RUN_VERSIONS run in the demo under Wine; the ELF
# symbols and hardening of each Linux module; the checksums against the
# files. The test `reproducible` (label reproducible, not run by the release
# test preset) builds the release twice more in two temporary folders and
# compares the checksums.

include(${CMAKE_CURRENT_LIST_DIR}/PythonVersions.cmake)
login_note_environment_version()

set(LOGIN_DIST_DIR "${CMAKE_BINARY_DIR}/dist" CACHE PATH
    "Folder that receives the shipped modules, their debug files, SHA256SUMS and MANIFEST")
set(LOGIN_RELEASE_COMMIT "" CACHE STRING
    "Commit the manifest names (empty: the source tree's HEAD, marked modified when the tree differs from it)")
option(LOGIN_RELEASE_REQUIRE_ALL "Stop configuring when a supported CPython is not found through pyenv" OFF)
find_program(LOGIN_HOST_PYTHON NAMES python3 python REQUIRED)
find_program(LOGIN_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
if(NOT LOGIN_MINGW_OBJDUMP)
  message(FATAL_ERROR "x86_64-w64-mingw32-objdump (Debian's binutils-mingw-w64-x86-64, with "
                      "g++-mingw-w64-x86-64) is needed to check the Windows modules")
endif()

if(NOT LOGIN_RELEASE_COMMIT)
  execute_process(COMMAND git -C "${CMAKE_SOURCE_DIR}" rev-parse HEAD
                  OUTPUT_VARIABLE _login_commit RESULT_VARIABLE _login_rc
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(_login_rc EQUAL 0)
    execute_process(COMMAND git -C "${CMAKE_SOURCE_DIR}" status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE _login_changes OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_login_changes)
      string(APPEND _login_commit " (modified)")
    endif()
  else()
    set(_login_commit "unknown (not a git checkout)")
  endif()
else()
  set(_login_commit "${LOGIN_RELEASE_COMMIT}")
endif()
message(STATUS "Release of commit ${_login_commit} into ${LOGIN_DIST_DIR}")

# What every unit's tree shares.
set(_login_ship_args -G "${CMAKE_GENERATOR}" -DCMAKE_BUILD_TYPE=Release -DLOGIN_SHIP=ON)

# --- the units ---------------------------------------------------------------
set(_login_units "")
set(_login_missing "")
foreach(_version IN LISTS LOGIN_PYTHON_SUPPORTED_VERSIONS)
  login_pyenv_prefix(_prefix "${_version}")
  if(NOT _prefix)
    list(APPEND _login_missing ${_version})
    continue()
  endif()
  set(_unit linux-${_version})
  list(APPEND _login_units ${_unit})
  set(_login_configure_${_unit} ${_login_ship_args}
      "-DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}"
      "-DPython3_ROOT_DIR=${_prefix}" "-DLOGIN_PYTHON_VERSION=${_version}")
endforeach()
if(_login_missing)
  list(JOIN _login_missing ", " _login_missing_text)
  if(LOGIN_RELEASE_REQUIRE_ALL)
    message(FATAL_ERROR "CPython ${_login_missing_text} not found through pyenv: no Linux module for it.")
  endif()
  message(STATUS "CPython ${_login_missing_text} not found through pyenv: no Linux module for it")
endif()

foreach(_version IN LISTS LOGIN_WINDOWS_VERSIONS)
  string(REPLACE "." "" _nodot "${_version}")
  login_windows_python_root(_root ${_nodot})
  if(NOT _root)
    message(FATAL_ERROR
      "No Windows x64 CPython ${_version} for login.cp${_nodot}-win_amd64.pyd: name its folder with "
      "WINDOWS_PYTHON${_nodot}_ROOT (cache or environment), or put it at ../shared/windows-python${_nodot} "
      "(or -sdk) beside the source tree.")
  endif()
  if(_version IN_LIST LOGIN_WINDOWS_RUN_VERSIONS)
    set(_build_only OFF)
  else()
    set(_build_only ON)
  endif()
  set(_unit windows-${_version})
  list(APPEND _login_units ${_unit})
  set(_login_configure_${_unit} ${_login_ship_args}
      "--toolchain" "${CMAKE_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake"
      "-DLOGIN_PYTHON_VERSION=${_version}" "-DWINDOWS_PYTHON${_nodot}_ROOT=${_root}"
      "-DLOGIN_WINDOWS_BUILD_ONLY=${_build_only}")
  set(LOGIN_WINDOWS_PYTHON${_nodot}_ROOT_USED "${_root}")
endforeach()
list(JOIN _login_units ", " _login_units_text)
message(STATUS "Release units: ${_login_units_text}")

# Each unit: configure its tree, build the module (and the stand-ins the demo
# runs with), written out so that the build log shows what ran. A failure
# stops the release.
set(_login_unit_commands "")
foreach(_unit IN LISTS _login_units)
  set(_tree ${CMAKE_BINARY_DIR}/${_unit})
  set(_configure "${CMAKE_COMMAND}" -S "${CMAKE_SOURCE_DIR}" -B "${_tree}" ${_login_configure_${_unit}})
  set(_build "${CMAKE_COMMAND}" --build "${_tree}" --parallel 2 --target login standins)
  set(_content "# Generated by cmake/Release.cmake: the shipped module of ${_unit} in ${_tree}.\n")
  foreach(_step configure build)
    set(_args "")
    foreach(_a IN LISTS _${_step})
      string(APPEND _args " [==[${_a}]==]")
    endforeach()
    string(APPEND _content
      "message(STATUS [==[${_unit}: ${_step}]==])\n"
      "execute_process(COMMAND${_args} RESULT_VARIABLE rc)\n"
      "if(NOT rc EQUAL 0)\n"
      "  message(FATAL_ERROR [==[${_unit}: ${_step} failed in ${_tree}: ]==] \"\${rc}\")\n"
      "endif()\n")
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/${_unit}.cmake "${_content}")
  list(APPEND _login_unit_commands COMMAND ${CMAKE_COMMAND} -P ${CMAKE_BINARY_DIR}/${_unit}.cmake)
endforeach()

set(_login_stage ${CMAKE_BINARY_DIR}/stage)
set(_login_dist_command
  ${LOGIN_HOST_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/release/dist.py
  --dist ${LOGIN_DIST_DIR} --stage ${_login_stage} --standins ${CMAKE_SOURCE_DIR}/standins/corvalith
  --commit "${_login_commit}")
foreach(_unit IN LISTS _login_units)
  list(APPEND _login_dist_command --unit ${_unit} ${CMAKE_BINARY_DIR}/${_unit})
endforeach()
add_custom_target(dist ALL
  ${_login_unit_commands}
  COMMAND ${_login_dist_command}
  USES_TERMINAL
  VERBATIM
  COMMENT "Building the shipped modules into ${LOGIN_DIST_DIR}")

# --- tests -------------------------------------------------------------------
enable_testing()
set(_login_check ${LOGIN_HOST_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/release/check.py)
foreach(_unit IN LISTS _login_units)
  set(_staged ${_login_stage}/${_unit})
  string(REGEX MATCH "[0-9.]+$" _version "${_unit}")
  if(_unit MATCHES "^linux-")
    add_test(NAME ${_unit}.demo COMMAND ${_login_check} demo ${_staged}
             --tools ${CMAKE_SOURCE_DIR}/standins/bin)
    # The shipped file's exports and hardening, under its own interpreter.
    add_test(NAME ${_unit}.symbols COMMAND ${_login_check} symbols ${_staged})
  else()
    if(_version IN_LIST LOGIN_WINDOWS_RUN_VERSIONS)
      add_test(NAME ${_unit}.demo COMMAND ${_login_check} demo ${_staged}
               --wine ${CMAKE_SOURCE_DIR}/tests/wine/run)
      set_tests_properties(${_unit}.demo PROPERTIES
        ENVIRONMENT "LOGIN_WINEPREFIX=${CMAKE_BINARY_DIR}/wine" RESOURCE_LOCK wine)
    endif()
    add_test(NAME ${_unit}.pe.tables COMMAND ${_login_check} symbols ${_staged})
    set_tests_properties(${_unit}.pe.tables PROPERTIES ENVIRONMENT "LOGIN_OBJDUMP=${LOGIN_MINGW_OBJDUMP}")
  endif()
endforeach()
add_test(NAME dist.sums COMMAND ${_login_check} sums ${LOGIN_DIST_DIR})
add_test(NAME release.tools COMMAND ${LOGIN_HOST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/release/test_tools.py)
set_tests_properties(release.tools PROPERTIES ENVIRONMENT "LOGIN_DIST=${LOGIN_DIST_DIR}")

# Two more releases of the same sources, in two temporary folders at two
# different paths and times, whose checksums must equal. The Windows
# installations go with them.
set(_login_repro_env "")
foreach(_version IN LISTS LOGIN_WINDOWS_VERSIONS)
  string(REPLACE "." "" _nodot "${_version}")
  list(APPEND _login_repro_env "WINDOWS_PYTHON${_nodot}_ROOT=${LOGIN_WINDOWS_PYTHON${_nodot}_ROOT_USED}")
endforeach()
add_test(NAME reproducible COMMAND ${LOGIN_HOST_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/release/reproducible.py
         --source ${CMAKE_SOURCE_DIR} --commit "${_login_commit}")
set_tests_properties(reproducible PROPERTIES LABELS reproducible TIMEOUT 3600
                     ENVIRONMENT "${_login_repro_env}")

# This tree installs nothing itself: each unit's tree installs its module.
install(CODE "message(FATAL_ERROR \"The release tree installs nothing itself. Install one shipped module with \"
                                  \"cmake --install ${CMAKE_BINARY_DIR}/linux-3.X --prefix <site-packages> \"
                                  \"(the tree of the CPython it is for).\")")
