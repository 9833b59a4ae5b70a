// What the processor offers beyond baseline x86-64, asked once; kernels with a variant for an
// instruction set choose it at run time, so the built modules run on any x86-64.
#pragma once

namespace norvale::kernels {

#if defined(__x86_64__) && defined(__GNUC__)
inline bool cpu_has_bmi() noexcept {
    static const bool has = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    return has;
}
#else
inline bool cpu_has_bmi() noexcept { return false; }
#endif

}  // namespace norvale::kernels
