/* A program that uses mosslib as an outside project does: only the installed header
 * and library. It checks what the installation must deliver against closed forms. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <mosslib.h>

#ifndef EXPECTED_VERSION
#error "EXPECTED_VERSION: the version the package files announce"
#endif

static const double pi = 3.14159265358979323846;
static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "consumer: %s\n", what);
        ++failures;
    }
}

int main(void) {
    /* The library loaded is the one the package files describe. */
    check(strcmp(mosslib_version(), EXPECTED_VERSION) == 0, "library version differs from the package's");

    mosslib_set_priority_step(0);
    check(mosslib_priority_step() == 0, "priority step not switched off");

    /* Doublet at 0 +- 1 mm/s, width 0.2, area 1, 0.05 mm/s per channel, centred. The
     * two Lorentzians integrate over the window to (pi/3.1416) times their share of
     * the area that falls into it: sum over lines of 0.5 (atan((hi-c)/g) - atan((lo-c)/g)) / pi. */
    const double step = 0.05, zero = 128.5, gamma = 0.1;
    double p[7] = {0, 0.0, 2.0, 2.0 * gamma, 1.0, step, zero};
    double s[256];
    check(doubl(p, s) == 0.1, "doubl does not return 0.1");
    double sum = 0.0;
    int peak = 0;
    for (int i = 0; i < 256; ++i) {
        sum += s[i];
        if (s[i] > s[peak]) peak = i;
        check(fabs(s[i] - s[255 - i]) <= 1e-12 * s[i], "doublet about 0 is not symmetric");
    }
    double lo = (1 - zero - 0.5) * step, hi = (256 - zero + 0.5) * step, inside = 0.0;
    for (int k = -1; k <= 1; k += 2)
        inside += 0.5 * (atan((hi - k) / gamma) - atan((lo - k) / gamma)) / pi;
    double expected = pi / 3.1416 * inside;
    check(fabs(sum * step - expected) < 1e-4 * expected, "doublet area differs from the closed form");
    check(fabs(fabs((peak + 1 - zero) * step) - 1.0) <= step, "doublet line not at +-1 mm/s");

    /* Structurally impossible input: NaN in the spectrum and a reason, not a crash. */
    int32_t ib[5] = {0, 7, 256, 15, 0};
    double db[29] = {0};
    double out[256];
    parl(ib, db, out);
    check(isnan(out[0]) && isnan(out[255]), "refused parl call did not give NaN");
    check(mosslib_last_error()[0] != '\0', "refused parl call left no reason");

    if (failures) return 1;
    printf("consumer: mosslib %s ok\n", mosslib_version());
    return 0;
}
