// What one single-step trap costs on this machine, with nothing of quorvel
// around it: the processor's debug exception, the kernel's SIGTRAP delivery
// to a handler that only counts, and the return from the handler. A traced
// statement pays this at least once; the lab's figures are read beside it.
//
// Needs nothing but the C++ library, so bench_lab.py compiles it on its own.

#include <chrono>
#include <cstdio>

#if defined(__linux__) && defined(__x86_64__)
#include <signal.h>
#include <ucontext.h>

namespace {

constexpr unsigned long kTrapFlag = 0x100;
constexpr long kTraps = 200000;

volatile long traps_left = 0;

// Counts down; at zero it clears the trap flag in the interrupted context,
// so the loop below runs on at full speed and ends.
void on_trap(int, siginfo_t*, void* context) {
  traps_left = traps_left - 1;
  if (traps_left <= 0) static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL] &= ~kTrapFlag;
}

double ns_per_trap() {
  traps_left = kTraps;
  const auto start = std::chrono::steady_clock::now();
  // Set TF, then spin until the handler has counted every trap and cleared it.
  asm volatile(
      "pushfq\n\t"
      "orq $0x100, (%%rsp)\n\t"
      "popfq\n\t"
      "1:\n\t"
      "cmpq $0, %0\n\t"
      "jg 1b\n\t"
      :
      : "m"(traps_left)
      : "cc", "memory");
  const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / kTraps;
}

}  // namespace

int main() {
  struct sigaction action {};
  action.sa_sigaction = on_trap;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTRAP, &action, nullptr);
  double best = 1e30;
  for (int round = 0; round < 5; ++round) {
    const double ns = ns_per_trap();
    if (ns < best) best = ns;
  }
  std::printf("%-52s %12.2f µs\n", "one single-step trap (SIGTRAP to a counting handler)", best / 1000);
  return 0;
}

#else

int main() {
  std::printf("one single-step trap: measured on Linux x86-64 only\n");
  return 0;
}

#endif
