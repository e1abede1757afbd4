#include "platform/code_pages.hpp"

#include <atomic>
#include <utility>

namespace quorvel::platform {
namespace {

std::atomic<bool> two_views_refused{false};

}  // namespace

CodeMemoryScheme automatic_code_memory_scheme() {
  return two_views_refused.load(std::memory_order_relaxed) ? CodeMemoryScheme::ProtectionSwitching
                                                           : CodeMemoryScheme::TwoViews;
}

void remember_two_views_refused() { two_views_refused.store(true, std::memory_order_relaxed); }

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

}  // namespace quorvel::platform
