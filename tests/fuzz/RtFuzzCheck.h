// A fuzz target's own invariant: a broken one aborts, so libFuzzer keeps
// the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace rtfuzz {

inline void Check(bool aCondition, const char* aWhat) {
    if (!aCondition) {
        fprintf(stderr, "broken: %s\n", aWhat);
        abort();
    }
}

}  // namespace rtfuzz
