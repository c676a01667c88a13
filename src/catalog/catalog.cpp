#include "catalog/catalog.h"

#include <array>
#include <cmath>
#include <limits>
#include <numbers>

#include "lineshape/sextet_constants.h"
#include "lineshape/velocity_scale.h"
#include "relax/argument_defaults.h"
#include "relax/relax_workspace.h"
#include "spinham/spinham_workspace.h"
#include "thickness/transmission.h"
#if MOSSLIB_HYPERFINE
#include "distribution/voigt_distribution.h"
#include "hamiltonian/site_model.h"
#endif

namespace mosslib::catalog {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// ---- Building blocks ----------------------------------------------------------------

constexpr mosslib_param real(int index, const char *name, const char *unit, double example, const char *meaning,
                             const char *convention = "", double raw_per_unit = 1.0) {
    return {name, unit, meaning, convention, MOSSLIB_ARRAY_REALS, index, 0, 0, raw_per_unit, example, -kInf, kInf,
            "", kNone};
}

constexpr mosslib_param integer(int index, const char *name, double example, const char *meaning) {
    return {name, "", meaning, "", MOSSLIB_ARRAY_INTS, index, 1, 0, 1.0, example, -kInf, kInf, "", kNone};
}

constexpr mosslib_param limited(mosslib_param p, double min, double max, const char *refusal) {
    p.min = min;
    p.max = max;
    p.refusal = refusal;
    return p;
}

constexpr mosslib_param positive(mosslib_param p) {
    p.domain = MOSSLIB_DOMAIN_POSITIVE;
    return p;
}

constexpr mosslib_param non_negative(mosslib_param p) {
    p.domain = MOSSLIB_DOMAIN_NON_NEGATIVE;
    return p;
}

constexpr mosslib_param zero_means(mosslib_param p, double value) {
    p.zero_means = value;
    return p;
}

template <std::size_t N, std::size_t M>
constexpr std::array<mosslib_param, N + M> join(const std::array<mosslib_param, N> &a,
                                                const std::array<mosslib_param, M> &b) {
    std::array<mosslib_param, N + M> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = a[i];
    for (std::size_t i = 0; i < M; ++i) out[N + i] = b[i];
    return out;
}

template <std::size_t N>
constexpr int index_of(const std::array<mosslib_param, N> &ps, std::string_view name) {
    for (std::size_t i = 0; i < N; ++i)
        if (name == ps[i].name) return static_cast<int>(i);
    return -1;
}

// ---- Shared vocabulary --------------------------------------------------------------

constexpr const char *kPerChannel = "mm/s";
constexpr const char *kHyperfineFieldMeaning =
    "hyperfine field; the outer lines lie at -+0.163 mm/s per T from the centre (33 T: metallic iron)";
constexpr const char *kCentreShiftMeaning = "centre shift: velocity of the spectrum's centre of gravity";
constexpr const char *kCentreShiftConvention = "positive: lines move to positive velocity";
constexpr const char *kQuadShiftMeaning = "first-order quadrupole shift of the sextet";
constexpr const char *kQuadShiftConvention = "positive: lines 2-5 move by +value, lines 1 and 6 by -value";
constexpr const char *kZeroChannelMeaning = "channel (from 1, may be fractional) at velocity 0";

constexpr std::array<mosslib_param, 6> intensities(int first, std::array<double, 6> example) {
    constexpr const char *names[6] = {"intensity1", "intensity2", "intensity3",
                                      "intensity4", "intensity5", "intensity6"};
    constexpr const char *meanings[6] = {
        "relative intensity of line 1 (only ratios matter)", "relative intensity of line 2 (only ratios matter)",
        "relative intensity of line 3 (only ratios matter)", "relative intensity of line 4 (only ratios matter)",
        "relative intensity of line 5 (only ratios matter)", "relative intensity of line 6 (only ratios matter)"};
    std::array<mosslib_param, 6> out{};
    for (int k = 0; k < 6; ++k) out[k] = non_negative(real(first + k, names[k], "", example[k], meanings[k]));
    return out;
}

constexpr std::array<mosslib_param, 6> widths(int first, double example, const char *const (&meaning)[6]) {
    constexpr const char *names[6] = {"width1", "width2", "width3", "width4", "width5", "width6"};
    std::array<mosslib_param, 6> out{};
    for (int k = 0; k < 6; ++k) out[k] = positive(real(first + k, names[k], "mm/s", example, meaning[k]));
    return out;
}

constexpr std::array<double, 6> kThinFoil = {3, 2, 1, 1, 2, 3};  // random orientation, thin absorber

// General-sextet head (sextgen family): p1 field, p2 twice the shift, p3 quadrupole, p5 area.
constexpr std::array<mosslib_param, 4> general_head(double field, double centre_shift, double quad_shift) {
    return {real(1, "field_T", "T", field, kHyperfineFieldMeaning),
            real(2, "centre_shift", "mm/s", centre_shift, kCentreShiftMeaning,
                 kCentreShiftConvention, 2.0),
            real(3, "quadrupole_shift", "mm/s", quad_shift, kQuadShiftMeaning, kQuadShiftConvention),
            real(5, "area", "", 1.0, "total area of the six lines (times pi/3.1416)")};
}

constexpr std::array<mosslib_param, 2> linear_scale(int first, double step, double zero) {
    return {real(first, "velocity_step", kPerChannel, step, "velocity per channel"),
            real(first + 1, "zero_channel", "channel", zero, kZeroChannelMeaning)};
}

constexpr std::array<mosslib_param, 2> sine_scale(int first, double amplitude, double zero) {
    return {real(first, "velocity_amplitude", "mm/s", amplitude, "largest velocity of the sinusoidal drive"),
            real(first + 1, "zero_channel", "channel", zero, kZeroChannelMeaning)};
}

constexpr const char *kFwhm[6] = {"full width at half maximum of line 1", "full width at half maximum of line 2",
                                  "full width at half maximum of line 3", "full width at half maximum of line 4",
                                  "full width at half maximum of line 5", "full width at half maximum of line 6"};
constexpr const char *kLorentzFwhm[6] = {
    "Lorentzian full width at half maximum of line 1", "Lorentzian full width at half maximum of line 2",
    "Lorentzian full width at half maximum of line 3", "Lorentzian full width at half maximum of line 4",
    "Lorentzian full width at half maximum of line 5", "Lorentzian full width at half maximum of line 6"};
constexpr const char *kSplitWidth[6] = {
    "width of line 1; half of it enters both half widths", "width of line 2; half of it enters both half widths",
    "width of line 3; half of it enters both half widths", "width of line 4; half of it enters both half widths",
    "width of line 5; half of it enters both half widths", "width of line 6; half of it enters both half widths"};

// ---- Analytic models ------------------------------------------------------------------

constexpr auto kSext = join(
    join(std::array{real(1, "field_T", "T", 33.0, kHyperfineFieldMeaning),
                    real(2, "centre_shift", "mm/s", -0.11, kCentreShiftMeaning, kCentreShiftConvention),
                    real(3, "quadrupole_shift", "mm/s", 0.0, kQuadShiftMeaning, kQuadShiftConvention, 2.0),
                    positive(real(4, "width", "mm/s", 0.25, "full width at half maximum of every line")),
                    real(5, "area", "", 1.0, "total area of the six lines (times pi/3.1416)")},
         intensities(6, kThinFoil)),
    linear_scale(12, 0.05, 128.5));

// Hematite at room temperature: 51.7 T, centre shift 0.37 mm/s.
constexpr auto kSextgen =
    join(join(join(general_head(51.7, 0.37, 0.10), intensities(6, kThinFoil)), linear_scale(12, 0.075, 128.5)),
         widths(14, 0.27, kFwhm));

constexpr auto kSextgenSs =
    join(join(join(general_head(33.0, -0.11, 0.0), intensities(6, kThinFoil)), sine_scale(12, 7.0, 128.5)),
         widths(14, 0.26, kFwhm));

constexpr auto kSextgenSl = join(
    join(join(join(general_head(33.0, -0.11, 0.0), intensities(6, kThinFoil)), sine_scale(12, 7.0, 256.5)),
         widths(14, 0.26, kFwhm)),
    std::array{real(20, "channels_per_radian", "channel/rad", 512.0 / std::numbers::pi,
                    "phase of channel n is (n - zero_channel) / channels_per_radian; 512/pi spans half a period")});

constexpr auto kVoigt = join(
    join(join(join(general_head(33.0, -0.11, 0.0), intensities(6, kThinFoil)), sine_scale(12, 7.0, 128.5)),
         widths(14, 0.2, kLorentzFwhm)),
    std::array{positive(real(21, "gauss_width", "mm/s", 0.15,
                             "Gaussian scale g common to all lines (profile coordinates (v - x)/(1.421 g))")),
               real(22, "spread", "", 0.3,
                    "channel at velocity v averages the profile over v (1 - spread^2) .. v; values scale with "
                    "spread^2",
                    "the sign does not matter")});

// A high-spin ferric site.
constexpr auto kDoubl = join(
    std::array{real(1, "centre_shift", "mm/s", 0.35, kCentreShiftMeaning, kCentreShiftConvention),
               real(2, "quadrupole_splitting", "mm/s", 0.70, "quadrupole splitting: distance between the two lines"),
               positive(real(3, "width", "mm/s", 0.25, "full width at half maximum of both lines")),
               real(4, "area", "", 1.0, "total area of the two lines (times pi/3.1416)")},
    linear_scale(5, 0.03, 128.5));

constexpr auto kTwoComponent = join(
    join(join(join(std::array{real(1, "field_T", "T", 33.0, kHyperfineFieldMeaning),
                              real(2, "offset1", "mm/s", -0.11, "velocity added to every line of the first component",
                                   kCentreShiftConvention),
                              real(3, "offset2", "mm/s", 0.15, "velocity added to every line of the second component",
                                   kCentreShiftConvention),
                              non_negative(real(4, "a", "mm/s", 0.2,
                                                "weight a/(a+b) of the second component; a/2 enters both half widths")),
                              non_negative(real(5, "b", "mm/s", 0.1,
                                                "weight b/(a+b) of the first component; extra half width of the second"))},
                   intensities(6, kThinFoil)),
              sine_scale(12, 7.0, 128.5)),
         widths(14, 0.25, kSplitWidth)),
    std::array{real(20, "extra_width", "mm/s", 0.05, "added to the half width of the second component")});

// ---- Spin-Hamiltonian models ------------------------------------------------------------

constexpr const char *kSpinhamRefusal = "NaN in channels 1..channels (tkv returns NaN), reason in mosslib_last_error()";

// The representative input: an S = 5/2 ion with D = -1.1 cm^-1 in 53.4 kG at 4.2 K,
// powder average over 480 directions. level_index is 3 for ttt, 26 for tkv.
constexpr std::array<mosslib_param, 10> spinham_ints(int level_index, double channels_min, double channels_max) {
    return {
        integer(0, "solver_route", 1,
                "eigen-solver of the electronic Hamiltonian: 1 published QL, -1 Householder-bisection, any other "
                "value the older QL"),
        limited(integer(1, "multiplicity", 6, "multiplicity 2S+1 of the iron spin seen by the nucleus"), 1,
                spinham::kMaxLevels, "multiplicity x multiplicity2 above 36 levels is refused too"),
        limited(integer(2, "multiplicity2", 1, "multiplicity 2S+1 of the exchange-coupled second spin (1: none)"), 1,
                spinham::kMaxLevels, "multiplicity x multiplicity2 above 36 levels is refused too"),
        integer(level_index, "level_mode", 1,
                "1: every populated level gives its own sextet; 2: the first multiplicity levels off the xy "
                "plane, the mean spin in it; other: one pass with the thermally averaged spin"),
        limited(integer(4, "nuclear_option", -1,
                        "radiation geometry: -2 averaged, -1 perpendicular to the field, 0 along it, 1 circular "
                        "along it, 2 the complement of 0"),
                -2, 2, kSpinhamRefusal),
        limited(integer(5, "channels", 256, "number of channels written"), channels_min, channels_max,
                "outside the range nothing can be written; tkv returns NaN"),
        limited(integer(6, "copies", 4,
                        "azimuthal quadrant copies m of the two-angle powder grid; 0: the one-angle grid in the xz "
                        "plane"),
                0, spinham::kMaxQuadrantCopies, "refused only with the powder grid (axes = 0)"),
        limited(integer(7, "rings", 15,
                        "polar rings n of the powder grid; the two-angle grid has m n (n+1)/2 directions"),
                1, kInf,
                "refused only with the powder grid; also the one-angle grid above 2^20 rings and the two-angle "
                "grid above 2^31 - 1 directions (n <= 65535 for m = 1, 32767 for m = 4, 6586 for m = 99)"),
        integer(8, "axes", 0, "non-zero: the field along x, y and z in turn instead of the powder grid"),
        integer(9, "lines_only", 0, "1: levels only, nothing written (tkv refuses it)"),
    };
}

constexpr std::array<mosslib_param, 33> kSpinhamReals = {
    real(0, "applied_field_kG", "kG", 53.4, "applied field H", "the effective field at the nucleus is A<S> - H"),
    positive(real(1, "temperature", "K", 4.2, "temperature (0.694 cm^-1 per K)")),
    real(3, "D_invcm", "cm^-1", -1.1, "axial zero-field splitting D of spin 1"),
    real(4, "E_over_D", "", 0.0, "rhombicity E/D of spin 1"),
    real(5, "D2_invcm", "cm^-1", 0.0, "axial zero-field splitting D of spin 2"),
    real(6, "E_over_D2", "", 0.0, "rhombicity E/D of spin 2"),
    real(7, "lambda_invcm", "cm^-1", 0.0,
         "non-zero: gx = gz - (1 - E/D) 2D/lambda and gy = gz - (1 + E/D) 2D/lambda for spin 1"),
    real(8, "g_x", "", 2.0, "g of spin 1 along x"),
    real(9, "g_y", "", 2.0, "g of spin 1 along y"),
    real(10, "g_z", "", 2.0, "g of spin 1 along z"),
    real(11, "g2_x", "", 2.0, "g of spin 2 along x"),
    real(12, "g2_y", "", 2.0, "g of spin 2 along y"),
    real(13, "g2_z", "", 2.0, "g of spin 2 along z"),
    real(14, "quadrupole_splitting", "mm/s", 0.13, "quadrupole splitting of the excited state, eta included",
         "positive: Vzz > 0"),
    real(15, "eta", "", 0.0, "asymmetry of the field gradient"),
    real(16, "efg_alpha", "deg", 0.0, "Euler angle alpha of the field-gradient frame"),
    real(17, "efg_beta", "deg", 0.0, "Euler angle beta of the field-gradient frame"),
    real(18, "efg_gamma", "deg", 0.0, "Euler angle gamma of the field-gradient frame"),
    real(19, "hyperfine_shift_done", "", 6000.0,
         "0: at the first level pass the engine adds -Azz of the turned tensor to Axx, Ayy and Azz (Azz then "
         "vanishes); any other value: nothing is added",
         "a marker only: its value is never used (6000, 1 and -300 give the same spectrum)"),
    real(22, "Jx_invcm", "cm^-1", 0.0, "exchange Jx S1x S2x"),
    real(23, "Jy_invcm", "cm^-1", 0.0, "exchange Jy S1y S2y"),
    real(24, "Jz_invcm", "cm^-1", 0.0, "exchange Jz S1z S2z"),
    real(25, "J_invcm", "cm^-1", 0.0, "isotropic exchange, added to each of Jx, Jy, Jz"),
    real(26, "zero_channel", "channel", 127.0, kZeroChannelMeaning),
    real(27, "velocity_step", kPerChannel, 0.09, "velocity per channel"),
    real(28, "centre_shift", "mm/s", 0.38, "isomer shift added to every line", kCentreShiftConvention),
    positive(real(29, "width", "mm/s", 0.28, "full width at half maximum of every line")),
    real(30, "A_xx_kG", "kG", -187.0, "hyperfine tensor principal value x, per unit spin",
         "negative for high-spin Fe(III): the field opposes the spin"),
    real(31, "A_yy_kG", "kG", -243.0, "hyperfine tensor principal value y, per unit spin"),
    real(32, "A_zz_kG", "kG", -227.0, "hyperfine tensor principal value z, per unit spin"),
    real(33, "hyperfine_alpha", "deg", 0.0, "Euler angle alpha of the hyperfine frame"),
    real(34, "hyperfine_beta", "deg", 0.0, "Euler angle beta of the hyperfine frame"),
    real(35, "hyperfine_gamma", "deg", 0.0, "Euler angle gamma of the hyperfine frame"),
};

constexpr auto kTtt = join(spinham_ints(3, 1, spinham::kMaxChannels), kSpinhamReals);
constexpr auto kTkv = join(spinham_ints(26, 256, 256), kSpinhamReals);

// ---- Relaxation model -----------------------------------------------------------------

constexpr const char *kParlRefusal = "all 256 elements of out NaN, reason in mosslib_last_error()";

// A high-spin Fe(III) (S = 5/2, D = -1 K) in 500 G at 4.2 K, field along z, slowly relaxing.
constexpr std::array<mosslib_param, 32> kParl = {
    limited(integer(1, "multiplicity", 6, "number of electronic states 2S+1"), 1, relax::kMaxLevels, kParlRefusal),
    zero_means(limited(integer(2, "channels", 256, "number of channels written"), 0, relax::kChannels, kParlRefusal),
               relax::kChannels),
    integer(3, "grid_symmetry", 15,
            "units digit: rotation subset (cubic 1 identity, 2 three, 3 six, 4 twelve, 5 all 24); tens digit 2: "
            "trigonal setting"),
    limited(integer(4, "grid_level", 0,
                    "0: one field direction (theta, phi); 1..5: grid of 4 2^(level-1) base directions times the "
                    "rotations; above 5 acts as 5"),
            0, kInf, kParlRefusal),
    zero_means(non_negative(real(1, "amplitude", "", 0.5, "depth of the deepest channel below 1")),
               relax::kDefaultAmplitude),
    non_negative(real(2, "relaxation_rate", "mm/s/K^n", 0.01,
         "relaxation prefactor; above 1000 the fast-relaxation limit (one sextet in the averaged field)")),
    real(3, "relaxation_power", "", 1.0, "power n of the energy gap in the rates"),
    zero_means(real(4, "velocity_step", kPerChannel, 0.08, "velocity per channel"), relax::kDefaultVelStep),
    real(5, "zero_channel", "channel", 128.5, kZeroChannelMeaning),
    real(6, "centre_shift", "mm/s", 0.4, "centre shift added to every line", kCentreShiftConvention),
    positive(real(7, "width", "mm/s", 0.25, "full width at half maximum of every line")),
    real(8, "beam_angle", "deg", 90.0, "angle whose P2(cos) scales the direction-dependent intensities"),
    real(9, "applied_field_G", "G", 500.0, "applied field"),
    zero_means(non_negative(real(10, "temperature", "K", 4.2, "temperature")), relax::kDefaultTemp),
    zero_means(real(11, "g_x", "", 2.0, "electronic g along x"), relax::kDefaultG),
    zero_means(real(12, "g_y", "", 2.0, "electronic g along y"), relax::kDefaultG),
    zero_means(real(13, "g_z", "", 2.0, "electronic g along z"), relax::kDefaultG),
    real(14, "A_xx_G", "G", -220000.0, "hyperfine tensor principal value x, per unit spin",
         "negative for high-spin Fe(III): the field opposes the spin"),
    real(15, "A_yy_G", "G", -220000.0, "hyperfine tensor principal value y, per unit spin"),
    real(16, "A_zz_G", "G", -220000.0, "hyperfine tensor principal value z, per unit spin"),
    real(17, "D_K", "K", -1.0, "axial zero-field splitting D"),
    real(18, "E_K", "K", 0.0, "rhombic zero-field splitting E"),
    real(19, "quadrupole_splitting", "mm/s", 0.3, "quadrupole splitting, eta included", "positive: Vzz > 0"),
    real(20, "eta", "", 0.0, "asymmetry of the field gradient"),
    real(21, "efg_alpha", "deg", 0.0, "Euler angle alpha of the field-gradient frame"),
    real(22, "efg_beta", "deg", 0.0, "Euler angle beta of the field-gradient frame"),
    real(23, "efg_gamma", "deg", 0.0, "Euler angle gamma of the field-gradient frame"),
    real(24, "hyperfine_alpha", "deg", 0.0, "Euler angle alpha of the hyperfine frame"),
    real(25, "hyperfine_beta", "deg", 0.0, "Euler angle beta of the hyperfine frame"),
    real(26, "hyperfine_gamma", "deg", 0.0, "Euler angle gamma of the hyperfine frame"),
    real(27, "theta", "deg", 0.0, "polar angle of the field direction (grid_level 0)"),
    real(28, "phi", "deg", 0.0, "azimuth of the field direction (grid_level 0)"),
};

// ---- Thick absorber ---------------------------------------------------------------------

constexpr const char *kThickRefusal = "NaN in the channels values, reason in mosslib_last_error()";
constexpr double kTiniest = std::numeric_limits<double>::denorm_min();

constexpr std::array<mosslib_param, 5> thick_head() {
    return {
        limited(integer(1, "channels", 512, "number of velocities given, and of values written"), 1,
                thickness::kMaxVelocities, "outside the range nothing is written"),
        limited(non_negative(real(0, "t_a", "", 5.0,
                                  "effective thickness: t_a (pi absorber_width / 2) is the area of the "
                                  "cross-section; a single line of width absorber_width peaks at t_a")),
                0.0, kInf, kThickRefusal),
        limited(non_negative(real(1, "f_s", "", 0.7, "recoil-free fraction of the source")), 0.0, 1.0,
                kThickRefusal),
        limited(positive(real(2, "source_width", "mm/s", 0.11,
                              "full width at half maximum of the source line (Lorentzian)")),
                kTiniest, kInf, kThickRefusal),
        limited(positive(real(3, "absorber_width", "mm/s", 0.25,
                              "full width at half maximum of the line whose peak thickness t_a is")),
                kTiniest, kInf, kThickRefusal),
    };
}

constexpr auto kThickLines = join(
    std::array{limited(integer(0, "line_count", 6,
                               "lines of the cross-section, four doubles each: centre, relative area, "
                               "Lorentzian and Gaussian full widths"),
                       1, thickness::kMaxLines, kThickRefusal)},
    thick_head());

constexpr auto kThickSampled = join(
    join(std::array{limited(integer(0, "sample_count", 256, "samples of the cross-section"), 2,
                            thickness::kMaxSamples, kThickRefusal)},
         thick_head()),
    std::array{limited(real(4, "sample_start", "mm/s", -10.0, "energy (velocity) of the first sample"), -kInf,
                       kInf, ""),
               limited(positive(real(5, "sample_step", "mm/s", 0.08, "energy step between samples")), kTiniest,
                       kInf, kThickRefusal)});

#if MOSSLIB_HYPERFINE
// ---- Hyperfine models ----------------------------------------------------------------------

constexpr const char *kHyperfineRefusal = "all 4096 elements of spectrum NaN, reason in mosslib_last_error()";
constexpr const char *kAlphaIronFieldMeaning =
    "hyperfine field on the alpha-iron scale: the outer lines of a pure magnetic sextet lie B x 10.657/33.0 "
    "mm/s apart";

constexpr mosslib_param hyperfine_channels() {
    return limited(integer(0, "channels", 512, "number of channels written"), 1, hamiltonian::kMaxChannels,
                   kHyperfineRefusal);
}

// A ferrous site in a field comparable to its quadrupole interaction (eQVzz/2 = 2.8 mm/s,
// 12 T at an angle to the gradient), beam along a partly ordered texture axis.
constexpr std::array<mosslib_param, 15> kSite = [] {
    namespace s = hamiltonian::site_slot;
    return std::array<mosslib_param, 15>{
        hyperfine_channels(),
        real(s::field, "field_T", "T", 12.0, kAlphaIronFieldMeaning),
        real(s::quadrupole_coupling, "quadrupole_coupling", "mm/s", 2.8,
             "quadrupole coupling eQVzz/2 (the splitting of a pure quadrupole doublet at eta = 0)",
             "positive: Vzz > 0"),
        real(s::eta, "eta", "", 0.4, "asymmetry of the field gradient"),
        real(s::field_theta, "field_theta", "deg", 60.0, "polar angle of the field from the gradient's z axis"),
        real(s::field_phi, "field_phi", "deg", 30.0, "azimuth of the field in the gradient's principal frame"),
        real(s::beam_theta, "beam_theta", "deg", 20.0,
             "polar angle of the gamma-ray (texture) axis in the gradient's principal frame"),
        real(s::beam_phi, "beam_phi", "deg", 10.0, "azimuth of the gamma-ray (texture) axis"),
        limited(real(s::texture_order, "texture_order", "", 0.5,
                     "mean P2 of the gamma-ray direction about that axis: 0 powder, 1 single crystal, -0.5 "
                     "perpendicular"),
                hamiltonian::kMinTextureOrder, hamiltonian::kMaxTextureOrder, kHyperfineRefusal),
        real(s::centre_shift, "centre_shift", "mm/s", 1.0, kCentreShiftMeaning, kCentreShiftConvention),
        positive(real(s::width, "width", "mm/s", 0.25, "Lorentzian full width at half maximum of every line")),
        non_negative(real(s::gauss_fwhm, "gauss_fwhm", "mm/s", 0.0,
                          "Gaussian full width at half maximum convolved with every line (0: Lorentzian lines)")),
        real(s::area, "area", "", 1.0, "total area of the lines (mm/s)"),
        real(s::velocity_step, "velocity_step", kPerChannel, 0.04, "velocity per channel"),
        real(s::zero_channel, "zero_channel", "channel", 256.5, kZeroChannelMeaning),
    };
}();

constexpr const char *kDistributionRefusal =
    "all 4096 elements of spectrum NaN, reason in mosslib_last_error()";

template <std::size_t N>
constexpr std::array<mosslib_param, 3 * distribution::kMaxComponents> gaussian_components(
    int first, const char *const (&names)[N], const char *unit, const std::array<double, 12> &example,
    const char *const (&meanings)[3]) {
    std::array<mosslib_param, 3 * distribution::kMaxComponents> out{};
    for (int c = 0; c < distribution::kMaxComponents; ++c) {
        out[3 * c] = real(first + 3 * c, names[3 * c], unit, example[3 * c], meanings[0]);
        out[3 * c + 1] = limited(non_negative(real(first + 3 * c + 1, names[3 * c + 1], unit, example[3 * c + 1],
                                                   meanings[1])),
                                 0.0, kInf, kDistributionRefusal);
        out[3 * c + 2] = limited(non_negative(real(first + 3 * c + 2, names[3 * c + 2], "", example[3 * c + 2],
                                                   meanings[2])),
                                 0.0, kInf, kDistributionRefusal);
    }
    return out;
}

constexpr std::array<mosslib_param, 2> distribution_ints(double components) {
    return {hyperfine_channels(),
            limited(integer(1, "components", components,
                            "Gaussian components of the distribution (their slots beyond this are not read)"),
                    1, distribution::kMaxComponents, kDistributionRefusal)};
}

constexpr const char *kFieldComponentNames[12] = {"field1_T", "field_sd1_T", "weight1", "field2_T",
                                                  "field_sd2_T", "weight2", "field3_T", "field_sd3_T",
                                                  "weight3", "field4_T", "field_sd4_T", "weight4"};
constexpr const char *kFieldComponentMeanings[3] = {
    "mean field of a Gaussian component (alpha-iron scale)", "standard deviation of the component's field",
    "weight of the component (only ratios matter)"};

// A bimodal field distribution: 30 T (sd 2 T, 40 %) and 45 T (sd 4 T, 60 %).
constexpr auto kFieldDistribution = [] {
    namespace f = distribution::field_slot;
    return join(join(join(join(distribution_ints(2),
                               std::array{real(f::centre_shift, "centre_shift", "mm/s", 0.3,
                                               "centre shift at the first component's mean field",
                                               kCentreShiftConvention),
                                          real(f::centre_shift_per_T, "centre_shift_per_T", "mm/s/T", 0.002,
                                               "change of the centre shift per tesla of field"),
                                          real(f::quadrupole_shift, "quadrupole_shift", "mm/s", -0.05,
                                               "first-order quadrupole shift at the first component's mean field",
                                               kQuadShiftConvention),
                                          real(f::quadrupole_shift_per_T, "quadrupole_shift_per_T", "mm/s/T", 0.001,
                                               "change of the quadrupole shift per tesla of field"),
                                          positive(real(f::width, "width", "mm/s", 0.25,
                                                        "Lorentzian full width at half maximum of every line")),
                                          real(f::area, "area", "", 1.0, "total area of the lines (mm/s)")}),
                          intensities(f::intensity1, kThinFoil)),
                     linear_scale(f::velocity_step, 0.08, 128.5)),
                gaussian_components(f::first_component, kFieldComponentNames, "T",
                                    {30.0, 2.0, 0.4, 45.0, 4.0, 0.6, 20.0, 3.0, 0.2, 50.0, 1.0, 0.3},
                                    kFieldComponentMeanings));
}();

constexpr const char *kSplittingComponentNames[12] = {
    "splitting1", "splitting_sd1", "weight1", "splitting2", "splitting_sd2", "weight2",
    "splitting3", "splitting_sd3", "weight3", "splitting4", "splitting_sd4", "weight4"};
constexpr const char *kSplittingComponentMeanings[3] = {"mean quadrupole splitting of a Gaussian component",
                                                        "standard deviation of the component's splitting",
                                                        "weight of the component (only ratios matter)"};

// Two ferric doublets of a poorly crystalline oxide.
constexpr auto kSplittingDistribution = [] {
    namespace q = distribution::splitting_slot;
    return join(join(join(distribution_ints(2),
                          std::array{real(q::centre_shift, "centre_shift", "mm/s", 0.35,
                                          "centre shift at the first component's mean splitting",
                                          kCentreShiftConvention),
                                     real(q::centre_shift_per_QS, "centre_shift_per_QS", "", 0.05,
                                          "change of the centre shift per mm/s of splitting"),
                                     positive(real(q::width, "width", "mm/s", 0.25,
                                                   "Lorentzian full width at half maximum of every line")),
                                     real(q::area, "area", "", 1.0, "total area of the lines (mm/s)")}),
                     linear_scale(q::velocity_step, 0.03, 128.5)),
                gaussian_components(q::first_component, kSplittingComponentNames, "mm/s",
                                    {0.6, 0.15, 0.6, 1.1, 0.3, 0.4, 1.6, 0.2, 0.1, 0.3, 0.05, 0.2},
                                    kSplittingComponentMeanings));
}();
#endif

// ---- The table ----------------------------------------------------------------------------

constexpr double kAnalyticReturn = 0.1;

template <std::size_t N>
constexpr mosslib_model analytic(const char *name, const char *summary, int n_reals,
                                 const std::array<mosslib_param, N> &ps, int channels, int scale,
                                 bool lowers_priority = true) {
    const bool sine = scale != MOSSLIB_SCALE_LINEAR;
    return {name,
            summary,
            0,
            n_reals,
            static_cast<std::int32_t>(N),
            MOSSLIB_OUTPUT_ABSORPTION,
            ps.data(),
            channels,
            -1,
            channels,
            scale,
            scale == MOSSLIB_SCALE_SINE_FIXED ? lineshape::kSinePhaseStep : 0.0,
            index_of(ps, sine ? "velocity_amplitude" : "velocity_step"),
            index_of(ps, "zero_channel"),
            index_of(ps, "channels_per_radian"),
            MOSSLIB_RETURNS_CONSTANT,
            kAnalyticReturn,
            lowers_priority ? 1 : 0,
            0};
}

template <std::size_t N>
constexpr mosslib_model engine(const char *name, const char *summary, int n_ints, int n_reals,
                               const std::array<mosslib_param, N> &ps, int output, int max_channels, int returns,
                               double return_value) {
    return {name,
            summary,
            n_ints,
            n_reals,
            static_cast<std::int32_t>(N),
            output,
            ps.data(),
            0,
            index_of(ps, "channels"),
            max_channels,
            MOSSLIB_SCALE_LINEAR,
            0.0,
            index_of(ps, "velocity_step"),
            index_of(ps, "zero_channel"),
            -1,
            returns,
            return_value,
            1,
            0};
}

// The thick absorber: arrays of lines (or samples) and velocities beside ints and reals;
// no velocity scale of its own (the caller gives the velocities).
template <std::size_t N>
constexpr mosslib_model given_velocities(const char *name, const char *summary, int n_reals,
                                         const std::array<mosslib_param, N> &ps) {
    return {name, summary, 2, n_reals, static_cast<std::int32_t>(N), MOSSLIB_OUTPUT_TRANSMISSION, ps.data(), 0,
            index_of(ps, "channels"), thickness::kMaxVelocities, MOSSLIB_SCALE_NONE, 0.0, -1, -1, -1,
            MOSSLIB_RETURNS_CONSTANT, 1.0, 1, 0};
}

#if MOSSLIB_HYPERFINE
constexpr std::size_t kModelCount = 15;
#else
constexpr std::size_t kModelCount = 12;
#endif

const std::array<mosslib_model, kModelCount> kModels = {
    analytic("sext", "magnetic sextet, one common width, 256 channels on a linear scale", 14, kSext,
             lineshape::kChannels, MOSSLIB_SCALE_LINEAR),
    analytic("sextgen", "general sextet with per-line widths, 256 channels on a linear scale", 20, kSextgen,
             lineshape::kChannels, MOSSLIB_SCALE_LINEAR),
    analytic("sextgen_ss", "general sextet with per-line widths, 256 channels on a sine scale", 20, kSextgenSs,
             lineshape::kChannels, MOSSLIB_SCALE_SINE_FIXED),
    analytic("sextgen_sl", "general sextet, 512 channels on a sine scale with a given phase step", 21, kSextgenSl,
             lineshape::kLongChannels, MOSSLIB_SCALE_SINE_GIVEN),
    analytic("doubl", "quadrupole doublet, 256 channels on a linear scale", 7, kDoubl, lineshape::kChannels,
             MOSSLIB_SCALE_LINEAR, false),
    analytic("VogGenVel_ss", "Voigt sextet with a velocity spread, 256 channels on a sine scale", 23, kVoigt,
             lineshape::kChannels, MOSSLIB_SCALE_SINE_FIXED),
    analytic("CSTfdll", "two-component sextet with interference term, 256 channels on a sine scale", 21,
             kTwoComponent, lineshape::kChannels, MOSSLIB_SCALE_SINE_FIXED),
    engine("ttt", "spin-Hamiltonian powder (or three-axis) spectrum of an iron site in an applied field", 10, 37,
           kTtt, MOSSLIB_OUTPUT_ABSORPTION, spinham::kMaxChannels, MOSSLIB_RETURNS_CONSTANT, 2.0),
    engine("tkv", "sum of squared residuals of the ttt model against a measured spectrum (channels 2..256)", 27, 37,
           kTkv, MOSSLIB_OUTPUT_OBJECTIVE, 256, MOSSLIB_RETURNS_OBJECTIVE, kNone),
    engine("parl", "relaxation spectrum of a paramagnetic Fe ion whose electronic states relax among one another",
           5, 29, kParl, MOSSLIB_OUTPUT_TRANSMISSION, relax::kChannels, MOSSLIB_RETURNS_CONSTANT, 1.0),
#if MOSSLIB_HYPERFINE
    engine("mosslib_hamiltonian_site",
           "static site from the exact nuclear Hamiltonians in a field and a field gradient (eight lines)",
           hamiltonian::kSiteInts, hamiltonian::kSiteReals, kSite, MOSSLIB_OUTPUT_ABSORPTION, hamiltonian::kMaxChannels,
           MOSSLIB_RETURNS_CONSTANT, 1.0),
    engine("mosslib_field_distribution",
           "sextet with a hyperfine-field distribution of Gaussian components (exact Voigt lines)",
           distribution::kDistributionInts, distribution::kFieldReals, kFieldDistribution, MOSSLIB_OUTPUT_ABSORPTION,
           hamiltonian::kMaxChannels, MOSSLIB_RETURNS_CONSTANT, 1.0),
    engine("mosslib_splitting_distribution",
           "doublet with a quadrupole-splitting distribution of Gaussian components (exact Voigt lines)",
           distribution::kDistributionInts, distribution::kSplittingReals, kSplittingDistribution,
           MOSSLIB_OUTPUT_ABSORPTION, hamiltonian::kMaxChannels, MOSSLIB_RETURNS_CONSTANT, 1.0),
#endif
    given_velocities("mosslib_thick_lines",
                     "thick-absorber transmission of a cross-section of Lorentzian or Voigt lines at given "
                     "velocities (arrays: lines, velocity, out)",
                     4, kThickLines),
    given_velocities("mosslib_thick_sampled",
                     "thick-absorber transmission of a sampled cross-section at given velocities (arrays: "
                     "samples, velocity, out)",
                     6, kThickSampled),
};

double raw_real(const mosslib_model &m, int param, const double *reals) { return reals[m.params[param].index]; }

}  // namespace

