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

# The test extras go in without the disassembler, which is installed on its
# own: where it cannot be had, the suite still runs and its cross-checks are
# skipped, saying why. CI must run them.
mapfile -t test_needs < <(python -c '
import tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))')
disassembler=()
others=()
for need in "${test_needs[@]}"; do
  case $need in
    capstone*) disassembler+=("$need") ;;
    *) others+=("$need") ;;
  esac
done
python -m pip install -q . "${others[@]}"
if ! python -m pip install -q "${disassembler[@]}"; then
  if [ -n "${CI:-}" ]; then
    echo "run.sh: CI runs the cross-checks against capstone, which did not install" >&2
    exit 1
  fi
  echo "run.sh: capstone did not install; the tests that need it are skipped" >&2
fi
python -m pytest -q tests

cmake -S . -B build/cpp-tests -G Ninja -DQUORVEL_BUILD_TESTS=ON -DPython_EXECUTABLE="$(command -v python)"
cmake --build build/cpp-tests -j2
ctest --test-dir build/cpp-tests --output-on-failure
