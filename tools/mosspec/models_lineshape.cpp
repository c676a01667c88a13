// The analytic spectra in mosspec: named parameters, the parameter array each export
// reads, and the velocity of every channel on the scale the model uses.
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "model_registry.h"
#include "mosslib.h"

namespace {

using mosspec::Inputs;
using mosspec::Model;
using mosspec::Param;
using mosspec::Result;

using Array = std::array<double, 23>;  // indices 0..22, the longest layout
using Export = double (*)(const double *, double *);

constexpr double kSinePhaseStep = 0.01226563;  // rad per channel of the 256-channel sine sweep

// ---- Parameter groups ---------------------------------------------------------------

void add(std::vector<Param> &to, std::vector<Param> more) { to.insert(to.end(), more.begin(), more.end()); }

std::vector<Param> intensities(std::array<double, 6> values) {
    std::vector<Param> out;
    for (int k = 0; k < 6; ++k)
        out.push_back({"intensity" + std::to_string(k + 1), "", values[k],
                       "relative intensity of line " + std::to_string(k + 1) + " (only ratios matter)"});
    return out;
}

std::vector<Param> widths(std::array<double, 6> values, const std::string &what, const std::string &note = "") {
    std::vector<Param> out;
    for (int k = 0; k < 6; ++k)
        out.push_back({"width" + std::to_string(k + 1), "mm/s", values[k], what + " of line " + std::to_string(k + 1) + note});
    return out;
}

Param field(double value) {
    return {"field", "T", value, "hyperfine field; outer lines at -+0.163 mm/s per T (33 T: metallic iron)"};
}

std::vector<Param> linear_scale(double step, double zero) {
    return {{"velocity_step", "mm/s", step, "velocity per channel"},
            {"zero_channel", "", zero, "channel (may be fractional) at velocity 0; channels count from 1"}};
}

std::vector<Param> sine_scale(double amplitude, double zero) {
    return {{"velocity_amplitude", "mm/s", amplitude, "largest velocity of the sinusoidal sweep"},
            {"zero_channel", "", zero, "channel (may be fractional) at velocity 0; channels count from 1"}};
}

// ---- Channel velocities --------------------------------------------------------------

std::vector<double> linear_velocities(double step, double zero, int channels) {
    std::vector<double> v(channels);
    for (int n = 1; n <= channels; ++n) v[n - 1] = (n - zero) * step;
    return v;
}

std::vector<double> sine_velocities(double amplitude, double zero, double radians_per_channel, int channels) {
    std::vector<double> v(channels);
    for (int n = 1; n <= channels; ++n) v[n - 1] = amplitude * std::sin((n - zero) * radians_per_channel);
    return v;
}

Result call(Export fn, const Array &p, std::vector<double> velocity) {
    Result r;
    r.value.assign(velocity.size(), 0.0);
    fn(p.data(), r.value.data());
    r.velocity = std::move(velocity);
    return r;
}

void put_intensities(Array &p, const Inputs &in) {
    for (int k = 0; k < 6; ++k) p[6 + k] = in["intensity" + std::to_string(k + 1)];
}

void put_widths(Array &p, const Inputs &in) {
    for (int k = 0; k < 6; ++k) p[14 + k] = in["width" + std::to_string(k + 1)];
}

constexpr std::array<double, 6> kThinFoil = {3, 2, 1, 1, 2, 3};  // random orientation, thin absorber

// General-sextet layout shared by sextgen, sextgen_ss, sextgen_sl and VogGenVel_ss.
void put_general(Array &p, const Inputs &in) {
    p[1] = in["field"];
    p[2] = in["shift"];
    p[3] = in["quadrupole"];
    p[5] = in["area"];
    put_intensities(p, in);
    put_widths(p, in);
}

std::vector<Param> general_head(double field_value, double shift, double quadrupole) {
    return {field(field_value),
            {"shift", "mm/s", shift, "twice the centre shift: half of it is added to every line"},
            {"quadrupole", "mm/s", quadrupole, "lines 1 and 6 move by -quadrupole, lines 2 to 5 by +quadrupole"},
            {"area", "", 1.0, "total area of the six lines (times pi/3.1416)"}};
}

// ---- Models ----------------------------------------------------------------------------

Model sext_model() {
    std::vector<Param> ps = {field(33.0),
                             {"shift", "mm/s", -0.11, "centre shift, added to every line"},
                             {"quadrupole", "mm/s", 0.0, "lines 1 and 6 move by -quadrupole/2, lines 2 to 5 by +quadrupole/2"},
                             {"width", "mm/s", 0.25, "full width at half maximum of every line"},
                             {"area", "", 1.0, "total area of the six lines (times pi/3.1416)"}};
    add(ps, intensities(kThinFoil));
    add(ps, linear_scale(0.05, 128.5));
    return {"sext", "magnetic sextet, one common width, 256 channels on a linear scale", ps, [](const Inputs &in) {
                Array p{};
                p[1] = in["field"], p[2] = in["shift"], p[3] = in["quadrupole"], p[4] = in["width"], p[5] = in["area"];
                put_intensities(p, in);
                p[12] = in["velocity_step"], p[13] = in["zero_channel"];
                return call(sext, p, linear_velocities(p[12], p[13], 256));
            }};
}

// Hematite at room temperature: 51.7 T, centre shift 0.37 mm/s, quadrupole shift -0.10 mm/s.
Model sextgen_model() {
    std::vector<Param> ps = general_head(51.7, 0.74, 0.10);
    add(ps, intensities(kThinFoil));
    add(ps, linear_scale(0.075, 128.5));
    add(ps, widths({0.30, 0.27, 0.25, 0.25, 0.27, 0.30}, "full width at half maximum"));
    return {"sextgen", "general sextet with per-line widths, 256 channels on a linear scale", ps, [](const Inputs &in) {
                Array p{};
                put_general(p, in);
                p[12] = in["velocity_step"], p[13] = in["zero_channel"];
                return call(sextgen, p, linear_velocities(p[12], p[13], 256));
            }};
}

std::vector<Param> iron_general_params(double amplitude, double zero) {
    std::vector<Param> ps = general_head(33.0, -0.22, 0.0);
    add(ps, intensities(kThinFoil));
    add(ps, sine_scale(amplitude, zero));
    return ps;
}

Model sextgen_ss_model() {
    std::vector<Param> ps = iron_general_params(7.0, 128.5);
    add(ps, widths({0.28, 0.26, 0.24, 0.24, 0.26, 0.28}, "full width at half maximum"));
    return {"sextgen_ss",
            "general sextet, 256 channels on a sine scale (0.01226563 rad per channel)",
            ps, [](const Inputs &in) {
                Array p{};
                put_general(p, in);
                p[12] = in["velocity_amplitude"], p[13] = in["zero_channel"];
                return call(sextgen_ss, p, sine_velocities(p[12], p[13], kSinePhaseStep, 256));
            }};
}

Model sextgen_sl_model() {
    std::vector<Param> ps = iron_general_params(7.0, 256.5);
    add(ps, widths({0.28, 0.26, 0.24, 0.24, 0.26, 0.28}, "full width at half maximum"));
    ps.push_back({"channels_per_radian", "", 512.0 / M_PI,
                  "phase of channel n is (n - zero_channel) / channels_per_radian; 512/pi spans half a period"});
    return {"sextgen_sl", "general sextet, 512 channels on a sine scale with a given phase step", ps,
            [](const Inputs &in) {
                Array p{};
                put_general(p, in);
                p[12] = in["velocity_amplitude"], p[13] = in["zero_channel"], p[20] = in["channels_per_radian"];
                Result r;
                r.value.assign(512, 0.0);
                sextgen_sl(p.data(), r.value.data());
                r.velocity.resize(512);
                for (int n = 1; n <= 512; ++n) r.velocity[n - 1] = p[12] * std::sin((n - p[13]) / p[20]);
                return r;
            }};
}

// A high-spin ferric site.
Model doubl_model() {
    std::vector<Param> ps = {{"shift", "mm/s", 0.35, "centre shift of the doublet"},
                             {"splitting", "mm/s", 0.70, "quadrupole splitting: distance between the two lines"},
                             {"width", "mm/s", 0.25, "full width at half maximum of both lines"},
                             {"area", "", 1.0, "total area of the two lines (times pi/3.1416)"}};
    add(ps, linear_scale(0.03, 128.5));
    return {"doubl", "quadrupole doublet, 256 channels on a linear scale", ps, [](const Inputs &in) {
                Array p{};
                p[1] = in["shift"], p[2] = in["splitting"], p[3] = in["width"], p[4] = in["area"];
                p[5] = in["velocity_step"], p[6] = in["zero_channel"];
                return call(doubl, p, linear_velocities(p[5], p[6], 256));
            }};
}

Model voigt_model() {
    std::vector<Param> ps = iron_general_params(7.0, 128.5);
    add(ps, widths({0.2, 0.2, 0.2, 0.2, 0.2, 0.2}, "Lorentzian full width"));
    ps.push_back({"gauss_width", "mm/s", 0.15, "Gaussian scale common to all lines (profile coordinates are v / (1.421 gauss_width))"});
    ps.push_back({"spread", "", 0.3, "channel at velocity v averages velocities from v (1 - spread^2) to v"});
    return {"VogGenVel_ss", "Voigt sextet with velocity spread, 256 channels on a sine scale", ps, [](const Inputs &in) {
                Array p{};
                put_general(p, in);
                p[12] = in["velocity_amplitude"], p[13] = in["zero_channel"];
                p[21] = in["gauss_width"], p[22] = in["spread"];
                return call(VogGenVel_ss, p, sine_velocities(p[12], p[13], kSinePhaseStep, 256));
            }};
}

Model two_component_model() {
    std::vector<Param> ps = {field(33.0),
                             {"offset1", "mm/s", -0.11, "added to every line of the first component"},
                             {"offset2", "mm/s", 0.15, "added to every line of the second component"},
                             {"a", "mm/s", 0.2, "weight a/(a+b) of the second component; adds a/2 to both half widths"},
                             {"b", "mm/s", 0.1, "weight b/(a+b) of the first component; adds b to the second half width"}};
    add(ps, intensities(kThinFoil));
    add(ps, sine_scale(7.0, 128.5));
    add(ps, widths({0.25, 0.25, 0.25, 0.25, 0.25, 0.25}, "width", "; half of it enters both half widths"));
    ps.push_back({"extra_width", "mm/s", 0.05, "added to the half width of the second component"});
    return {"CSTfdll", "two-component sextet with interference term, 256 channels on a sine scale", ps,
            [](const Inputs &in) {
                Array p{};
                p[1] = in["field"], p[2] = in["offset1"], p[3] = in["offset2"], p[4] = in["a"], p[5] = in["b"];
                put_intensities(p, in);
                p[12] = in["velocity_amplitude"], p[13] = in["zero_channel"];
                put_widths(p, in);
                p[20] = in["extra_width"];
                return call(CSTfdll, p, sine_velocities(p[12], p[13], kSinePhaseStep, 256));
            }};
}

const bool reg = mosspec::register_model(sext_model()) && mosspec::register_model(sextgen_model()) &&
                 mosspec::register_model(sextgen_ss_model()) && mosspec::register_model(sextgen_sl_model()) &&
                 mosspec::register_model(doubl_model()) && mosspec::register_model(voigt_model()) &&
                 mosspec::register_model(two_component_model());

}  // namespace
