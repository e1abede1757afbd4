#!/usr/bin/env bash
# The C++ core and its GoogleTest suite built for 64-bit Windows with
# mingw-w64 and run under Wine. Installs the cross compiler, Wine and
# GoogleTest's sources with apt-get when they are missing, builds GoogleTest
# with the same toolchain, then the core and the suite (static executables),
# and runs the suite in a Wine prefix of its own under build/.
#
#   bash tests/run_windows.sh
#
# The Python extension itself is not built here: it needs a Windows CPython.
set -euo pipefail
cd "$(dirname "$0")/.."

wine=/usr/lib/wine/wine64
toolchain="$PWD/cmake/mingw-w64-x86_64.cmake"
gtest_build=build/windows-gtest
gtest_prefix="$PWD/$gtest_build/install"
core_build=build/windows-mingw
export WINEPREFIX="$PWD/build/windows-wine"
export WINEDEBUG=-all

need_apt=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need_apt+=(g++-mingw-w64-x86-64-posix)
[ -x "$wine" ] || need_apt+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need_apt+=(googletest)
command -v ninja >/dev/null || need_apt+=(ninja-build)
if [ ${#need_apt[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need_apt[@]}"
fi

if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$gtest_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest_prefix"
  cmake --build "$gtest_build" -j2
  cmake --install "$gtest_build"
fi

cmake -S . -B "$core_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DQUORVEL_BUILD_PYTHON_MODULES=OFF -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_BUILD_BENCHMARKS=ON \
  -DGTest_DIR="$gtest_prefix/lib/cmake/GTest"
cmake --build "$core_build" -j2

mkdir -p "$WINEPREFIX"
ctest --test-dir "$core_build" --output-on-failure
