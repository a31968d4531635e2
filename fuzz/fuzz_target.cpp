// One libFuzzer target of FuzzHarness.h, chosen at build time by name.
#include <cstdio>
#include <cstdlib>

#include "FuzzHarness.h"

#ifndef VANTOR_FUZZ_TARGET
#error "VANTOR_FUZZ_TARGET names the target to build"
#endif

namespace {

const vantor_fuzz::Target& Selected() {
    static const vantor_fuzz::Target* target = [] {
        const vantor_fuzz::Target* found = vantor_fuzz::FindTarget(VANTOR_FUZZ_TARGET);
        if (found == nullptr) {
            std::fprintf(stderr, "unknown fuzz target %s\n", VANTOR_FUZZ_TARGET);
            std::exit(2);
        }
        return found;
    }();
    return *target;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Selected().run(data, size);
    return 0;
}
