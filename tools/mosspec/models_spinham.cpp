// Spin-Hamiltonian models: ttt (spectrum) and tkv (sum of squared residuals against a
// measured spectrum given with --measured FILE).
#include <array>
#include <cmath>
#include <cstdint>
#include <string>

#include "model_registry.h"
#include "mosslib.h"

namespace {

using mosspec::Inputs;
using mosspec::Param;
using mosspec::Result;

// Parameters of both models, defaulting to the representative input: an S = 5/2 ion
// with D = -1.1 cm^-1 in 53.4 kG at 4.2 K, powder average over 480 directions.
std::vector<Param> spinham_params() {
    return {
        {"field", "kG", 53.4, "applied field H"},
        {"temperature", "K", 4.2, "temperature T"},
        {"D", "cm^-1", -1.1, "axial zero-field splitting of spin 1"},
        {"E_over_D", "", 0.0, "rhombicity E/D of spin 1"},
        {"D2", "cm^-1", 0.0, "axial zero-field splitting of spin 2"},
        {"E_over_D2", "", 0.0, "rhombicity E/D of spin 2"},
        {"lambda", "cm^-1", 0.0, "non-zero: gx, gy of spin 1 derived from D and gz"},
        {"gx", "", 2.0, "g of spin 1 along x"},
        {"gy", "", 2.0, "g of spin 1 along y"},
        {"gz", "", 2.0, "g of spin 1 along z"},
        {"gx2", "", 2.0, "g of spin 2 along x"},
        {"gy2", "", 2.0, "g of spin 2 along y"},
        {"gz2", "", 2.0, "g of spin 2 along z"},
        {"J", "cm^-1", 0.0, "isotropic exchange, added to Jx, Jy, Jz"},
        {"Jx", "cm^-1", 0.0, "exchange S1x S2x"},
        {"Jy", "cm^-1", 0.0, "exchange S1y S2y"},
        {"Jz", "cm^-1", 0.0, "exchange S1z S2z"},
        {"quadrupole", "mm/s", 0.13, "quadrupole splitting Delta E_Q"},
        {"eta", "", 0.0, "asymmetry of the field gradient"},
        {"efg_alpha", "deg", 0.0, "Euler angle alpha of the field-gradient frame"},
        {"efg_beta", "deg", 0.0, "Euler angle beta of the field-gradient frame"},
        {"efg_gamma", "deg", 0.0, "Euler angle gamma of the field-gradient frame"},
        {"hyperfine_shift", "kG", 6000.0, "isotropic addition to A; 0 lets the engine make Azz vanish"},
        {"zero_channel", "", 127.0, "channel of zero velocity"},
        {"velocity_step", "mm/s", 0.09, "velocity per channel"},
        {"isomer_shift", "mm/s", 0.38, "isomer shift"},
        {"width", "mm/s", 0.28, "full width at half maximum of every line"},
        {"Axx", "kG", -187.0, "hyperfine tensor, principal value x (per unit spin)"},
        {"Ayy", "kG", -243.0, "hyperfine tensor, principal value y"},
        {"Azz", "kG", -227.0, "hyperfine tensor, principal value z"},
        {"A_alpha", "deg", 0.0, "Euler angle alpha of the hyperfine frame"},
        {"A_beta", "deg", 0.0, "Euler angle beta of the hyperfine frame"},
        {"A_gamma", "deg", 0.0, "Euler angle gamma of the hyperfine frame"},
        {"route", "", 1, "eigen-solver: 1 published QL, -1 bisection, other older QL", true},
        {"mult1", "", 6, "multiplicity 2S1+1 of the iron spin", true},
        {"mult2", "", 1, "multiplicity 2S2+1 of the second spin (1: none)", true},
        {"level_mode", "", 1, "1 every populated level, 2 mult1 levels off the xy plane, other: mean spin", true},
        {"nuclear_option", "", -1, "-2 averaged, -1 perpendicular to the field, 0 along, 1 circular, 2 R-2S", true},
        {"channels", "", 256, "number of channels G (1..8192; tkv: 256)", true},
        {"copies", "", 4, "m: azimuthal quadrant copies, 0 for the one-angle grid", true},
        {"grid", "", 15, "n: polar rings of the powder grid", true},
        {"axes", "", 0, "non-zero: field along x, y and z instead of the powder", true},
    };
}

struct Arrays {
    std::array<int32_t, 27> ints{};
    std::array<double, 37> reals{};
};

Arrays arrays(const Inputs &in) {
    Arrays a;
    a.ints[0] = static_cast<int32_t>(in["route"]);
    a.ints[1] = static_cast<int32_t>(in["mult1"]);
    a.ints[2] = static_cast<int32_t>(in["mult2"]);
    a.ints[3] = static_cast<int32_t>(in["level_mode"]);
    a.ints[4] = static_cast<int32_t>(in["nuclear_option"]);
    a.ints[5] = static_cast<int32_t>(in["channels"]);
    a.ints[6] = static_cast<int32_t>(in["copies"]);
    a.ints[7] = static_cast<int32_t>(in["grid"]);
    a.ints[8] = static_cast<int32_t>(in["axes"]);
    a.ints[9] = 0;
    a.ints[26] = a.ints[3];
    double *r = a.reals.data();
    r[0] = in["field"];
    r[1] = in["temperature"];
    r[3] = in["D"];
    r[4] = in["E_over_D"];
    r[5] = in["D2"];
    r[6] = in["E_over_D2"];
    r[7] = in["lambda"];
    r[8] = in["gx"];
    r[9] = in["gy"];
    r[10] = in["gz"];
    r[11] = in["gx2"];
    r[12] = in["gy2"];
    r[13] = in["gz2"];
    r[14] = in["quadrupole"];
    r[15] = in["eta"];
    r[16] = in["efg_alpha"];
    r[17] = in["efg_beta"];
    r[18] = in["efg_gamma"];
    r[19] = in["hyperfine_shift"];
    r[22] = in["Jx"];
    r[23] = in["Jy"];
    r[24] = in["Jz"];
    r[25] = in["J"];
    r[26] = in["zero_channel"];
    r[27] = in["velocity_step"];
    r[28] = in["isomer_shift"];
    r[29] = in["width"];
    r[30] = in["Axx"];
    r[31] = in["Ayy"];
    r[32] = in["Azz"];
    r[33] = in["A_alpha"];
    r[34] = in["A_beta"];
    r[35] = in["A_gamma"];
    return a;
}

Result run_ttt(const Inputs &in) {
    const Arrays a = arrays(in);
    const int32_t g = a.ints[5];
    if (g < 1 || g > 8192) throw mosspec::UsageError("channels must be 1..8192");
    Result r;
    r.value.assign(static_cast<std::size_t>(g), 0.0);
    ttt(a.ints.data(), a.reals.data(), r.value.data());
    r.velocity.resize(r.value.size());
    for (std::size_t i = 0; i < r.value.size(); ++i)
        r.velocity[i] = (static_cast<double>(i + 1) - in["zero_channel"]) * in["velocity_step"];
    return r;
}

Result run_tkv(const Inputs &in) {
    if (in.measured_path.empty()) throw mosspec::UsageError("tkv needs --measured FILE (256 numbers)");
    std::vector<double> measured = mosspec::read_numbers(in.measured_path);
    if (measured.size() != 256)
        throw mosspec::UsageError("'" + in.measured_path + "' holds " + std::to_string(measured.size()) +
                                  " numbers; tkv compares 256 channels");
    const Arrays a = arrays(in);
    Result r;
    r.scalar = tkv(a.ints.data(), a.reals.data(), measured.data());
    r.scalar_name = "sum_of_squares";
    return r;
}

const bool reg_ttt = mosspec::register_model(
    {"ttt", "spin-Hamiltonian powder (or three-axis) spectrum of an iron site in an applied field", spinham_params(),
     run_ttt});

const bool reg_tkv = mosspec::register_model(
    {"tkv", "sum of squared residuals of the ttt model against --measured FILE (channels 2..256)", spinham_params(),
     run_tkv});

}  // namespace
