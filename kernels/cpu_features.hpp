// The instruction sets a kernel may pick at run time. The build targets baseline x86-64, so
// faster variants are compiled per function (NORVALE_TARGET_AVX2) and only called once the
// processor is known to have them; the portable variant runs everywhere.
#pragma once

namespace norvale::kernels {

enum class Isa { portable, avx2 };

#if defined(__x86_64__) && defined(__GNUC__)
#define NORVALE_HAVE_AVX2_VARIANTS 1
#define NORVALE_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt,lzcnt")))
#endif

// Whether this processor (and its operating system, which must save the vector registers) can
// run the variant.
inline bool isa_available(Isa isa) noexcept {
    switch (isa) {
        case Isa::portable: return true;
        case Isa::avx2:
#if defined(NORVALE_HAVE_AVX2_VARIANTS)
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
                   __builtin_cpu_supports("popcnt");
#else
            return false;
#endif
    }
    return false;
}

// BMI1 and BMI2, for the marking loop of the permutation check.
inline bool cpu_has_bmi() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool has = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    return has;
#else
    return false;
#endif
}

// The fastest variant this processor runs, found on first use and kept.
inline Isa best_isa() noexcept {
    static const Isa best = isa_available(Isa::avx2) ? Isa::avx2 : Isa::portable;
    return best;
}

}  // namespace norvale::kernels
