// Every intrinsic against the Fortran run-time library on many inputs, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "numeric/f2c_intrinsics.h"

extern "C" {
struct f2c_complex { float r, i; };
double d_sign(double *, double *);
double pow_ri(float *, int32_t *);
int32_t pow_ii(int32_t *, int32_t *);
double pow_dd(double *, double *);
double r_int(float *);
double r_imag(f2c_complex *);
void r_cnjg(f2c_complex *, f2c_complex *);
double c_abs(f2c_complex *);
void c_div(f2c_complex *, f2c_complex *, f2c_complex *);
// The run-time library's own main() calls this; never used here.
int MAIN__() { return 0; }
}

namespace num = mosslib::numeric;

namespace {

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }
bool same(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

std::vector<double> interesting_doubles() {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> v = {0.0, -0.0, 1.0, -1.0, 3.0, -3.0, 0.5, -2.5, 1e-300, -1e-300, 1e300, -1e300,
                             inf, -inf, std::numeric_limits<double>::denorm_min(), 4.9e-324};
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> mant(-1.0, 1.0);
    std::uniform_int_distribution<int> expo(-60, 60);
    for (int k = 0; k < 400; ++k) v.push_back(std::ldexp(mant(rng), expo(rng)));
    return v;
}

std::vector<float> interesting_floats() {
    std::vector<float> v;
    for (double d : interesting_doubles()) v.push_back(static_cast<float>(d));
    for (float f : {0.999999f, 1.000001f, 2.5f, -2.5f, 7.0f, -7.0f, 1e-45f, 3.4e38f}) v.push_back(f);
    return v;
}

}  // namespace

TEST(F2cIntrinsics, DSignMatchesRuntimeIncludingSignedZero) {
    EXPECT_EQ(num::d_sign(3, -0.0), 3);
    EXPECT_EQ(num::d_sign(-3, -1), -3);
    const auto v = interesting_doubles();
    for (double a : v)
        for (std::size_t j = 0; j < v.size(); j += 7) {
            double aa = a, bb = v[j];
            ASSERT_TRUE(same(num::d_sign(a, v[j]), d_sign(&aa, &bb))) << a << " " << v[j];
        }
}

TEST(F2cIntrinsics, PowRiMatchesRuntime) {
    EXPECT_EQ(num::pow_ri(0.0f, 0), 1.0);
    EXPECT_EQ(num::pow_ri(2.0f, -2), 0.25);
    for (float x : interesting_floats())
        for (int32_t n = -40; n <= 40; ++n) {
            float xx = x;
            int32_t nn = n;
            ASSERT_TRUE(same(num::pow_ri(x, n), pow_ri(&xx, &nn))) << x << "^" << n;
        }
}

TEST(F2cIntrinsics, PowIiMatchesRuntime) {
    EXPECT_EQ(num::pow_ii(2, -1), 0);
    EXPECT_EQ(num::pow_ii(-1, -3), -1);
    EXPECT_EQ(num::pow_ii(-1, -4), 1);
    EXPECT_EQ(num::pow_ii(1, -7), 1);
    EXPECT_EQ(num::pow_ii(0, 0), 1);
    EXPECT_EQ(num::pow_ii(0, -2), 0);  // undefined in the run time (it divides by zero)
    for (int32_t x = -20; x <= 20; ++x) {
        if (x == 0) continue;
        for (int32_t n = -10; n <= 40; ++n) {  // includes wrap-around for large powers
            int32_t xx = x, nn = n;
            ASSERT_EQ(num::pow_ii(x, n), pow_ii(&xx, &nn)) << x << "^" << n;
        }
    }
}

TEST(F2cIntrinsics, PowDdMatchesRuntime) {
    const auto v = interesting_doubles();
    for (std::size_t i = 0; i < v.size(); i += 3)
        for (double y : {0.0, 1.0, -1.0, 0.5, 2.0, 3.7, -2.25, 10.0}) {
            double xx = v[i], yy = y;
            ASSERT_TRUE(same(num::pow_dd(v[i], y), pow_dd(&xx, &yy))) << v[i] << "^" << y;
        }
}

TEST(F2cIntrinsics, RIntTruncatesTowardZero) {
    EXPECT_EQ(num::r_int(2.7f), 2.0);
    EXPECT_EQ(num::r_int(-2.7f), -2.0);
    for (float x : interesting_floats()) {
        float xx = x;
        ASSERT_TRUE(same(num::r_int(x), r_int(&xx))) << x;
    }
}

TEST(F2cIntrinsics, ComplexPartsConjugateAndModulus) {
    const auto f = interesting_floats();
    for (std::size_t i = 0; i < f.size(); ++i) {
        const float re = f[i], im = f[(i * 31 + 7) % f.size()];
        f2c_complex z{re, im};
        const num::complex_f zz{re, im};
        ASSERT_TRUE(same(num::r_imag(zz), r_imag(&z)));
        f2c_complex c{};
        r_cnjg(&c, &z);
        const num::complex_f cc = num::r_cnjg(zz);
        ASSERT_TRUE(same(cc.r, c.r) && same(cc.i, c.i));
        ASSERT_TRUE(same(num::c_abs(zz), c_abs(&z))) << re << " " << im;
    }
}

TEST(F2cIntrinsics, CDivMatchesRuntimeBitForBit) {
    std::mt19937 rng(777);
    std::uniform_real_distribution<float> u(-10.0f, 10.0f);
    std::vector<num::complex_f> values = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}, {3, 4}, {1e-20f, 1e20f}, {2, 2}, {-2, 2}};
    for (int k = 0; k < 300; ++k) values.push_back({u(rng), u(rng)});
    for (const auto &a : values)
        for (const auto &b : values) {
            f2c_complex fa{a.r, a.i}, fb{b.r, b.i}, fc{};
            c_div(&fc, &fa, &fb);
            const num::complex_f q = num::c_div(a, b);
            ASSERT_TRUE(same(q.r, fc.r) && same(q.i, fc.i)) << a.r << "," << a.i << " / " << b.r << "," << b.i;
        }
}

TEST(F2cIntrinsics, CDivByZeroGivesNonFiniteInsteadOfEndingTheProcess) {
    const num::complex_f q = num::c_div({1.0f, 2.0f}, {0.0f, -0.0f});
    EXPECT_TRUE(std::isinf(q.r) && std::isinf(q.i));
    const num::complex_f z = num::c_div({0.0f, 0.0f}, {0.0f, 0.0f});
    EXPECT_TRUE(std::isnan(z.r) && std::isnan(z.i));
}
