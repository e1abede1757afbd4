#include "platform/mapping.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace quorvel::platform {
namespace {

int to_prot(Protection protection) {
  switch (protection) {
    case Protection::None: return PROT_NONE;
    case Protection::ReadOnly: return PROT_READ;
    case Protection::ReadWrite: return PROT_READ | PROT_WRITE;
    case Protection::ReadExecute: return PROT_READ | PROT_EXEC;
  }
  return PROT_NONE;
}

}  // namespace

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

void Mapping::release() noexcept {
  if (data_ != nullptr) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

int Mapping::create(std::size_t size, Protection protection, Mapping& out) {
  void* address = mmap(nullptr, size, to_prot(protection), MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (address == MAP_FAILED) return errno;
  out = Mapping();
  out.data_ = static_cast<std::uint8_t*>(address);
  out.size_ = size;
  return 0;
}

int Mapping::reserve(std::size_t size, Mapping& out) {
  void* address = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (address == MAP_FAILED) return errno;
  out = Mapping();
  out.data_ = static_cast<std::uint8_t*>(address);
  out.size_ = size;
  return 0;
}

int Mapping::protect_range(std::size_t offset, std::size_t size, Protection protection) {
  if (mprotect(data_ + offset, size, to_prot(protection)) != 0) return errno;
  return 0;
}

void Mapping::discard(std::size_t offset, std::size_t size) {
  const std::size_t page = page_size();
  std::size_t first = (offset + page - 1) / page * page;
  std::size_t last = (offset + size) / page * page;
  if (first >= last) {
    std::memset(data_ + offset, 0, size);
    return;
  }
  std::memset(data_ + offset, 0, first - offset);
  if (madvise(data_ + first, last - first, MADV_DONTNEED) != 0) std::memset(data_ + first, 0, last - first);
  std::memset(data_ + last, 0, offset + size - last);
}

bool move_pages(std::uint8_t* from, std::uint8_t* to, std::size_t size) {
  return mremap(from, size, size, MREMAP_MAYMOVE | MREMAP_FIXED | MREMAP_DONTUNMAP, to) != MAP_FAILED;
}

}  // namespace quorvel::platform
