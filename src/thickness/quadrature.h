// Quadrature rules of the transmission integral: the trapezoid rule with high-order
// end corrections on a uniform grid, and Gauss-Legendre nodes for the mapped tails.
#pragma once

#include <array>

namespace mosslib::thickness {

// End corrections of the trapezoid rule on a uniform grid of unit step: with
// weight 1 + kEndCorrection[j] on nodes j and n - j (j < kEndNodes) and 1 elsewhere,
// every polynomial of degree < kEndNodes integrates exactly over [0, n] (n + 1 nodes,
// n >= 2 kEndNodes - 1). Smooth integrands then have an error O(step^kEndNodes) from
// the ends; the interior keeps the trapezoid rule's geometric convergence.
inline constexpr int kEndNodes = 8;
const std::array<double, kEndNodes> &end_corrections() noexcept;

// Gauss-Legendre rule of kTailNodes nodes on [0, 1].
inline constexpr int kTailNodes = 64;
struct GaussLegendre {
    std::array<double, kTailNodes> node, weight;
};
const GaussLegendre &gauss_legendre() noexcept;

}  // namespace mosslib::thickness
