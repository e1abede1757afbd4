#pragma once
// The fuzz targets' checks: a broken expectation names itself before the
// abort that libFuzzer reports as a crash.

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzz_requirement_failed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: requirement failed: %s\n", file, line, condition);
  std::abort();
}

#define REQUIRE(condition) \
  ((condition) ? static_cast<void>(0) : fuzz_requirement_failed(#condition, __FILE__, __LINE__))
