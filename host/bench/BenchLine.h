#pragma once

#include <cstdio>

// One figure of a benchmark, in the line format that scripts/bench-all.sh collects into its
// table:
//
//   BENCH <name> <value> <unit> [<note>]
//
// name: no spaces, words joined by dots and underscores (app.frame.p50); value: a decimal
// number; unit: no spaces (us, ms, %, bytes, MB/s); note: the rest of the line, free text that
// says what was measured. Other lines of a benchmark's output are shown as they are.
namespace quorvane::bench {

inline void benchLine(const char* name, double value, const char* unit, const char* note = "") {
  std::printf("BENCH %s %.3f %s%s%s\n", name, value, unit, *note ? " " : "", note);
  std::fflush(stdout);
}

}  // namespace quorvane::bench
