#include "common/cpu_dispatch.hpp"

namespace vicinor::cpu {
namespace {

struct Detected {
    bool avx2 = false;
    bool avx512 = false;
};

Detected detect() noexcept {
    Detected found;
#ifdef VICINOR_CPU_X86
    // Needed when this runs before the runtime's own probe, e.g. from a
    // static initialiser. The probe also checks that the OS saves the wide
    // registers.
    __builtin_cpu_init();
    found.avx2 = __builtin_cpu_supports("avx2");
    found.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
#endif
    return found;
}

const Detected& detected() noexcept {
    static const Detected once = detect();
    return once;
}

}  // namespace

const char* level_name(Level level) noexcept {
    switch (level) {
        case Level::kBaseline:
            return "baseline";
        case Level::kAvx2:
            return "avx2";
        case Level::kAvx512:
            return "avx512";
    }
    return "unknown";
}

bool supports(Level level) noexcept {
    switch (level) {
        case Level::kBaseline:
            return true;
        case Level::kAvx2:
            return detected().avx2;
        case Level::kAvx512:
            return detected().avx512;
    }
    return false;
}

Level widest_supported() noexcept {
    static const Level widest = supports(Level::kAvx512) ? Level::kAvx512
                                : supports(Level::kAvx2) ? Level::kAvx2
                                                         : Level::kBaseline;
    return widest;
}

}  // namespace vicinor::cpu
