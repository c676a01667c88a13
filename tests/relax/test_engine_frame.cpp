// The engine's frame: argument copy and rounding, refused input, unpacking (defaults,
// Zeeman coefficients, angles, hyperfine tensor, quadrupole constant) and the nuclear
// transition matrix of one orientation.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <thread>

#include "common/thread_workspace.h"
#include "relax/electronic_states.h"
#include "relax/nuclear_matrix.h"
#include "relax/relax_engine.h"
#include "relax/relax_entry.h"

namespace mosslib::relax {
namespace {

struct Frame {
    std::int32_t ib[5] = {0, 1, 256, 15, 0};
    double db[29] = {};
    std::unique_ptr<RelaxWorkspace> ws = std::make_unique<RelaxWorkspace>();
    int unpack() {
        copy_arguments(ib, db, ws->parl_args);
        set_constants(ws->parl_model);
        return unpack_arguments(*ws);
    }
};

TEST(EngineFrame, ArgumentsAreCopiedAndRoundedToSingle) {
    Frame f;
    f.ib[1] = 4;
    f.ib[2] = 100;
    f.ib[3] = 23;
    f.ib[4] = 2;
    for (int i = 1; i <= 28; ++i) f.db[i] = 0.1 * i + 1e-9;
    f.db[4] = 0.09013;
    copy_arguments(f.ib, f.db, f.ws->parl_args);
    const ParlArgs &a = f.ws->parl_args;
    EXPECT_EQ(a.n_levels, 4);
    EXPECT_EQ(a.n_chan, 100);
    EXPECT_EQ(a.grid_sym, 23);
    EXPECT_EQ(a.grid_level, 2);
    EXPECT_EQ(static_cast<double>(a.vel_step), 0.09013000130653381);
    EXPECT_EQ(a.amplitude, static_cast<float>(f.db[1]));
    EXPECT_EQ(a.temp, static_cast<float>(f.db[10]));
    EXPECT_EQ(a.a_z, static_cast<float>(f.db[16]));
    EXPECT_EQ(a.efg_euler[2], static_cast<float>(f.db[23]));
    EXPECT_EQ(a.hyp_euler[0], static_cast<float>(f.db[24]));
    EXPECT_EQ(a.phi, static_cast<float>(f.db[28]));
}

TEST(EngineFrame, StructuralLimits) {
    Frame f;
    auto fault = [&](int index, int value) {
        Frame g;
        g.ib[index] = value;
        copy_arguments(g.ib, g.db, g.ws->parl_args);
        return !structural_fault(g.ws->parl_args).empty();
    };
    EXPECT_FALSE(fault(1, 1));
    EXPECT_FALSE(fault(1, 6));
    EXPECT_TRUE(fault(1, 0));
    EXPECT_TRUE(fault(1, 7));
    EXPECT_FALSE(fault(2, 0));
    EXPECT_FALSE(fault(2, 256));
    EXPECT_TRUE(fault(2, 257));
    EXPECT_TRUE(fault(2, -1));
    EXPECT_FALSE(fault(4, 9));  // capped at 5
    EXPECT_TRUE(fault(4, -1));
}

TEST(EngineFrame, NoMemoryForTheWorkSpaceIsAFault) {
    std::thread([] {  // a fresh thread: its work space does not exist yet
        common::simulate_out_of_memory(true);
        Frame f;
        double out[kChannels] = {};
        const common::Fault fault = parl_spectrum(f.ib, f.db, out);
        common::simulate_out_of_memory(false);
        EXPECT_TRUE(fault);
        EXPECT_EQ(fault.nan_count(), static_cast<std::size_t>(kChannels));
        EXPECT_EQ(fault.reason(), "parl: no memory for the work space");
        EXPECT_FALSE(parl_spectrum(f.ib, f.db, out));
    }).join();
}

TEST(EngineFrame, UnpackingDerivesTheModel) {
    Frame f;
    f.db[9] = 1000;  // field
    f.db[11] = 2.1;  // g_x; g_y, g_z default to 2
    f.db[19] = 1.2;  // quad_split, eta = 0
    f.db[21] = 10;
    f.db[22] = 20;
    f.db[23] = 30;
    f.db[27] = 90;
    f.db[28] = 45;
    EXPECT_EQ(f.unpack(), 0);
    const ParlModel &m = f.ws->parl_model;
    EXPECT_EQ(m.n_chan, 256);
    EXPECT_FLOAT_EQ(m.vel_step, 0.1f);
    EXPECT_FLOAT_EQ(m.temp, 4.2f);
    EXPECT_FLOAT_EQ(m.g_y, 2.0f);
    EXPECT_FLOAT_EQ(f.ws->parl_spec.amplitude, 1.0f);
    EXPECT_NEAR(m.zeeman_x / (6.7174e-5 * 1000 * 2.1 / 2), 1.0, 1e-6);
    EXPECT_NEAR(m.zeeman_y / (6.7174e-5 * 1000 * 2.0 / 2), 1.0, 1e-6);
    EXPECT_NEAR(m.zeeman_z / (6.7174e-5 * 1000 * 2.0), 1.0, 1e-6);
    EXPECT_NEAR(m.zeeman_g / 1.18695e-5, 1.0, 1e-5);
    EXPECT_NEAR(m.zeeman_e / -6.78245e-6, 1.0, 1e-5);
    EXPECT_NEAR(m.quad_const, 1.2 / 6, 1e-7);
    // the field-gradient rotation is inverted: (alpha, beta, gamma) -> (-gamma, -beta, -alpha)
    EXPECT_NEAR(m.efg_euler[0], -30 * M_PI / 180, 1e-6);
    EXPECT_NEAR(m.efg_euler[1], -20 * M_PI / 180, 1e-6);
    EXPECT_NEAR(m.efg_euler[2], -10 * M_PI / 180, 1e-6);
    const ParlOrient &o = f.ws->parl_orient;
    EXPECT_NEAR(o.cos_theta[0], 0.0, 1e-6);
    EXPECT_NEAR(o.cos_phi[0], std::sqrt(0.5), 1e-6);
}

TEST(EngineFrame, HyperfineTensorIsTheRotatedDiagonal) {
    Frame f;
    f.db[14] = -100000;
    f.db[15] = -150000;
    f.db[16] = -220000;
    f.db[24] = 25;
    f.db[25] = 60;
    f.db[26] = -40;
    f.unpack();
    const float *t = f.ws->parl_model.hyp_tensor;
    EXPECT_NEAR((t[0] + t[4] + t[8]) / -470000.0, 1.0, 1e-6);  // trace
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(t[i + 3 * j], t[j + 3 * i], 0.05);  // symmetric
    // no rotation: diagonal
    Frame g;
    g.db[14] = -1;
    g.db[15] = -2;
    g.db[16] = -3;
    g.unpack();
    const float *d = g.ws->parl_model.hyp_tensor;
    EXPECT_FLOAT_EQ(d[0], -1.0f);
    EXPECT_FLOAT_EQ(d[4], -2.0f);
    EXPECT_FLOAT_EQ(d[8], -3.0f);
    EXPECT_EQ(d[1], 0.0f);
}

// The transition matrix of one orientation, after the electronic states.
const ParlMat &nuclear_matrix(Frame &f, int &n) {
    f.unpack();
    RelaxWorkspace &ws = *f.ws;
    electronic_states(ws.parl_model, ws.parl_orient, 0, ws.parl_model.n_levels, ws.parl_elec, ws.parl_mat,
                      ws.scratch);
    n = build_nuclear_matrix(ws.parl_model, ws.parl_orient, ws.parl_elec, 0, ws.parl_mat);
    return ws.parl_mat;
}

TEST(NuclearMatrix, AxialFieldGivesTheLineEnergiesOnTheDiagonal) {
    Frame f;
    f.db[9] = 330000;
    f.db[19] = 0.8;  // axial gradient along z: +-Qzz = +-quad_split/2
    int n = 0;
    const ParlMat &mat = nuclear_matrix(f, n);
    ASSERT_EQ(n, 8);
    const double ze = 3.1524e-15 * 2.9979e11 / 14.37 * -0.10313;
    const double zg = 3.1524e-15 * 2.9979e11 / 14.37 * 0.18048;
    const double bz = -330000 * ze, gz = -330000 * zg;
    const double me[8] = {1.5, 0.5, -0.5, -1.5, 1.5, 0.5, -0.5, -1.5};
    const double mg[8] = {0.5, 0.5, 0.5, 0.5, -0.5, -0.5, -0.5, -0.5};
    for (int t = 0; t < 8; ++t) {
        const double quad = (std::fabs(me[t]) > 1 ? 1 : -1) * 0.4;
        EXPECT_NEAR(mat.trans_mat[at(t, t)].i, me[t] * bz - mg[t] * gz + quad, 1e-5) << t;
        EXPECT_EQ(mat.trans_mat[at(t, t)].r, 0.0f);
        for (int u = 0; u < 8; ++u)
            if (u != t) {
                EXPECT_NEAR(mat.trans_mat[at(t, u)].r, 0.0, 1e-6);
                EXPECT_NEAR(mat.trans_mat[at(t, u)].i, 0.0, 1e-6);
            }
    }
}

TEST(NuclearMatrix, NoFieldNoSpinNoGradientIsZero) {
    Frame f;
    int n = 0;
    const ParlMat &mat = nuclear_matrix(f, n);
    for (int j = 0; j < 8; ++j)
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(mat.trans_mat[at(i, j)].r, 0.0f);
            EXPECT_EQ(mat.trans_mat[at(i, j)].i, 0.0f);
        }
}

TEST(NuclearMatrix, MatrixIsITimesHermitian) {
    // All elements carry a factor i: i H with H Hermitian, so M(a,b) = -conj(M(b,a)).
    Frame f;
    f.db[9] = 200000;
    f.db[19] = 1.0;
    f.db[20] = 0.6;
    f.db[22] = 35;
    f.db[27] = 50;
    f.db[28] = 30;
    int n = 0;
    const ParlMat &mat = nuclear_matrix(f, n);
    for (int a = 0; a < 8; ++a)
        for (int b = 0; b < 8; ++b) {
            EXPECT_NEAR(mat.trans_mat[at(a, b)].r, -mat.trans_mat[at(b, a)].r, 1e-6) << a << "," << b;
            EXPECT_NEAR(mat.trans_mat[at(a, b)].i, mat.trans_mat[at(b, a)].i, 1e-6) << a << "," << b;
        }
}

TEST(NuclearMatrix, BlocksPerStateAndFastMode) {
    Frame f;
    f.ib[1] = 2;
    f.db[9] = 3000;
    f.db[14] = f.db[15] = f.db[16] = -440000;
    f.db[27] = 30;
    int n = 0;
    const ParlMat &mat = nuclear_matrix(f, n);
    ASSERT_EQ(n, 16);
    for (int i = 0; i < 8; ++i)
        for (int j = 8; j < 16; ++j) {
            EXPECT_EQ(mat.trans_mat[at(i, j)].r, 0.0f);
            EXPECT_EQ(mat.trans_mat[at(j, i)].i, 0.0f);
        }
    Frame fast;
    fast.ib[1] = 6;
    fast.db[2] = 2000;
    fast.db[9] = 3000;
    const ParlMat &m8 = nuclear_matrix(fast, n);
    EXPECT_EQ(n, 8);
    (void)m8;
}

}  // namespace
}  // namespace mosslib::relax
