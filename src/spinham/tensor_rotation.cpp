#include "spinham/tensor_rotation.h"

#include <cmath>

namespace mosslib::spinham {

SymmetricTensor tensrot(double px, double py, double pz, double alpha, double beta, double gamma) {
    const double a = alpha * kDegree, b = beta * kDegree, g = gamma * kDegree;
    const double sa = std::sin(a), ca = std::cos(a);
    const double sb = std::sin(b), cb = std::cos(b);
    const double sg = std::sin(g), cg = std::cos(g);

    // Principal axes as rows in the engine frame.
    const double e1[3] = {ca * cb * cg - sa * sg, sa * cb * cg + ca * sg, -sb * cg};
    const double e2[3] = {-ca * cb * sg - sa * cg, -sa * cb * sg + ca * cg, sb * sg};
    const double e3[3] = {ca * sb, sa * sb, cb};

    auto component = [&](int i, int j) { return px * e1[i] * e1[j] + py * e2[i] * e2[j] + pz * e3[i] * e3[j]; };

    SymmetricTensor t;
    t.xx = component(0, 0);
    t.xy = component(0, 1);
    t.xz = component(0, 2);
    t.yy = component(1, 1);
    t.yz = component(1, 2);
    t.zz = px + py + pz - t.xx - t.yy;
    return t;
}

}  // namespace mosslib::spinham
