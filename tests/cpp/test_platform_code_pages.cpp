// Code pages: two views, or one mapping whose protection flips, never
// writable and executable at once, and not inherited by a child process.

// POSIX only (/proc/self/maps and fork; test_platform_code_pages_windows.cpp covers Windows).
#ifndef _WIN32

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/code_pages.hpp"

namespace quorvel::platform {
namespace {

// The permission field ("r-xs") of the mapping that contains `address`.
std::string permissions_of(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto target = reinterpret_cast<std::uintptr_t>(address);
  std::string line;
  while (std::getline(maps, line)) {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) == 3 && start <= target && target < end) {
      return perms;
    }
  }
  return "unmapped";
}

std::vector<std::string> writable_executable_mappings() {
  std::ifstream maps("/proc/self/maps");
  std::vector<std::string> found;
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range;
    std::string perms;
    fields >> range >> perms;
    if (perms.size() >= 3 && perms[1] == 'w' && perms[2] == 'x') found.push_back(line);
  }
  return found;
}

// In a child: 0 when `check` holds, 1 otherwise.
template <class Check>
int in_child(Check&& check) {
  const pid_t child = fork();
  if (child == 0) _exit(check() ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(CodePages, TwoViewsShareTheirBytes) {
  CodePages pages;
  ASSERT_EQ(CodePages::create(8192, pages, CodeMemoryScheme::TwoViews), 0);
  ASSERT_TRUE(pages.two_views());
  EXPECT_EQ(pages.size(), 8192u);
  EXPECT_EQ(permissions_of(pages.executable()), "r-xs");
  ASSERT_EQ(pages.begin_write(), 0);
  EXPECT_EQ(permissions_of(pages.writable()), "rw-s");
  pages.writable()[8191] = 0xC3;
  ASSERT_EQ(pages.end_write(), 0);
  EXPECT_EQ(pages.executable()[8191], 0xC3);
  EXPECT_EQ(permissions_of(pages.writable()), "rw-s");
  EXPECT_EQ(writable_executable_mappings(), std::vector<std::string>{});
}

TEST(CodePages, ProtectionSwitchingIsWritableOnlyWhileWriting) {
  CodePages pages;
  ASSERT_EQ(CodePages::create(4096, pages, CodeMemoryScheme::ProtectionSwitching), 0);
  EXPECT_FALSE(pages.two_views());
  EXPECT_EQ(permissions_of(pages.executable()), "r-xp");
  ASSERT_EQ(pages.begin_write(), 0);
  EXPECT_EQ(permissions_of(pages.writable()), "rw-p");
  EXPECT_EQ(writable_executable_mappings(), std::vector<std::string>{});
  pages.writable()[0] = 0x90;
  ASSERT_EQ(pages.end_write(), 0);
  EXPECT_EQ(permissions_of(pages.executable()), "r-xp");
  EXPECT_EQ(pages.executable()[0], 0x90);
}

TEST(CodePages, AutomaticPicksTwoViewsWhereTheSystemAllows) {
  CodePages pages;
  ASSERT_EQ(CodePages::create(4096, pages), 0);
  EXPECT_EQ(pages.two_views(), automatic_code_memory_scheme() == CodeMemoryScheme::TwoViews);
}

TEST(CodePages, AChildDoesNotInheritTwoViews) {
  CodePages pages;
  ASSERT_EQ(CodePages::create(4096, pages, CodeMemoryScheme::TwoViews), 0);
  const std::uint8_t* run_view = pages.executable();
  EXPECT_EQ(in_child([&] { return pages.lost_in_fork() && permissions_of(run_view) == "unmapped"; }), 0);
  // Released in the child, the lost views are forgotten, not unmapped: the
  // address may by then belong to something else.
  EXPECT_EQ(in_child([&] {
              pages = CodePages();
              return !pages;
            }),
            0);
  EXPECT_FALSE(pages.lost_in_fork());
  EXPECT_EQ(permissions_of(run_view), "r-xs");
}

TEST(CodePages, AChildKeepsACopyOfSwitchedPages) {
  CodePages pages;
  ASSERT_EQ(CodePages::create(4096, pages, CodeMemoryScheme::ProtectionSwitching), 0);
  ASSERT_EQ(pages.begin_write(), 0);
  pages.writable()[7] = 0x5A;
  ASSERT_EQ(pages.end_write(), 0);
  EXPECT_EQ(in_child([&] { return !pages.lost_in_fork() && pages.executable()[7] == 0x5A; }), 0);
}

// Makes memfd_create fail with `error` in this process from now on: EPERM
// as a security policy that forbids it would, ENOSYS as a kernel before
// 3.17 that lacks the call would.
bool refuse_memory_objects(int error) {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_memfd_create, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(error)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

class CodePagesRefused : public testing::TestWithParam<int> {};

TEST_P(CodePagesRefused, ProtectionSwitchingTakesOver) {
  const int error = GetParam();
  EXPECT_EQ(in_child([error] {
              if (!refuse_memory_objects(error)) return false;
              CodePages refused;
              if (CodePages::create(4096, refused, CodeMemoryScheme::TwoViews) != error) return false;
              CodePages pages;
              if (CodePages::create(4096, pages) != 0 || pages.two_views()) return false;
              return automatic_code_memory_scheme() == CodeMemoryScheme::ProtectionSwitching &&
                     permissions_of(pages.executable()) == "r-xp";
            }),
            0);
}

INSTANTIATE_TEST_SUITE_P(CodePages, CodePagesRefused, testing::Values(EPERM, ENOSYS),
                         [](const testing::TestParamInfo<int>& refusal) {
                           return std::string(refusal.param == EPERM ? "ByPolicy" : "ByAnOldKernel");
                         });

}  // namespace
}  // namespace quorvel::platform

#endif  // _WIN32
