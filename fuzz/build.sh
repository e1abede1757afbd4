#!/bin/sh
# Builds the libFuzzer targets into build-fuzz/ with AddressSanitizer and
# UndefinedBehaviorSanitizer. They link the front end and the register-name
# check directly, without the Python module.
set -eu
cd "$(dirname "$0")/.."
CXX=${CXX:-$(command -v clang++-14 || command -v clang++)}
FLAGS="-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc"
mkdir -p build-fuzz
for target in fuzz_parse_program fuzz_memory_operand; do
  "$CXX" $FLAGS "fuzz/$target.cpp" src/frontend/*.cpp src/registers/*.cpp -o "build-fuzz/$target"
  echo "built build-fuzz/$target"
done
# The generation target also links the code generator and the platform layer.
"$CXX" $FLAGS fuzz/fuzz_generate.cpp src/frontend/*.cpp src/registers/*.cpp src/codegen/*.cpp src/platform/*.cpp \
  -o build-fuzz/fuzz_generate
echo "built build-fuzz/fuzz_generate"
