# Cross-compiles for 64-bit Windows with the mingw-w64 cross compiler
# (Debian's g++-mingw-w64-x86-64). Programs built with it run here under Wine:
# tests/wine/run is the emulator through which CTest starts them.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(LOGIN_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread model: its C++ library has std::mutex and std::thread,
# which GoogleTest needs; its thread support library is linked statically too.
find_program(CMAKE_CXX_COMPILER NAMES ${LOGIN_MINGW_TRIPLET}-g++-posix ${LOGIN_MINGW_TRIPLET}-g++)
find_program(CMAKE_C_COMPILER NAMES ${LOGIN_MINGW_TRIPLET}-gcc-posix ${LOGIN_MINGW_TRIPLET}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${LOGIN_MINGW_TRIPLET}-windres)
if(NOT CMAKE_CXX_COMPILER)
  message(FATAL_ERROR "The mingw-w64 cross compiler ${LOGIN_MINGW_TRIPLET}-g++ was not found. "
                      "Install it with: apt-get install --no-install-recommends g++-mingw-w64-x86-64")
endif()
find_program(LOGIN_MINGW_OBJDUMP ${LOGIN_MINGW_TRIPLET}-objdump)
find_program(LOGIN_MINGW_OBJCOPY ${LOGIN_MINGW_TRIPLET}-objcopy)

set(CMAKE_FIND_ROOT_PATH /usr/${LOGIN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The toolchain's own runtime support (libgcc, the C++ library, winpthreads) is
# linked in statically, so nothing built here needs a DLL of the cross
# compiler at run time; import libraries (python3XY.lib, the system's) still
# link their DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/run)
