// The side-by-side decomposition: every lane must end with the bits, and the sweep
// count, that the plain kernel gives its matrix alone, whatever its neighbours do
// (other orders of convergence, early exits, non-finite elements, empty lanes), on
// AVX-512, AVX2 and baseline lanes; and parl over a grid, decomposed in batches,
// must sum what the orientations give one by one.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "common/vector_lanes.h"
#include "relax/complex_eigen/complex_eigen.h"
#include "relax/electronic_states.h"
#include "relax/nuclear_matrix.h"
#include "relax/relax_engine.h"
#include "relax/relaxation_coupling.h"

namespace mosslib::relax {
namespace {

constexpr int B = kDecompositionLanes;

// Kinds of matrix a lane may hold. `tiny`: elements near 1e-19, whose products straddle
// the smallest normal float, so that the updates meet subnormal products.
enum Kind { general, hermitian, signed_zeros, diagonal, zero, with_nan, with_inf, tiny, kKinds };

void fill(ParlMat &mat, int n, Kind kind, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-1, 1);
    std::uniform_int_distribution<int> pick(0, 9);
    for (int j = 0; j < kMaxDim; ++j)
        for (int i = 0; i < kMaxDim; ++i) {
            complex_f z = {u(gen), u(gen)};
            if (kind == signed_zeros && (pick(gen) < 6 || i % 3 != j % 3))
                z = {pick(gen) < 5 ? 0.0f : -0.0f, pick(gen) < 5 ? 0.0f : -0.0f};
            if ((kind == diagonal && i != j) || kind == zero) z = {0.0f, 0.0f};
            if (kind == tiny) z = {z.r * 3e-19f, z.i * 3e-19f};
            mat.trans_mat[at(i, j)] = z;
        }
    if (kind == hermitian)
        for (int j = 0; j < n; ++j) {
            mat.trans_mat[at(j, j)].i = 0.0f;
            for (int i = j + 1; i < n; ++i)
                mat.trans_mat[at(j, i)] = {mat.trans_mat[at(i, j)].r, -mat.trans_mat[at(i, j)].i};
        }
    if (kind == with_nan) mat.trans_mat[at(n / 2, n - 1)].i = NAN;
    if (kind == with_inf) mat.trans_mat[at(n - 1, 0)].r = INFINITY;
}

void expect_same_bits(int n, const ParlMat &a, const ParlMat &b, const char *what) {
    for (auto part : {&ParlMat::trans_mat, &ParlMat::eig_left, &ParlMat::eig_right})
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i)
                ASSERT_EQ(std::memcmp(&(a.*part)[at(i, j)], &(b.*part)[at(i, j)], sizeof(complex_f)), 0)
                    << what << ": element " << i << "," << j;
}

// Decomposes mats side by side on every lane width the processor has (AVX-512 masks with
// 512-bit or 256-bit updates, AVX2, baseline), with and without the double-precision route for products that may be
// subnormal, and each alone with the plain kernel.
void expect_lanes_match_plain(int n, const std::vector<ParlMat *> &mats, const char *what) {
    const int count = static_cast<int>(mats.size());
    auto scratch = std::make_unique<LaneScratch>();
    auto plain_scratch = std::make_unique<DecompositionScratch>();
    std::vector<std::unique_ptr<ParlMat>> plain;
    int want[B];
    for (int l = 0; l < count; ++l) {
        plain.push_back(std::make_unique<ParlMat>(*mats[l]));
        want[l] = eberlein_decompose_plain(n, *plain.back(), *plain_scratch);
    }
    struct Width {
        const char *name;
        bool avx2, avx512, full;
    };
    for (const Width w : {Width{"AVX-512 lanes, 512-bit updates", true, true, true},
                          Width{"AVX-512 lanes", true, true, false}, Width{"AVX2 lanes", true, false, false},
                          Width{"baseline lanes", false, false, false}})
      for (const auto route : {common::SubnormalRoute::avoid, common::SubnormalRoute::plain}) {
        std::vector<std::unique_ptr<ParlMat>> own;
        std::vector<ParlMat *> ptrs;
        for (int l = 0; l < count; ++l) {
            own.push_back(std::make_unique<ParlMat>(*mats[l]));
            ptrs.push_back(own.back().get());
        }
        int got[B];
        common::allow_avx2_lanes(w.avx2);
        common::allow_avx512_lanes(w.avx512);
        common::allow_avx512_full_width(w.full);
        common::choose_subnormal_route(route);
        eberlein_decompose_lanes(n, ptrs.data(), count, *scratch, got);
        common::allow_avx2_lanes(true);
        common::allow_avx512_lanes(true);
        common::allow_avx512_full_width(true);
        common::choose_subnormal_route(common::SubnormalRoute::processor);
        for (int l = 0; l < count; ++l) {
            SCOPED_TRACE(::testing::Message()
                         << what << ", n = " << n << ", lane " << l << " of " << count << ", " << w.name
                         << (route == common::SubnormalRoute::avoid ? ", double-precision products" : ""));
            EXPECT_EQ(got[l], want[l]);
            expect_same_bits(n, *own[l], *plain[l], w.name);
        }
      }
}

