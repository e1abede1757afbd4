// Parse throughput on a 100,000-statement program of ordinary code: moves,
// arithmetic, compares, branches, labels, comments and blank lines.
// Prints the best of several runs, in nanoseconds per statement.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "frontend/parser.hpp"

namespace {

constexpr int kStatements = 100'000;
constexpr int kRuns = 25;

const char* const kRegisters[] = {"rax", "rbx", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r12"};

std::string build_program() {
  std::string text;
  text.reserve(static_cast<std::size_t>(kStatements) * 20);
  text += "; generated benchmark program\n.text\n.global main\nmain:\n";
  int kept = 3;
  for (int i = 0; kept < kStatements - 2; ++i) {
    const std::string a = kRegisters[i % 10];
    const std::string b = kRegisters[(i * 7 + 3) % 10];
    const std::string label = std::string("L").append(std::to_string(i / 8));
    switch (i % 16) {
      case 0: text += label + ":\n"; break;
      case 1: text += "    mov " + a + ", " + std::to_string(i) + "\n"; break;
      case 2: text += "    mov " + a + ", " + b + "\n"; break;
      case 3: text += "    add " + a + ", " + std::to_string(i % 100) + "  ; bump\n"; break;
      case 4: text += "    add " + a + ", " + b + "\n"; break;
      case 5: text += "    cmp " + a + ", " + std::to_string(i % 1000) + "\n"; break;
      case 6: text += "    jne " + label + "\n"; break;
      case 7: text += "\n    ; a comment line\n    sub " + a + ", 1\n"; break;
      case 8: text += "    xor " + a + ", " + a + "\n"; break;
      case 9: text += "    MOV " + a + ", 0x" + std::to_string(i) + "\n"; break;
      case 10: text += "    shl " + a + ", 3\n"; break;
      case 11: text += "    inc " + a + " ;; dec " + b + "\n"; ++kept; break;
      case 12: text += "    push " + a + "\n"; break;
      case 13: text += "    pop " + a + "\n"; break;
      case 14: text += "    test " + a + ", " + b + "\n"; break;
      default: text += "    jmp " + label + "\n"; break;
    }
    ++kept;
  }
  for (; kept < kStatements - 1; ++kept) text += "    nop\n";
  text += "    ret\n";
  return text;
}

}  // namespace

int main() {
  const std::string program = build_program();
  const std::size_t statements = quorvel::frontend::split_statements(program).size();
  double best = 1e300;
  std::size_t records = 0;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const auto result = quorvel::frontend::parse_program(program);
    const auto stop = std::chrono::steady_clock::now();
    if (!result.ok()) {
      std::fprintf(stderr, "parse failed: %s\n", result.error().message.c_str());
      return EXIT_FAILURE;
    }
    records = result.value().size();
    best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
  }
  std::fprintf(stderr, "%zu statements, %zu records, %zu bytes, best of %d runs\n", statements, records,
               program.size(), kRuns);
  std::printf("parse_program  %.1f ns/statement\n", best / static_cast<double>(statements));
  return EXIT_SUCCESS;
}
