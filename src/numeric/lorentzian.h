// Lorentzian line in peak-height form, shared by every analytic model.
#pragma once

namespace mosslib::numeric {

// height / (1 + (2 (v - centre) / width)^2): the value at the centre is `height`,
// the full width at half maximum is `width`, the area height * pi * width / 2.
// The scaled detuning is rounded to a double before it is squared.
inline double lorentzian(double v, double centre, double height, double width) {
    const double t = ((v - centre) * 2.0) / width;
    return height / (t * t + 1.0);
}

}  // namespace mosslib::numeric
