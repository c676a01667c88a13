// Eight Lorentzian lines added to the spectrum accumulator.
#pragma once

namespace mosslib::spinham {

// acc[c-1] += Inuc[i] w / (x^2 + width^2/4), x = delta c - (Enuc[i] + c0 delta), for the
// eight lines i and channels c = 1..g. c0 is the channel of the isomer shift, delta the
// velocity step; the line peak is Inuc w 4 / width^2.
void addlines(int g, double c0, const double *enuc, const double *inuc, double w, double width, double delta,
              double *acc);

}  // namespace mosslib::spinham
