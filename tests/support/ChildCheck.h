#pragma once
// A check inside a forked child (vt::runInChild), where a gtest failure would
// be lost: it prints the condition and ends the body with status 1.
#include <cstdio>

#define VT_CHILD_CHECK(condition)                                                     \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::fprintf(stderr, "line %d: check failed: %s\n", __LINE__, #condition); \
            return 1;                                                                 \
        }                                                                             \
    } while (0)
