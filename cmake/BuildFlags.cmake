# Protections of the module's targets (login_runtime, login).
#
#   login_harden(<target>...)   every build: stack protector, _FORTIFY_SOURCE on
#                               optimised builds, full RELRO and no executable
#                               stack (ELF); ASLR, NX and high-entropy addressing
#                               (PE)

include_guard(GLOBAL)

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
