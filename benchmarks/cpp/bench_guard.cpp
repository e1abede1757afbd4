// What running kept code costs below Python, against the floor of getting
// fresh executable memory for it: the run guard with and without its
// per-run checks, rewriting the register loads, and a new generation.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#endif

#include "codegen/kept_code.hpp"
#include "platform/mapping.hpp"
#include "runtime/code_stack.hpp"
#include "runtime/guarded_run.hpp"

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

void row(const char* label, double ns) { std::printf("%-58s %10.0f ns\n", label, ns); }

// A counted loop stepped under the guard: what a traced step costs.
double traced_ns_per_step(const quorvel::runtime::CodeStack& stack) {
  using namespace quorvel;
  codegen::KeptCode loop;
  if (!loop.update("mov rcx, 20000\nl:\ndec rcx\njne l", 1, {}).ok()) return 0;
  // Every instruction of the body ends a step.
  std::vector<std::uint8_t> marks(loop.length(), 0);
  for (std::size_t offset : {143u, 153u, 156u}) marks[offset] = runtime::kStepPoint;
  std::vector<runtime::StepRecord> records(40001);
  runtime::MachineState state = runtime::initial_state(loop.entry(), stack);
  runtime::Resumption resumption;
  resumption.state = &state;
  resumption.stack = &stack;
  resumption.code = loop.entry();
  resumption.length = loop.length();
  resumption.marks = marks.data();
  resumption.exit_offset = loop.length() - 14;
  resumption.stepping = true;
  resumption.step_budget = records.size();
  resumption.records = records.data();
  auto start = std::chrono::steady_clock::now();
  runtime::GuardedRun run({});
  run.resume(resumption);
  std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
  return resumption.steps_taken == 0 ? 0 : elapsed.count() / static_cast<double>(resumption.steps_taken);
}

#ifndef _WIN32
volatile long trap_count = 0;
void count_trap(int, siginfo_t*, void*) { trap_count = trap_count + 1; }

// The processor's single-step trap on this machine, delivered as a signal:
// a virtual machine may make it far dearer than other signals.
double trap_flag_floor_ns() {
  struct sigaction action {};
  struct sigaction saved {};
  action.sa_sigaction = count_trap;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGTRAP, &action, &saved);
  trap_count = 0;
  auto start = std::chrono::steady_clock::now();
  asm volatile(
      "pushfq; orq $0x100, (%%rsp); popfq\n"
      "movq $20000, %%rcx\n"
      "1: decq %%rcx\n"
      "jnz 1b\n"
      "pushfq; andq $~0x100, (%%rsp); popfq\n" ::: "rcx", "cc", "memory");
  std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
  sigaction(SIGTRAP, &saved, nullptr);
  return elapsed.count() / static_cast<double>(trap_count);
}
#endif

}  // namespace

int main() {
  using namespace quorvel;
  registers::RegisterFile registers;
  codegen::KeptCode code;
  auto stack = runtime::CodeStack::create();
  if (!code.update("add rax, 1", 1, registers).ok() || !stack) {
    std::fprintf(stderr, "setup failed\n");
    return 1;
  }
  volatile std::uint64_t sink = 0;
  auto guarded = [&](runtime::GuardNeeds needs) {
    runtime::GuardedRun run(needs);
    sink = run.run(code.entry(), code.length(), stack.value()).rax;
  };
  // The floor: fresh pages for the code, written, made executable, called, released.
  const std::uint8_t* function = code.entry();
  const std::size_t length = code.length();
  const double floor = best_ns_per_call([&] {
    platform::Mapping page;
    platform::Mapping::create(4096, platform::Protection::ReadWrite, page);
    std::memcpy(page.data(), function, length);
    page.protect(platform::Protection::ReadExecute);
    const std::uint8_t* address = page.data();
    // The function keeps only what the System V convention preserves; on
    // Windows the compiler then saves rsi, rdi and xmm6-xmm15 around the call.
    std::uint64_t (__attribute__((sysv_abi)) * entry)();
    std::memcpy(&entry, &address, sizeof entry);
    sink = entry();
  });
  row("run, no checks (code that cannot fault or loop)", best_ns_per_call([&] { guarded({false, false, false, false}); }));
  row("run, checks for a loop (interrupt signals)", best_ns_per_call([&] { guarded({false, false, false, true}); }));
  row("run, checks for a division", best_ns_per_call([&] { guarded({true, false, false, false}); }));
  row("run, every check", best_ns_per_call([&] { guarded({}); }));
  std::uint64_t value = 0;
  row("rewrite the register loads", best_ns_per_call([&] {
        registers.x86[registers::kRbx] = ++value;
        sink = code.update("add rax, 1", 1, registers).ok();
      }));
  std::uint64_t version = 1;
  row("generate and commit a new version of the text",
      best_ns_per_call([&] { sink = code.update("add rax, 1", ++version, registers).ok(); }, 5000));
  row("floor: map, copy, protect, call, unmap", floor);
  row("single-stepped run, per step", traced_ns_per_step(stack.value()));
#ifndef _WIN32
  row("floor: one trap-flag trap (signal and return)", trap_flag_floor_ns());
#endif
  return static_cast<int>(sink & 0);
}
