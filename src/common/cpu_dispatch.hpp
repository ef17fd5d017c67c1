// The one place that knows which vector instructions this machine runs.
// A kernel with wide forms is built once per level it gains from (each form
// compiled with that level's target attribute) and registered in a
// KernelForms; callers take best() for speed or at(level) to compare the
// forms. Every form of a kernel gives bit-identical results, and one generic
// test runs every supported form of every kernel against its baseline.
#pragma once

#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VICINOR_CPU_X86 1
#endif

namespace vicinor::cpu {

// Narrowest first. kAvx512 means F, VL, DQ and BW together (every AVX-512
// processor for servers and desktops has all four); a form built for a
// level may use any of its features, and no others.
enum class Level : std::uint8_t { kBaseline, kAvx2, kAvx512 };

inline constexpr Level kAllLevels[] = {Level::kBaseline, Level::kAvx2, Level::kAvx512};

const char* level_name(Level level) noexcept;

// Whether the processor and the OS run code built for `level`; detected once
// per process. kBaseline is always supported.
bool supports(Level level) noexcept;

// The widest supported level.
Level widest_supported() noexcept;

// The forms of one kernel: a baseline that runs everywhere, and wider forms
// where this build has them (nullptr where it does not, as off x86).
template <class Function>
class KernelForms {
public:
    constexpr explicit KernelForms(Function* baseline, Function* avx2 = nullptr,
                                   Function* avx512 = nullptr) noexcept
        : forms_{baseline, avx2, avx512} {}

    // The form for `level` when the build has it and the machine runs it;
    // otherwise the widest narrower one that qualifies. Never a form the
    // processor cannot execute.
    Function* at(Level level) const noexcept {
        for (int i = static_cast<int>(level); i > 0; --i) {
            Function* form = forms_[i];
            if (form != nullptr && supports(static_cast<Level>(i))) return form;
        }
        return forms_[0];
    }

    // The widest form this machine runs: what callers use.
    Function* best() const noexcept { return at(widest_supported()); }

    // Whether at(level) gives a form of its own (built and supported).
    bool runs(Level level) const noexcept {
        return level == Level::kBaseline ||
               (forms_[static_cast<int>(level)] != nullptr && supports(level));
    }

private:
    Function* forms_[3];
};

}  // namespace vicinor::cpu
