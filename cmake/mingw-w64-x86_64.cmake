# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the POSIX
# threads flavour, which std::thread and std::mutex need), running what it
# builds under Wine:
#
#   cmake -S . -B build/windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DQUORVEL_BUILD_PYTHON_MODULES=OFF
#
# Executables are linked statically, so Wine needs no mingw runtime DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUORVEL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORVEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest and gtest_discover_tests run the test executable through Wine.
find_program(QUORVEL_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT QUORVEL_WINE64)
  find_program(QUORVEL_WINE64 NAMES wine64 wine)
endif()
if(QUORVEL_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVEL_WINE64})
endif()
