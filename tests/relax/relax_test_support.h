// Builds the model and orientation of a single-orientation run for unit tests of the
// relaxation engine's steps.
#pragma once

#include <cmath>
#include <memory>

#include "relax/relax_workspace.h"

namespace mosslib::relax::testing {

struct ElectronicSetup {
    std::unique_ptr<RelaxWorkspace> ws = std::make_unique<RelaxWorkspace>();

    // Zeeman coefficients in kelvin along x, y, z; field direction (theta, phi) in degrees.
    ElectronicSetup(int n, float zx, float zy, float zz, float d, float e, float temp, double theta_deg,
                    double phi_deg) {
        ParlModel &m = ws->parl_model;
        m.n_levels = n;
        m.zeeman_x = zx;
        m.zeeman_y = zy;
        m.zeeman_z = zz;
        m.zfs_d = d;
        m.zfs_e = e;
        m.temp = temp;
        const double t = theta_deg * M_PI / 180;
        const double p = phi_deg * M_PI / 180;
        ws->parl_orient.cos_theta[0] = static_cast<float>(std::cos(t));
        ws->parl_orient.sin_theta[0] = static_cast<float>(std::sin(t));
        ws->parl_orient.cos_phi[0] = static_cast<float>(std::cos(p));
        ws->parl_orient.sin_phi[0] = static_cast<float>(std::sin(p));
    }
};

}  // namespace mosslib::relax::testing
