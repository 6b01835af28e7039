# Hardening and shipping options of the module's targets (login_runtime, login).
#
#   login_harden(<target>...)   every build: stack protector, _FORTIFY_SOURCE on
#                               optimised builds, full RELRO and no executable
#                               stack (ELF); ASLR, NX and high-entropy addressing
#                               (PE)
#   login_ship(<target>)        LOGIN_SHIP=ON (the trees the release builds):
#                               no build folder in any output, no time stamp,
#                               debug information split off after linking
#
# The module file built with LOGIN_SHIP is the shipped one: its debug
# information goes into <module>.debug beside it, the module keeps only the
# symbols it needs to load (PyInit_login, its imports) and a debug link naming
# that file and its CRC.

include_guard(GLOBAL)

option(LOGIN_SHIP "Build the module as shipped: reproducible, debug information split into <module>.debug" OFF)

function(login_harden)
  if(MSVC OR APPLE)
    return()
  endif()
  foreach(t IN LISTS ARGN)
    if(WIN32)
      # The linker's defaults since binutils 2.36, stated so that an older one
      # cannot quietly drop them.
      if(t STREQUAL "login")
        target_link_options(${t} PRIVATE LINKER:--dynamicbase,--nxcompat,--high-entropy-va)
      endif()
      continue()
    endif()
    target_compile_options(${t} PRIVATE -fstack-protector-strong)
    # _FORTIFY_SOURCE needs the optimiser; the C library warns without it.
    target_compile_definitions(${t} PRIVATE
      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
    if(t STREQUAL "login")
      target_link_options(${t} PRIVATE LINKER:-z,relro,-z,now,-z,noexecstack)
    endif()
  endforeach()
endfunction()

# Objects compiled with these options name their sources relative to the source
# tree (.), their build folder as build/ and the interpreter's installation as
# python/, whatever folders these sit in. The build map comes last so that it
# wins for a build folder inside the source tree.
function(login_prefix_maps out)
  set(${out}
    -ffile-prefix-map=${Python3_PREFIX}=python
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
    -ffile-prefix-map=${CMAKE_BINARY_DIR}=build
    PARENT_SCOPE)
endfunction()

function(login_ship target)
  if(NOT LOGIN_SHIP)
    return()
  endif()
  if(MSVC)
    message(FATAL_ERROR "LOGIN_SHIP is made for GNU toolchains (gcc, mingw-w64)")
  endif()
  login_prefix_maps(_maps)
  foreach(t login_runtime ${target})
    # Debug information is made (and split off below); the optimisation is
    # the configuration's own (Release: -O3, which the benchmark measures and
    # which runs the module's part of a call in about a fifth fewer
    # instructions than -O2).
    target_compile_options(${t} PRIVATE -g ${_maps})
  endforeach()
  if(WIN32)
    # The PE header's time stamp is 0: the same sources give the same file.
    target_link_options(${target} PRIVATE LINKER:--no-insert-timestamp)
    set(_objcopy "${LOGIN_MINGW_OBJCOPY}")
  else()
    # The build id is a hash of the linked file, so it is the same for the
    # same input; stated so that the note is always there.
    target_link_options(${target} PRIVATE LINKER:--build-id=sha1)
    set(_objcopy "${CMAKE_OBJCOPY}")
  endif()
  if(NOT _objcopy)
    message(FATAL_ERROR "objcopy of the toolchain was not found: the shipped module cannot be split "
                        "from its debug information")
  endif()
  # What the release tree needs to know of this one (cmake/Release.cmake).
  if(WIN32)
    set(_platform win-amd64)
    set(_runs "$<NOT:$<BOOL:${LOGIN_WINDOWS_BUILD_ONLY}>>")
  else()
    set(_platform linux-${CMAKE_SYSTEM_PROCESSOR})
    set(_runs 1)
  endif()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/shipped.json CONTENT "{
  \"platform\": \"${_platform}\",
  \"cpython\": \"${Python3_VERSION}\",
  \"compiler\": \"${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}\",
  \"module\": \"$<TARGET_FILE:${target}>\",
  \"interpreter\": \"${Python3_EXECUTABLE}\",
  \"tools\": \"${LOGIN_TOOLS_DIR}\",
  \"runs\": ${_runs}
}
")

  # After linking: the debug information to <module>.debug, everything else
  # that loading does not need stripped, and a debug link to the debug file
  # (its name and CRC) added. objcopy runs in the module's folder so that the
  # link holds the file name only.
  # objcopy stamps the PE files it writes with the time, or with
  # SOURCE_DATE_EPOCH: 0, as the linker left it.
  set(_objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 "${_objcopy}")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${_objcopy} --only-keep-debug $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${_objcopy} --strip-all --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
            $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Splitting the debug information off the module into <module>.debug"
    VERBATIM)
endfunction()