std::span<const mosslib_model> models() noexcept { return kModels; }

const mosslib_model *find_model(std::string_view name) noexcept {
    for (const mosslib_model &m : kModels)
        if (name == m.name) return &m;
    return nullptr;
}

int find_param(const mosslib_model &model, std::string_view name) noexcept {
    for (int i = 0; i < model.n_params; ++i)
        if (name == model.params[i].name) return i;
    return -1;
}

int channel_count(const mosslib_model &model, const std::int32_t *ints, const double *) noexcept {
    if (model.channels_param < 0) return model.channels;
    const mosslib_param &p = model.params[model.channels_param];
    const std::int32_t raw = ints[p.index];
    if (raw < p.min || raw > p.max) return -1;
    return raw == 0 && !std::isnan(p.zero_means) ? static_cast<int>(p.zero_means) : raw;
}

int channel_velocities(const mosslib_model &model, const std::int32_t *ints, const double *reals,
                       double *velocity) noexcept {
    if (model.scale == MOSSLIB_SCALE_NONE) return -1;  // velocities come from the caller
    const int n = channel_count(model, ints, reals);
    if (n < 0) return -1;
    const double step = raw_real(model, model.step_param, reals);
    const double zero = raw_real(model, model.zero_param, reals);
    if (model.n_ints == 0) {  // the analytic models: their own scale code
        const auto scale = model.scale == MOSSLIB_SCALE_LINEAR      ? lineshape::VelocityScale::linear
                           : model.scale == MOSSLIB_SCALE_SINE_FIXED ? lineshape::VelocityScale::sine_fixed_step
                                                                     : lineshape::VelocityScale::sine_channels_per_radian;
        const double rate = model.rate_param >= 0 ? raw_real(model, model.rate_param, reals) : 0.0;
        lineshape::channel_velocities(scale, {step, zero, rate}, n, velocity);
    } else if (model.output == MOSSLIB_OUTPUT_TRANSMISSION) {  // parl: the engine's single-precision axis
        const float vel_step = relax::or_default(static_cast<float>(step), relax::kDefaultVelStep);
        for (int ch = 1; ch <= n; ++ch)
            velocity[ch - 1] = relax::channel_velocity(ch, static_cast<float>(zero), vel_step);
    } else {  // ttt, tkv: channel c at (c - zero) * step
        for (int ch = 1; ch <= n; ++ch) velocity[ch - 1] = lineshape::linear_velocity(ch, zero, step);
    }
    return n;
}

}  // namespace mosslib::catalog
