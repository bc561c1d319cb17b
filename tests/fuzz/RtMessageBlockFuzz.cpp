// libFuzzer target: the input bytes choose the operations of the message
// block interpreter; any mismatch with the model aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "RtMessageBlockOps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    size_t pos = 0;
    auto next = [&](unsigned long aBound) -> unsigned long {
        unsigned long v = 0;
        for (unsigned long range = 1; range < aBound && pos < aSize; range <<= 8)
            v = (v << 8) | aData[pos++];
        return v % aBound;
    };
    rttest::MessageBlockOps ops(next);
    while (pos < aSize) {
        std::string err = ops.Step();
        if (!err.empty()) {
            fprintf(stderr, "%s\n", err.c_str());
            abort();
        }
    }
    return 0;
}
