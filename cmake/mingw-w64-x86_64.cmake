# Cross-building for 64-bit Windows with MinGW-w64 on Debian/Ubuntu
# (g++-mingw-w64-x86-64-posix). The posix thread model is needed: the win32
# one has no std::thread or std::mutex in this GCC. Programs are linked
# statically, so they run without the MinGW runtime DLLs, and ctest runs them
# under Wine's 64-bit loader.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TANDREL_MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${TANDREL_MINGW_TRIPLET}-gcc-posix ${TANDREL_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TANDREL_MINGW_TRIPLET}-g++-posix ${TANDREL_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TANDREL_MINGW_TRIPLET}-windres)
find_program(CMAKE_AR NAMES ${TANDREL_MINGW_TRIPLET}-gcc-ar-posix ${TANDREL_MINGW_TRIPLET}-ar)
find_program(CMAKE_RANLIB NAMES ${TANDREL_MINGW_TRIPLET}-gcc-ranlib-posix ${TANDREL_MINGW_TRIPLET}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${TANDREL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Wine's 64-bit loader runs the tests (and GoogleTest's test discovery), in
# the build folder's own Wine prefix, quiet and without a display. Wine names
# the host's files in the locale's encoding: UTF-8, so that any name fits.
find_program(TANDREL_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
if(NOT TANDREL_WINE)
  find_program(TANDREL_WINE NAMES wine64 wine)
endif()
if(TANDREL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all DISPLAY=
      WINEDLLOVERRIDES=mscoree,mshtml= LC_ALL=C.UTF-8 ${TANDREL_WINE})
endif()

# Only what builds without Qt for Windows: the engine, list files, the command
# line and their tests.
set(TANDREL_BUILD_UI OFF CACHE BOOL "Build the Qt window" FORCE)
set(TANDREL_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks" FORCE)
set(TANDREL_FUZZ OFF CACHE BOOL "Build the libFuzzer targets" FORCE)
