#!/bin/sh
# Builds the libFuzzer targets into build-fuzz/ with AddressSanitizer and
# UndefinedBehaviorSanitizer. The plain C++ below src/lib is compiled once,
# with coverage instrumentation, into an archive that every target links, so
# each target pulls in only what it uses; no Python is involved.
set -eu
cd "$(dirname "$0")/.."
CXX=${CXX:-$(command -v clang++-14 || command -v clang++)}
AR=${AR:-$(command -v llvm-ar-14 || command -v ar)}
JOBS=${JOBS:-2}
COMMON="-std=c++20 -g -O1 -fno-omit-frame-pointer -fno-sanitize-recover=undefined -Wall -Wextra -Isrc"
LIBRARY_FLAGS="$COMMON -fsanitize=fuzzer-no-link,address,undefined"
TARGET_FLAGS="$COMMON -fsanitize=fuzzer,address,undefined"
TARGETS="fuzz_parse_program fuzz_memory_operand fuzz_generate fuzz_kept_code fuzz_check"

mkdir -p build-fuzz/objects
rm -f build-fuzz/objects/*.o build-fuzz/libquorvel_fuzz.a
# The platform layer has a POSIX and a Windows half side by side; the fuzzers
# run on POSIX.
for source in src/common/*.cpp src/platform/*.cpp src/registers/*.cpp src/frontend/*.cpp \
              src/codegen/*.cpp src/lab/*.cpp; do
  case "$source" in *_windows.cpp | *'*'*) continue ;; esac
  printf '%s\n' "$source"
done | xargs -P "$JOBS" -I{} sh -c \
  'object=build-fuzz/objects/$(echo "$1" | sed "s|^src/||; s|/|_|g; s|\.cpp$|.o|"); "$2" $3 -c "$1" -o "$object"' \
  compile {} "$CXX" "$LIBRARY_FLAGS"
"$AR" rcs build-fuzz/libquorvel_fuzz.a build-fuzz/objects/*.o

for target in $TARGETS; do
  "$CXX" $TARGET_FLAGS "fuzz/$target.cpp" build-fuzz/libquorvel_fuzz.a -o "build-fuzz/$target"
  echo "built build-fuzz/$target"
done
