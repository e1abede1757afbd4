#!/usr/bin/env bash
# Installs what the tests need, then runs the whole suite: Python, then C++.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v objdump >/dev/null || need_apt+=(binutils)
# The view's browser tests drive Debian's Chromium through Playwright (no browser download).
command -v chromium >/dev/null || need_apt+=(chromium)
if [ ${#need_apt[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need_apt[@]}"
fi

python -m pip install -q ".[test]"
python -m pytest -q tests

cmake -S . -B build/cpp-tests -G Ninja -DQUORVEL_BUILD_TESTS=ON -DPython_EXECUTABLE="$(command -v python)"
cmake --build build/cpp-tests -j2
ctest --test-dir build/cpp-tests --output-on-failure
