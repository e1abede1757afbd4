// Code pages on Windows: two views of one section, or one region whose
// protection flips, never writable and executable at once; and the
// system's error texts the platform layer passes on.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/code_pages.hpp"
#include "platform/os_error.hpp"

namespace quorvel::platform {
namespace {

DWORD protection_of(const void* address) {
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(address, &region, sizeof region) == 0 || region.State != MEM_COMMIT) return 0;
  return region.Protect;
}

bool can_become_writable_and_executable(const void* address) {
  DWORD previous = 0;
  return VirtualProtect(const_cast<void*>(address), 4096, PAGE_EXECUTE_READWRITE, &previous) != 0;
}

TEST(CodePagesWindows, TwoViewsShareTheirBytes) {
  CodePages pages;
  ASSERT_EQ(CodePages::create(8192, pages, CodeMemoryScheme::TwoViews), 0);
  ASSERT_TRUE(pages.two_views());
  EXPECT_EQ(pages.size(), 8192u);
  EXPECT_EQ(protection_of(pages.executable()), static_cast<DWORD>(PAGE_EXECUTE_READ));
  ASSERT_EQ(pages.begin_write(), 0);
  EXPECT_EQ(protection_of(pages.writable()), static_cast<DWORD>(PAGE_READWRITE));
  pages.writable()[8191] = 0xC3;
  ASSERT_EQ(pages.end_write(), 0);
  EXPECT_EQ(pages.executable()[8191], 0xC3);
  // Neither view was mapped with the access the other one has.
  EXPECT_FALSE(can_become_writable_and_executable(pages.executable()));
  EXPECT_FALSE(can_become_writable_and_executable(pages.writable()));
  EXPECT_FALSE(pages.lost_in_fork());
}

TEST(CodePagesWindows, ProtectionSwitchingIsWritableOnlyWhileWriting) {
  CodePages pages;
  ASSERT_EQ(CodePages::create(4096, pages, CodeMemoryScheme::ProtectionSwitching), 0);
  EXPECT_FALSE(pages.two_views());
  EXPECT_EQ(protection_of(pages.executable()), static_cast<DWORD>(PAGE_EXECUTE_READ));
  ASSERT_EQ(pages.begin_write(), 0);
  EXPECT_EQ(protection_of(pages.writable()), static_cast<DWORD>(PAGE_READWRITE));
  pages.writable()[0] = 0x90;
  ASSERT_EQ(pages.end_write(), 0);
  EXPECT_EQ(protection_of(pages.executable()), static_cast<DWORD>(PAGE_EXECUTE_READ));
  EXPECT_EQ(pages.executable()[0], 0x90);
}

TEST(CodePagesWindows, AutomaticPicksTwoViewsWhereTheSystemAllows) {
  CodePages pages;
  ASSERT_EQ(CodePages::create(4096, pages), 0);
  EXPECT_TRUE(pages.two_views());
  EXPECT_EQ(automatic_code_memory_scheme(), CodeMemoryScheme::TwoViews);
}

TEST(CodePagesWindows, ReleasedViewsAreUnmapped) {
  const std::uint8_t* run_view = nullptr;
  const std::uint8_t* write_view = nullptr;
  {
    CodePages pages;
    ASSERT_EQ(CodePages::create(4096, pages, CodeMemoryScheme::TwoViews), 0);
    run_view = pages.executable();
    write_view = pages.writable();
  }
  EXPECT_EQ(protection_of(run_view), 0u);
  EXPECT_EQ(protection_of(write_view), 0u);
}

// The system's text without its line break, then the code; and the kind.
TEST(OsErrorWindows, TextsComeFromTheSystem) {
  const std::string text = os_error_text(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_GT(text.size(), std::string(" (os error 2)").size());
  EXPECT_EQ(text.substr(text.size() - 13), " (os error 2)");
  const std::string message = text.substr(0, text.size() - 13);
  EXPECT_EQ(os_error_description(ERROR_FILE_NOT_FOUND),
            "Os { code: 2, kind: NotFound, message: \"" + message + "\" }");
  EXPECT_NE(os_error_description(ERROR_ACCESS_DENIED).find("code: 5, kind: PermissionDenied"), std::string::npos);
  EXPECT_NE(os_error_description(ERROR_COMMITMENT_LIMIT).find("code: 1455, kind: OutOfMemory"), std::string::npos);
  EXPECT_EQ(os_error_text(0x7FFFFFF0), "Unknown error (os error 2147483632)");
}

}  // namespace
}  // namespace quorvel::platform
