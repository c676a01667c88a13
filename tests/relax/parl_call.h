// A call of parl with named parameters; defaults give a high-spin Fe3+ sextet.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "mosslib.h"

namespace mosslib::testing {

struct ParlCall {
    std::array<std::int32_t, 5> ib{};
    std::array<double, 29> db{};

    ParlCall() {
        ib[1] = 6;      // n_levels
        ib[2] = 256;    // n_chan
        ib[3] = 15;     // grid_sym
        ib[4] = 0;      // grid_level
        db[1] = 0.5;    // amplitude
        db[2] = 0.01;   // relax_rate
        db[3] = 1;      // relax_pow
        db[4] = 0.08;   // vel_step
        db[5] = 128.5;  // zero_chan
        db[6] = 0.0;    // shift
        db[7] = 0.25;   // line_width
        db[8] = 90;     // beam_angle
        db[9] = 500;    // field
        db[10] = 4.2;   // temp
        db[11] = db[12] = db[13] = 2;
        db[14] = db[15] = db[16] = -220000;
        db[17] = -1;    // D
        db[19] = 0.3;   // quad_split
        db[27] = 30;    // theta
        db[28] = 20;    // phi
    }
    std::vector<double> run(double fill = 0.0) const {
        std::vector<double> out(256, fill);
        parl(ib.data(), db.data(), out.data());
        return out;
    }
    double velocity(int channel) const { return (channel - db[5]) * (db[4] == 0 ? 0.1 : db[4]); }
};

}  // namespace mosslib::testing
