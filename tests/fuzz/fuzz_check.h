#pragma once

#include <cstdio>
#include <cstdlib>

// A property of a parser that must hold for every input; a violation stops
// the fuzzer like a crash does, with the input kept as the artifact.
#define KESTO_FUZZ_CHECK(condition)                                                      \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)
