# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread model, which has
# std::thread). MORVANE_WIN_PREFIX is where scripts/windows-deps.sh installed the libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_AR ${MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

if(NOT MORVANE_WIN_PREFIX AND DEFINED ENV{MORVANE_WIN_PREFIX})
    set(MORVANE_WIN_PREFIX $ENV{MORVANE_WIN_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET} ${MORVANE_WIN_PREFIX})
list(APPEND CMAKE_PREFIX_PATH ${MORVANE_WIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must read the cross prefix's .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} ${MORVANE_WIN_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
# Tests and tools built here run under wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
