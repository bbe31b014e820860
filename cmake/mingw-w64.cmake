# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix thread
# model, so std::thread and std::mutex work). TOVALY_WINDOWS_PREFIX names the
# folder windows/build-deps.sh filled with static GLib and GMime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOVALY_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOVALY_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOVALY_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${TOVALY_MINGW_HOST}-windres)

if(NOT TOVALY_WINDOWS_PREFIX AND DEFINED ENV{TOVALY_WINDOWS_PREFIX})
  set(TOVALY_WINDOWS_PREFIX $ENV{TOVALY_WINDOWS_PREFIX})
endif()
set(TOVALY_WINDOWS_PREFIX ${TOVALY_WINDOWS_PREFIX} CACHE PATH "Static Windows dependencies")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOVALY_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${TOVALY_MINGW_HOST} ${TOVALY_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests and test discovery run the programs under Wine, through a script that
# keeps Wine's helper processes off CTest's pipes.
get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../windows/wine-run.sh ABSOLUTE)
# One self-contained .exe: no MinGW runtime DLLs to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(ENV{PKG_CONFIG_LIBDIR} "${TOVALY_WINDOWS_PREFIX}/lib/pkgconfig:/usr/${TOVALY_MINGW_HOST}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
# -O2 as on Linux: MinGW's GCC 12 at -O3 warns of uninitialised strings in
# aggregates that are initialised.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags for a Release build")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags for a Release build")
