#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property is a finding: abort so that the fuzzer (or the corpus
// replay) stops on the input and keeps it.
#define FUZZ_CHECK(condition)                                                        \
    do {                                                                             \
        if (!(condition)) {                                                          \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, \
                         #condition);                                                \
            std::abort();                                                            \
        }                                                                            \
    } while (false)
