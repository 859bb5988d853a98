# Cross-builds for x86-64 Windows with Debian's mingw-w64 (posix threads) and runs the results
# under wine64. CORVANE_WINDOWS_PREFIX names the prefix of the cross-built dependencies that
# scripts/build-windows.sh makes.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)

set(CORVANE_WINDOWS_PREFIX "${CORVANE_WINDOWS_PREFIX}" CACHE PATH
    "Prefix of the cross-built dependencies")
# Try-compiles read the toolchain file again, without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVANE_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH ${CORVANE_WINDOWS_PREFIX} /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see the cross prefix alone, or the host's headers and libraries leak in; the
# dependencies are static, so their private libraries are needed too.
set(ENV{PKG_CONFIG_LIBDIR} "${CORVANE_WINDOWS_PREFIX}/lib/pkgconfig:/usr/${triplet}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_ARGN --static CACHE STRING "Arguments pkg-config gets")

# The C runtime's POSIX-minded parts: printf that knows %zu and %lld, localtime_r and gmtime_r.
# GCC checks format(printf) functions against the Microsoft runtime's formats all the same, which
# have no %zu; the programs print through mingw's own printf, and the Linux build checks the
# formats.
set(windows_flags "-D__USE_MINGW_ANSI_STDIO=1 -D_POSIX_THREAD_SAFE_FUNCTIONS=200112L -Wno-format")
set(CMAKE_C_FLAGS_INIT "${windows_flags}")
set(CMAKE_CXX_FLAGS_INIT "${windows_flags}")

# Programs and the DLL carry their C and C++ runtime, so the zip needs no DLL but corvane.dll:
# libraries are found as static archives (an import library, libz.dll.a, would pull in a DLL,
# and winpthread's twice over). The platform files set the suffixes after this file, so the
# choice is made after project().
set(CMAKE_PROJECT_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/mingw-w64-static-libraries.cmake)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Tests and test discovery run the programs under wine.
find_program(CORVANE_WINE NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(CORVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVANE_WINE})
endif()
