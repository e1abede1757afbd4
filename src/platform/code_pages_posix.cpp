#include "platform/code_pages.hpp"
#include "platform/code_pages_system.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#if !defined(SYS_memfd_create) && defined(__x86_64__)
#define SYS_memfd_create 319  // kernel headers older than Linux 3.17
#endif
#ifndef MFD_CLOEXEC
#define MFD_CLOEXEC 0x0001U
#endif
#ifndef MFD_EXEC
#define MFD_EXEC 0x0010U  // Linux 6.3: ask for an executable object where memfd_noexec would seal it
#endif

namespace quorvel::platform {
namespace {

// Bumped in every child right after fork().
std::atomic<std::uint64_t> generation{1};

void count_fork_in_child() { generation.fetch_add(1, std::memory_order_relaxed); }

class UniqueDescriptor {
 public:
  explicit UniqueDescriptor(int fd) : fd_(fd) {}
  UniqueDescriptor(const UniqueDescriptor&) = delete;
  UniqueDescriptor& operator=(const UniqueDescriptor&) = delete;
  ~UniqueDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// The system call itself, not glibc's wrapper: the wrapper came with glibc
// 2.27, and the release module loads on glibc 2.17. A kernel without the
// call (before 3.17) answers ENOSYS, and the code pages switch protections
// instead.
int memfd_create_call(const char* name, unsigned flags) {
  return static_cast<int>(syscall(SYS_memfd_create, name, flags));
}

int create_memory_object() {
  int fd = memfd_create_call("quorvel-code", MFD_CLOEXEC | MFD_EXEC);
  // Kernels before 6.3 do not know MFD_EXEC; their memory objects are executable anyway.
  if (fd < 0 && errno == EINVAL) fd = memfd_create_call("quorvel-code", MFD_CLOEXEC);
  return fd;
}

}  // namespace

namespace code_pages_system {

// Two views of one shared memory object. The object itself is closed at
// once: the mappings keep it alive, and an engine must not hold a descriptor.
int map_two_views(std::size_t size, std::uint8_t*& write_view, std::uint8_t*& run_view) {
  UniqueDescriptor object(create_memory_object());
  if (object.get() < 0) return errno;
  if (ftruncate(object.get(), static_cast<off_t>(size)) != 0) return errno;
  void* writable = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, object.get(), 0);
  if (writable == MAP_FAILED) return errno;
  void* runnable = mmap(nullptr, size, PROT_READ | PROT_EXEC, MAP_SHARED, object.get(), 0);
  if (runnable == MAP_FAILED) {
    const int error = errno;
    munmap(writable, size);
    return error;
  }
  if (madvise(writable, size, MADV_DONTFORK) != 0 || madvise(runnable, size, MADV_DONTFORK) != 0) {
    const int error = errno;
    munmap(writable, size);
    munmap(runnable, size);
    return error;
  }
  write_view = static_cast<std::uint8_t*>(writable);
  run_view = static_cast<std::uint8_t*>(runnable);
  return 0;
}

int map_switching(std::size_t size, std::uint8_t*& view) {
  void* address = mmap(nullptr, size, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (address == MAP_FAILED) return errno;
  view = static_cast<std::uint8_t*>(address);
  return 0;
}

bool refuses_two_views(int error) {
  return error == EPERM || error == EACCES || error == EINVAL || error == ENOSYS;
}

std::uint64_t process_generation() {
  static const bool registered = pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
  (void)registered;
  return generation.load(std::memory_order_relaxed);
}

}  // namespace code_pages_system

void CodePages::release() noexcept {
  // In a child the views were never inherited and their addresses may
  // since belong to someone else: they are forgotten, not unmapped.
  if (run_view_ != nullptr && !lost_in_fork()) {
    munmap(run_view_, size_);
    if (two_views()) munmap(write_view_, size_);
  }
  write_view_ = run_view_ = nullptr;
  size_ = 0;
}

int CodePages::begin_write() {
  if (two_views()) return 0;
  return mprotect(run_view_, size_, PROT_READ | PROT_WRITE) == 0 ? 0 : errno;
}

int CodePages::end_write() {
  if (two_views()) return 0;
  return mprotect(run_view_, size_, PROT_READ | PROT_EXEC) == 0 ? 0 : errno;
}

}  // namespace quorvel::platform
