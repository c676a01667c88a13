// A static 57Fe site: the ground (I = 1/2) and excited (I = 3/2) nuclear Hamiltonians
// in a magnetic field and an electric-field gradient, solved exactly, and the eight
// magnetic-dipole transitions between them with their intensities for a given
// distribution of gamma-ray directions.
#pragma once

#include "hamiltonian/nuclear_scale.h"

namespace mosslib::hamiltonian {

inline constexpr int kSiteLines = 8;

// Everything in one Cartesian frame.
struct SiteFrame {
    // Quadrupole tensor eQ V_ij / 2 in mm/s (symmetric, traceless): in its principal
    // frame diag(-(1 - eta), -(1 + eta), 2) x (eQVzz/2) / 2.
    double quadrupole[3][3];
    double field[3];  // magnetic field at the nucleus, T
    // Second moment <k_i k_j> of the unit gamma-ray direction over the sample: identity/3
    // for a powder, k k^T for a single crystal.
    double beam[3][3];
    double ground_per_tesla = kGroundSplitting;    // ground Zeeman splitting, mm/s per T
    double excited_per_tesla = kExcitedSplitting;  // excited level spacing per unit m, mm/s per T
};

// Line j from ground state j / 4 to excited state j % 4 (each set ascending in energy):
// its velocity relative to the centre shift and its intensity, the eight summing to 1.
struct SiteLines {
    double position[kSiteLines];
    double weight[kSiteLines];
};

SiteLines site_lines(const SiteFrame &frame) noexcept;

// The site as the catalogue describes it, in the principal frame of the field gradient.
struct PrincipalSite {
    double field;                 // T
    double quadrupole_coupling;   // eQVzz/2, mm/s
    double eta;                   // asymmetry
    double field_theta, field_phi;  // direction of the field, degrees
    double beam_theta, beam_phi;    // direction of the gamma ray (texture axis), degrees
    double texture_order;           // <P2> of the beam about that axis: 0 powder, 1 one direction
};

SiteFrame principal_frame(const PrincipalSite &site) noexcept;

}  // namespace mosslib::hamiltonian
