// An invariant that must hold on every input: a failure aborts, so libFuzzer keeps the input as a
// crash reproducer even where the sanitizers see nothing wrong.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                   \
  do {                                                                                     \
    if (!(cond)) {                                                                         \
      std::fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)
