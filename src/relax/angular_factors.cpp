#include "relax/angular_factors.h"

#include <algorithm>
#include <array>

#include "relax/single_precision.h"

namespace mosslib::relax {

namespace {

using numeric::pow_ri;

// F(i) = i F(i - 1) in float, built once per process (thread-safe static init).
const std::array<float, 26> &factorials() {
    static const std::array<float, 26> table = [] {
        std::array<float, 26> f{};
        f[0] = 1.0f;
        for (int i = 1; i < 26; ++i) f[i] = static_cast<float>(i) * f[i - 1];
        return f;
    }();
    return table;
}

bool whole_and_non_negative(float a) { return numeric::r_int(a) == a && a >= 0.0f; }

}  // namespace

float clebsch_gordan(float j1, float j2, float j3, float m1, float m2, float m3) {
    const float a[9] = {j1 + j2 - j3, j3 + j1 - j2, j3 + j2 - j1, j1 - m1, j2 - m2,
                        j3 - m3,      j1 + m1,      j2 + m2,      j3 + m3};
    for (float x : a)
        if (!whole_and_non_negative(x)) return 0.0f;
    if (m1 + m2 != m3) return 0.0f;
    const float s = j1 + j2 + j3 + 1.0f;
    if (s > 20.0f) return 0.0f;

    const auto &f = factorials();
    int ia[9];
    for (int i = 0; i < 9; ++i) ia[i] = static_cast<int>(a[i]);
    const int is = static_cast<int>(s);
    const int b1 = static_cast<int>(j3 - j2 + m1);
    const int b2 = static_cast<int>(j3 - j1 - m2);
    const int k_lo = std::max({0, -b1, -b2});
    const int k_hi = std::min({ia[0], ia[3], ia[7]});
    float sum = 0.0f;
    for (int k = k_lo; k <= k_hi; ++k) {
        const float den = f[ia[0] - k] * f[ia[3] - k] * f[ia[7] - k] * f[b1 + k] * f[b2 + k] * f[k];
        sum = static_cast<float>(sum + pow_ri(-1.0f, k) / den);
    }
    float p = (2.0f * j3 + 1.0f) / f[is];
    for (int i = 0; i < 9; ++i) p = p * f[ia[i]];
    return static_cast<float>(dsqrt(p) * sum);
}

float wigner_3j(float j1, float j2, float j3, float m1, float m2, float m3) {
    const int k = static_cast<int>(std::fabs(j1 - j2 - m3) + 0.1f);
    return static_cast<float>(pow_ri(-1.0f, k) / dsqrt(2.0f * j3 + 1.0f) *
                              clebsch_gordan(j1, j2, j3, m1, m2, -m3));
}

complex_f angular_factor(int i, int j, float cos_theta, float sin_theta, float cos_phi, float sin_phi,
                         float beam_angle) {
    const float cb = static_cast<float>(dcos(beam_angle));
    const float p_beam = 1.5f * sq(cb) - 0.5f;
    const float p_theta = 1.5f * sq(cos_theta) - 0.5f;
    const int mi = delta_m(i);
    const int mj = delta_m(j);
    if (std::abs(mi) >= 2 || std::abs(mj) >= 2) return {0.0f, 0.0f};

    auto line_3j = [](int t) {
        const float m_e = 1.5f - static_cast<float>(excited_index(t));
        const float m_g = 0.5f - static_cast<float>(ground_index(t));
        return wigner_3j(0.5f, 1.0f, 1.5f, m_g, static_cast<float>(delta_m(t)), -m_e);
    };
    const float ai = line_3j(i);
    const float aj = line_3j(j);
    const float f = static_cast<float>(3.0f * pow_ri(-1.0f, excited_index(i) + excited_index(j)) * ai * aj);

    const int delta = mi - mj;
    if (delta == 0) return {((1.5f * static_cast<float>(mi * mi) - 1.0f) * p_theta * p_beam + 1.0f) * f / 3.0f, 0.0f};

    const float x = wigner_3j(1.0f, 1.0f, 2.0f, static_cast<float>(mi), static_cast<float>(-mj),
                              static_cast<float>(-delta));
    const float g = static_cast<float>(-pow_ri(-1.0f, mi) * dsqrt(5.0f / 6.0f) * f);
    const float cos2phi = sq(cos_phi) - sq(sin_phi);
    if (delta == -2 || delta == 2) {
        const float v = static_cast<float>(x * g * (dsqrt(3.0f / 8.0f) * sq(sin_theta)) * p_beam);
        const float im = 2.0f * v * cos_phi * sin_phi;
        return {v * cos2phi, delta == -2 ? im : -im};
    }
    const float v = static_cast<float>(x * g * (dsqrt(3.0f / 2.0f) * cos_theta * sin_theta) * p_beam);
    if (delta == -1) return {-v * cos_phi, -v * sin_phi};
    return {v * cos_phi, -v * sin_phi};
}

void angular_factors(float cos_theta, float sin_theta, float cos_phi, float sin_phi, float beam_angle,
                     complex_f k[kNuclearLines * kNuclearLines]) {
    for (int j = 1; j <= kNuclearLines; ++j)
        for (int i = 1; i <= kNuclearLines; ++i)
            k[(i - 1) + kNuclearLines * (j - 1)] =
                angular_factor(i, j, cos_theta, sin_theta, cos_phi, sin_phi, beam_angle);
}

}  // namespace mosslib::relax
