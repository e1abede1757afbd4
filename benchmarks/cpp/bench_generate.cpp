// Time to turn a 100,000-instruction program into executable code, parse
// included. Prints the best of several rounds, per instruction, measured as
// this thread's CPU time (user and system, so page faults and the mapping
// calls count) so that other load on the machine does not inflate it.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "codegen/program.hpp"
#include "frontend/parser.hpp"
#include "registers/register_file.hpp"

namespace {

constexpr int kInstructions = 100000;
constexpr int kRounds = 15;

// A mix of every encoder shape; each block of ten lines defines one label
// and jumps back to the previous block's label.
std::string make_program() {
  static constexpr std::string_view kLines[] = {
      "mov rax, 12345",  "add rbx, 7",  "sub rax, rcx", "xor rdx, rdx", "imul rax, r8",
      "shl r9, 3",       "inc r15",     "push rax",     "pop rbx",      "cmp rax, 100",
  };
  std::string text;
  text.reserve(static_cast<std::size_t>(kInstructions) * 16);
  int emitted = 0;
  for (int block = 0; emitted < kInstructions; ++block) {
    text.append("L").append(std::to_string(block)).append(":\n");
    for (std::string_view line : kLines) {
      if (emitted == kInstructions) break;
      text += line;
      text += '\n';
      ++emitted;
    }
    if (block > 0 && emitted < kInstructions) {
      text.append("jne L").append(std::to_string(block - 1)).append("\n");
      ++emitted;
    }
  }
  return text;
}

// Windows counts thread CPU time in scheduler ticks (Wine in 10 ms steps),
// coarser than one round: there the wall clock it is.
double thread_cpu_ns() {
#ifdef _WIN32
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch()).count();
#else
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
#endif
}

template <class Body>
double best_ns_per_instruction(Body body) {
  double best = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    const double start = thread_cpu_ns();
    body();
    best = std::min(best, (thread_cpu_ns() - start) / kInstructions);
  }
  return best;
}

}  // namespace

int main() {
  using namespace quorvel;
  const std::string program = make_program();
  bool ok = true;

  const double parse = best_ns_per_instruction([&] { ok = frontend::parse_program(program).ok() && ok; });
  const double generate = best_ns_per_instruction([&] { ok = codegen::generate_code(program).ok() && ok; });
  if (!ok) {
    std::fprintf(stderr, "the benchmark program failed to generate\n");
    return 1;
  }
  std::printf("generate  %.1f ns/instruction\n", generate);
  std::printf("  of which parse  %.1f ns/instruction\n", parse);
  return 0;
}
