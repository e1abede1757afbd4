# Enables C++ for the project when a C++20 compiler is there, and otherwise
# sets QUORVEL_CXX20_MISSING to what was found instead, for one line that
# names what to install: a missing compiler, or one too old for C++20,
# would otherwise end in pages of CMake output that a user installing from
# source cannot act on.
#
#   include(cmake/require_cxx20.cmake)   # after project(... LANGUAGES NONE)

include(CheckLanguage)

check_language(CXX)
if(NOT CMAKE_CXX_COMPILER)
  if(DEFINED ENV{CXX})
    set(QUORVEL_CXX20_MISSING "the C++ compiler in CXX ($ENV{CXX}) does not work")
  else()
    set(QUORVEL_CXX20_MISSING "no C++ compiler found")
  endif()
  return()
endif()
enable_language(CXX)

# The features the sources rely on that arrived last: g++ 10 and clang 10
# have them all.
set(quorvel_probe "${CMAKE_BINARY_DIR}/quorvel-cxx20-probe.cpp")
file(WRITE "${quorvel_probe}" [[
#include <bit>
#include <span>
#include <string_view>
template <class T> concept Small = sizeof(T) <= 8;
constinit int counted = std::countr_zero(8u);
template <Small T> int first(std::span<const T> items) { return items.empty() ? 0 : int(items[0]); }
int main() { const int one[] = {1}; return first<int>(one) - 1 + (std::string_view("ab").starts_with('a') ? 0 : 1); }
]])
if(NOT "cxx_std_20" IN_LIST CMAKE_CXX_COMPILE_FEATURES)
  set(quorvel_has_cxx20 FALSE)
else()
  try_compile(quorvel_has_cxx20 "${CMAKE_BINARY_DIR}/quorvel-cxx20-probe"
    SOURCES "${quorvel_probe}" CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
endif()
if(NOT quorvel_has_cxx20)
  set(QUORVEL_CXX20_MISSING
    "${CMAKE_CXX_COMPILER} (${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}) cannot compile C++20")
endif()
