#pragma once
// What each platform half of CodePages provides: mapping the pages, and
// telling a child process from the one that made them. code_pages.cpp
// builds the rest on these.

#include <cstddef>
#include <cstdint>

namespace quorvel::platform::code_pages_system {

// Two views of one shared memory object, read-write and read-execute.
// Returns 0 or the system's error number.
int map_two_views(std::size_t size, std::uint8_t*& write_view, std::uint8_t*& run_view);

// One private mapping, read-execute. Returns 0 or the system's error number.
int map_switching(std::size_t size, std::uint8_t*& view);

// Whether an error of map_two_views means "not here" rather than "not now".
bool refuses_two_views(int error);

// Changes only in a child process after fork(), so pages can tell whether
// this process made them without asking the system.
std::uint64_t process_generation();

}  // namespace quorvel::platform::code_pages_system
