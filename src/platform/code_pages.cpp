#include "platform/code_pages.hpp"

#include <atomic>
#include <utility>

#include "platform/code_pages_system.hpp"

namespace quorvel::platform {
namespace {

std::atomic<bool> two_views_refused{false};

}  // namespace

CodeMemoryScheme automatic_code_memory_scheme() {
  return two_views_refused.load(std::memory_order_relaxed) ? CodeMemoryScheme::ProtectionSwitching
                                                           : CodeMemoryScheme::TwoViews;
}

CodePages::CodePages(CodePages&& other) noexcept
    : write_view_(std::exchange(other.write_view_, nullptr)),
      run_view_(std::exchange(other.run_view_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      process_generation_(other.process_generation_) {}

CodePages& CodePages::operator=(CodePages&& other) noexcept {
  if (this != &other) {
    release();
    write_view_ = std::exchange(other.write_view_, nullptr);
    run_view_ = std::exchange(other.run_view_, nullptr);
    size_ = std::exchange(other.size_, 0);
    process_generation_ = other.process_generation_;
  }
  return *this;
}

CodePages::~CodePages() { release(); }

bool CodePages::lost_in_fork() const {
  return two_views() && process_generation_ != code_pages_system::process_generation();
}

int CodePages::create(std::size_t size, CodePages& out, CodeMemoryScheme scheme) {
  const bool may_fall_back = scheme == CodeMemoryScheme::Automatic;
  if (may_fall_back) scheme = automatic_code_memory_scheme();
  CodePages pages;
  pages.process_generation_ = code_pages_system::process_generation();
  if (scheme == CodeMemoryScheme::TwoViews) {
    const int error = code_pages_system::map_two_views(size, pages.write_view_, pages.run_view_);
    if (error == 0) {
      pages.size_ = size;
      out = std::move(pages);
      return 0;
    }
    if (!may_fall_back || !code_pages_system::refuses_two_views(error)) return error;
    two_views_refused.store(true, std::memory_order_relaxed);
  }
  if (const int error = code_pages_system::map_switching(size, pages.run_view_); error != 0) return error;
  pages.write_view_ = pages.run_view_;
  pages.size_ = size;
  out = std::move(pages);
  return 0;
}

}  // namespace quorvel::platform
