// mosspec model of the relaxation export parl.
#include <cmath>

#include "model_registry.h"
#include "mosslib.h"

namespace {

using mosspec::Inputs;
using mosspec::Param;
using mosspec::Result;

Result run_parl(const Inputs &in) {
    int32_t ib[5] = {0};
    double db[29] = {0};
    ib[1] = static_cast<int32_t>(in["multiplicity"]);
    ib[2] = static_cast<int32_t>(in["channels"]);
    ib[3] = static_cast<int32_t>(in["grid_sym"]);
    ib[4] = static_cast<int32_t>(in["grid_level"]);
    const char *reals[29] = {nullptr,     "amplitude", "relax_rate", "relax_pow", "vel_step",  "zero_chan",
                             "shift",     "width",     "beam_angle", "field",     "temp",      "g_x",
                             "g_y",       "g_z",       "a_x",        "a_y",       "a_z",       "D",
                             "E",         "quad_split", "eta",       "efg_alpha", "efg_beta",  "efg_gamma",
                             "hyp_alpha", "hyp_beta",  "hyp_gamma",  "theta",     "phi"};
    for (int i = 1; i <= 28; ++i) db[i] = in[reals[i]];

    double out[256];
    for (double &x : out) x = std::nan("");
    parl(ib, db, out);

    const int n_chan = ib[2] == 0 ? 256 : ib[2];
    const double step = db[4] == 0 ? 0.1 : db[4];
    Result r;
    for (int ch = 1; ch <= n_chan && ch <= 256; ++ch) {
        r.velocity.push_back((ch - db[5]) * step);
        r.value.push_back(out[ch - 1]);
    }
    return r;
}

const bool registered = mosspec::register_model({
    "parl",
    "relaxation spectrum of a paramagnetic Fe ion (electronic states relaxing among one another)",
    {
        Param{"multiplicity", "", 6, "number of electronic states 2S+1, 1..6", true},
        Param{"channels", "", 256, "channels computed, 0 = 256", true},
        Param{"grid_sym", "", 15, "grid symmetry: units digit = rotation subset, tens digit 2 = trigonal", true},
        Param{"grid_level", "", 0, "0 = single orientation (theta, phi); 1..5 = orientation grid", true},
        Param{"amplitude", "", 0.5, "depth of the deepest channel (0 = 1)"},
        Param{"relax_rate", "mm/s/K^n", 0.01, "relaxation prefactor; > 1000 = fast-relaxation limit"},
        Param{"relax_pow", "", 1, "power n of the energy gap in the rates"},
        Param{"vel_step", "mm/s", 0.08, "velocity per channel (0 = 0.1)"},
        Param{"zero_chan", "", 128.5, "channel of zero velocity"},
        Param{"shift", "mm/s", 0.4, "centre shift"},
        Param{"width", "mm/s", 0.25, "line width (FWHM)"},
        Param{"beam_angle", "deg", 90, "angle whose P2(cos) scales the direction-dependent intensities"},
        Param{"field", "G", 500, "applied field"},
        Param{"temp", "K", 4.2, "temperature (0 = 4.2)"},
        Param{"g_x", "", 2, "electronic g, x (0 = 2)"},
        Param{"g_y", "", 2, "electronic g, y (0 = 2)"},
        Param{"g_z", "", 2, "electronic g, z (0 = 2)"},
        Param{"a_x", "G", -220000, "hyperfine field per unit spin, x"},
        Param{"a_y", "G", -220000, "hyperfine field per unit spin, y"},
        Param{"a_z", "G", -220000, "hyperfine field per unit spin, z"},
        Param{"D", "K", -1, "axial zero-field splitting"},
        Param{"E", "K", 0, "rhombic zero-field splitting"},
        Param{"quad_split", "mm/s", 0.3, "quadrupole splitting"},
        Param{"eta", "", 0, "asymmetry of the field gradient"},
        Param{"efg_alpha", "deg", 0, "field-gradient Euler angle alpha"},
        Param{"efg_beta", "deg", 0, "field-gradient Euler angle beta"},
        Param{"efg_gamma", "deg", 0, "field-gradient Euler angle gamma"},
        Param{"hyp_alpha", "deg", 0, "hyperfine Euler angle alpha"},
        Param{"hyp_beta", "deg", 0, "hyperfine Euler angle beta"},
        Param{"hyp_gamma", "deg", 0, "hyperfine Euler angle gamma"},
        Param{"theta", "deg", 0, "polar angle of the field (single orientation)"},
        Param{"phi", "deg", 0, "azimuth of the field (single orientation)"},
    },
    run_parl,
});

}  // namespace
