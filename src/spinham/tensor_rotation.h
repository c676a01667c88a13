// Symmetric tensors given by principal values and Euler angles.
#pragma once

namespace mosslib::spinham {

struct SymmetricTensor {
    double xx = 0.0, yy = 0.0, zz = 0.0, xy = 0.0, xz = 0.0, yz = 0.0;
};

// Degrees to radians, the single-precision literal widened to double.
inline constexpr double kDegree = static_cast<double>(0.017453292f);

// Tensor with principal values (px, py, pz) along the axes of the frame turned by the
// Euler angles alpha, beta, gamma (degrees; beta the polar angle and alpha the azimuth
// of the principal z axis). The trace is kept exactly: zz = px + py + pz - xx - yy.
SymmetricTensor tensrot(double px, double py, double pz, double alpha, double beta, double gamma);

}  // namespace mosslib::spinham
