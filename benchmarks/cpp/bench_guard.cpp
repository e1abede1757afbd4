// The cost the run guard adds to one execute(), against the floor of
// obtaining executable memory at all.

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>

#include "codegen/generate.hpp"
#include "codegen/guarded_run.hpp"

namespace {

template <class F>
double best_ns_per_call(F&& call, int calls = 20000, int rounds = 7) {
  double best = 1e30;
  for (int round = 0; round < rounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) call();
    std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count() / calls);
  }
  return best;
}

}  // namespace

int main() {
  using namespace quorvel;
  registers::RegisterFile registers;
  auto code = codegen::generate("", registers);
  auto stack = codegen::CodeStack::create();
  if (!code || !stack) {
    std::fprintf(stderr, "setup failed\n");
    return 1;
  }
  volatile std::uint64_t sink = 0;
  double plain = best_ns_per_call([&] { sink = codegen::run(code.value()); });
  double guarded = best_ns_per_call([&] { sink = codegen::run_guarded(code.value(), stack.value()).rax; });
  double floor = best_ns_per_call([] {
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    mprotect(page, 4096, PROT_READ | PROT_EXEC);
    munmap(page, 4096);
  });
  double generate = best_ns_per_call([&] { auto again = codegen::generate("", registers); }, 5000);
  // What execute() does: generate into the spare mapping, keep the result,
  // keep the previous mapping as the next spare, run.
  platform::Mapping spare;
  std::optional<codegen::ExecutableBuffer> kept;
  double execute = best_ns_per_call([&] {
    auto fresh = codegen::generate("", registers, &spare);
    if (kept) spare = std::move(*kept).release();
    kept.emplace(std::move(fresh).value());
    sink = codegen::run_guarded(*kept, stack.value()).rax;
  }, 5000);
  double claim = best_ns_per_call([] { codegen::claim_interrupt_signal(SIGINT); });
  std::printf("%-44s %10.0f ns\n", "run empty program, plain call", plain);
  std::printf("%-44s %10.0f ns\n", "run empty program, guarded", guarded);
  std::printf("%-44s %10.0f ns\n", "guard cost per execute()", guarded - plain);
  std::printf("%-44s %10.0f ns\n", "claim SIGINT before a run (one sigaction)", claim);
  std::printf("%-44s %10.0f ns\n", "generate empty program into a fresh mapping", generate);
  std::printf("%-44s %10.0f ns\n", "execute() path: generate into spare, keep, run", execute);
  std::printf("%-44s %10.0f ns\n", "floor: mmap + mprotect + munmap", floor);
  return static_cast<int>(sink & 0);
}
