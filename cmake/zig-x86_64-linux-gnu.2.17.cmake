# Builds for Linux x86-64 systems with glibc 2.17 or newer, the systems a
# manylinux_2_17 (manylinux2014) wheel promises to load on, with Zig's clang:
# it links against glibc 2.17's symbol versions whatever glibc the building
# machine has, targets the baseline x86-64 processor, and links its own
# libc++ statically.
#
#   ZIG=/path/to/zig cmake -S . -B build/x -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/zig-x86_64-linux-gnu.2.17.cmake
#
# `pip install ziglang` puts the compiler at site-packages/ziglang/zig;
# without ZIG a `zig` on PATH is used. The building machine stays the host
# system (no CMAKE_SYSTEM_NAME): what is built runs here too, so the tests
# and benchmarks run as they are.

if(DEFINED ENV{ZIG})
  set(QUORVEL_ZIG "$ENV{ZIG}")
else()
  find_program(QUORVEL_ZIG zig REQUIRED)
endif()

# The target is part of the command, not CMAKE_CXX_COMPILER_TARGET, so that
# CMake's compiler identification builds for it too (and Zig does not build
# a second libc++ for the building machine).
set(CMAKE_CXX_COMPILER "${QUORVEL_ZIG}" c++ -target x86_64-linux-gnu.2.17)
# Zig builds libc++ for the first program it links in each configuration,
# which takes a minute; CMake's checks compile without linking.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# As fast as the g++ build: Zig keeps frame pointers at every optimization
# level, where g++ drops them from -O1 on.
set(CMAKE_CXX_FLAGS_INIT "-fomit-frame-pointer")
# And libc++ leaves more small functions out of line than libstdc++ does,
# which link-time optimization of the text-to-code path inlines again
# (generation is 5% slower without it). See QUORVEL_LTO_GENERATION.
set(QUORVEL_LTO_GENERATION ON CACHE BOOL "")
# Archives of LLVM bitcode need LLVM's archiver for their symbol index.
set(CMAKE_CXX_ARCHIVE_CREATE "\"${QUORVEL_ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_APPEND "\"${QUORVEL_ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_FINISH "\"${QUORVEL_ZIG}\" ranlib <TARGET>")
