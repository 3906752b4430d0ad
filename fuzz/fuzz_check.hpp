#pragma once

#include <cstdlib>

// A promise of the code under fuzzing: when it breaks, the run stops and libFuzzer keeps the
// input that broke it.
inline void check(bool condition) {
  if (!condition) std::abort();
}