TEST(LaneKernel, EveryLaneMatchesThePlainKernelWhateverItsNeighbours) {
    for (int n : {1, 2, 3, 8, 17, 48})
        for (int count : {1, 3, B}) {
            std::vector<std::unique_ptr<ParlMat>> owned;
            std::vector<ParlMat *> mats;
            for (int l = 0; l < count; ++l) {
                owned.push_back(std::make_unique<ParlMat>());
                fill(*owned.back(), n, static_cast<Kind>((l + n) % kKinds), 100 * n + l);
                mats.push_back(owned.back().get());
            }
            expect_lanes_match_plain(n, mats, "mixed kinds");
        }
}

// At 0.05 mm/s and at 30 mm/s, where the converging elements' products fall below the
// smallest normal float.
TEST(LaneKernel, EngineMatricesOfEightOrientationsMatchThePlainKernel) {
  for (double rate : {0.05, 30.0}) {
    std::int32_t ib[5] = {0, 6, 256, 15, 1};
    double db[29] = {0};
    db[2] = rate, db[3] = 1, db[7] = 0.25, db[9] = 2000;  // relaxation rate and power, width, field
    db[14] = db[15] = db[16] = -220000;                    // hyperfine field
    db[17] = -1, db[18] = 0.1, db[19] = 0.3, db[20] = 0.4, db[22] = 30;
    auto ws = std::make_unique<RelaxWorkspace>();
    copy_arguments(ib, db, ws->parl_args);
    set_constants(ws->parl_model);
    ASSERT_EQ(unpack_arguments(*ws), 4 * 24);
    std::vector<std::unique_ptr<ParlMat>> owned;
    std::vector<ParlMat *> mats;
    for (int k = 0; k < 4 * 24; k += 12) {
        electronic_states(ws->parl_model, ws->parl_orient, k, 6, ws->parl_elec, ws->parl_mat, ws->scratch);
        ASSERT_EQ(build_nuclear_matrix(ws->parl_model, ws->parl_orient, ws->parl_elec, k, ws->parl_mat), 48);
        add_relaxation(ws->parl_model, ws->parl_elec, ws->parl_mat, ws->scratch);
        owned.push_back(std::make_unique<ParlMat>(ws->parl_mat));
        mats.push_back(owned.back().get());
    }
    ASSERT_EQ(static_cast<int>(mats.size()), B);
    expect_lanes_match_plain(48, mats, rate < 1 ? "engine matrices" : "engine matrices, fast relaxation");
  }
}

// parl over a grid decomposes eight orientations at a time and adds their spectra in
// order; orientations whose decomposition does not converge take the resolvent route.
// The sum must be, bit for bit, that of the orientations computed one by one. A slowly
// relaxing S = 2 ion in 68 kG, whose decompositions diverge at some orientations.
TEST(LaneKernel, GridSumIsThatOfTheOrientationsOneByOne) {
    std::int32_t ib[5] = {0, 5, 0, 15, 1};
    double db[29] = {0, 0.8, 4e-4, 3, 0.1, 128.5, 0, 0.25, 0, 68000, 65, 2, 2, 2, -55000, -220000, -55000, 5};
    auto batched = std::make_unique<RelaxWorkspace>();
    copy_arguments(ib, db, batched->parl_args);
    ASSERT_TRUE(structural_fault(batched->parl_args).empty());
    const int n_chan = run_relaxation(*batched);

    auto single = std::make_unique<RelaxWorkspace>();
    copy_arguments(ib, db, single->parl_args);
    set_constants(single->parl_model);
    const int count = unpack_arguments(*single);
    ASSERT_GT(count, kDecompositionLanes);
    single->resolvent_orientations = 0;
    std::vector<float> sum(n_chan, 0.0f);
    for (int k = 0; k < count; ++k) {
        ASSERT_TRUE(orientation_absorption(*single, k));
        for (int ch = 0; ch < n_chan; ++ch)
            sum[ch] = sum[ch] + single->parl_spec.spec_one[ch] * single->parl_orient.orient_weight;
    }
    EXPECT_GT(single->resolvent_orientations, 0) << "the case must exercise the resolvent route";
    EXPECT_EQ(batched->resolvent_orientations, single->resolvent_orientations);
    for (int ch = 0; ch < n_chan; ++ch)
        ASSERT_EQ(std::memcmp(&sum[ch], &batched->parl_spec.spec_sum[ch], sizeof(float)), 0) << "channel " << ch + 1;
}

}  // namespace
}  // namespace mosslib::relax
