// The instruction sets a kernel may pick at run time. The build targets baseline x86-64, so
// faster variants are compiled per function (NORVALE_TARGET_AVX2, NORVALE_TARGET_AVX512) and only
// called once the processor is known to have them; the portable variant runs everywhere.
#pragma once

namespace norvale::kernels {

// In order of preference: a processor that runs a variant runs the ones before it too.
enum class Isa { portable, avx2, avx512 };

#if defined(__x86_64__) && defined(__GNUC__)
#define NORVALE_HAVE_AVX2_VARIANTS 1
#define NORVALE_HAVE_AVX512_VARIANTS 1
#define NORVALE_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt,lzcnt")))
// AVX-512 with byte and word lanes, 64-bit multiplies and 128- to 512-bit registers (what every
// AVX-512 processor since 2017 has), and the AVX2 variant's scalar sets.
#define NORVALE_TARGET_AVX512 \
    __attribute__((target("avx2,bmi,bmi2,popcnt,lzcnt,avx512f,avx512bw,avx512dq,avx512vl")))
#endif

// Whether this processor (and its operating system, which must save the vector registers) can
// run the variant. (GCC's checks of AVX and AVX-512 include the operating system's.)
inline bool isa_available(Isa isa) noexcept {
    switch (isa) {
        case Isa::portable: return true;
        case Isa::avx2:
#if defined(NORVALE_HAVE_AVX2_VARIANTS)
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
                   __builtin_cpu_supports("popcnt");
#else
            return false;
#endif
        case Isa::avx512:
#if defined(NORVALE_HAVE_AVX512_VARIANTS)
            return isa_available(Isa::avx2) && __builtin_cpu_supports("avx512f") &&
                   __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl");
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
    static const Isa best = isa_available(Isa::avx512) ? Isa::avx512
                            : isa_available(Isa::avx2) ? Isa::avx2
                                                       : Isa::portable;
    return best;
}

}  // namespace norvale::kernels
