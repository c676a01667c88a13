/*
 * One call of every export with fixed example parameters, shared by the Windows host
 * (entry points found by name in a loaded DLL) and the Linux reference host (entry
 * points linked directly), so that both write their spectra from the same inputs.
 *
 * Each spectrum goes to <dir>/<export>.hex, one channel a line, as the 16 hex digits
 * of the double's bits: the comparison can then be exact to the last bit.
 *
 * The families compiled in follow MOSSLIB_HAVE_LINESHAPE, MOSSLIB_HAVE_SPINHAM and
 * MOSSLIB_HAVE_RELAX: an entry point of a family the library does not build yet is
 * neither looked up nor called.
 */
#ifndef MOSSLIB_EXAMPLE_CALLS_H
#define MOSSLIB_EXAMPLE_CALLS_H

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "mosslib.h"

typedef double(MOSSLIB_CALL *analytic_fn)(const double *p, double *spectrum);
typedef int32_t(MOSSLIB_CALL *ttt_fn)(const int32_t *ints, const double *reals, double *spectrum);
typedef double(MOSSLIB_CALL *tkv_fn)(const int32_t *ints, const double *reals, const double *measured);
typedef int32_t(MOSSLIB_CALL *parl_fn)(const int32_t *ib, const double *db, double *out);
typedef const char *(MOSSLIB_CALL *text_fn)(void);

/* What a host supplies: how to find an entry point, and a priority check around each
 * call (the Windows host checks the process priority class; NULL skips the check).
 * before() runs just before the call, after() just after it and returns 0 on failure;
 * lowers says whether the export is expected to lower the priority. */
struct example_host {
    void *(*find)(const char *name);
    void (*before)(void);
    int (*after)(const char *name, int lowers);
    const char *out_dir;
};

enum { EXAMPLE_MAX_CHANNELS = 512 };

/* ---- inputs ------------------------------------------------------------------ */

struct analytic_example {
    const char *name;
    int channels;
    int lowers_priority;
    double p[23];
};

/* Velocities in mm/s: an iron-like sextet (field 33, line pairs at about +-5.3,
 * +-3.1, +-0.8 mm/s) and a ferric doublet, on 256 channels around channel 128.5
 * (fractional, so that no channel sits at velocity 0). */
static const struct analytic_example analytic_examples[] = {
    {"sext", 256, 1,
     {0, 33.0, 0.02, 0.04, 0.28, 1.0, 3, 2, 1, 1, 2, 3, 0.05, 128.5}},
    {"sextgen", 256, 1,
     {0, 33.0, 0.2, 0.05, 0, 1.0, 3, 2, 1, 1, 2, 3, 0.05, 128.5,
      0.28, 0.27, 0.26, 0.26, 0.27, 0.29}},
    {"sextgen_ss", 256, 1,
     {0, 33.0, 0.2, 0.05, 0, 1.0, 3, 2, 1, 1, 2, 3, 8.0, 128.5,
      0.28, 0.27, 0.26, 0.26, 0.27, 0.29}},
    {"sextgen_sl", 512, 1,
     {0, 33.0, 0.2, 0.05, 0, 1.0, 3, 2, 1, 1, 2, 3, 8.0, 256.5,
      0.28, 0.27, 0.26, 0.26, 0.27, 0.29, 163.0}},
    {"doubl", 256, 0,
     {0, 0.35, 0.8, 0.28, 1.0, 0.05, 128.5}},
    {"VogGenVel_ss", 256, 1,
     {0, 33.0, 0.2, 0.05, 0, 1.0, 3, 2, 1, 1, 2, 3, 8.0, 128.5,
      0.28, 0.27, 0.26, 0.26, 0.27, 0.29, 0, 0.15, 0.3}},
    {"CSTfdll", 256, 1,
     {0, 33.0, 0.1, 0.3, 1.0, 2.0, 3, 2, 1, 1, 2, 3, 8.0, 128.5,
      0.28, 0.27, 0.26, 0.26, 0.27, 0.29, 0.1}},
};

static inline const struct analytic_example *analytic_example_named(const char *name) {
    for (size_t k = 0; k < sizeof analytic_examples / sizeof analytic_examples[0]; ++k)
        if (strcmp(analytic_examples[k].name, name) == 0) return &analytic_examples[k];
    return NULL;
}

/* Spin-Hamiltonian: high-spin ferric ion (S = 5/2) in 53.4 kG at 4.2 K, D = -1.1 cm-1,
 * powder grid with 4 quadrant copies of 15 rings. */
static const int32_t ttt_ints[10] = {1, 6, 1, 1, -1, 256, 4, 15, 0, 0};

static inline void ttt_reals(double r[37]) {
    memset(r, 0, 37 * sizeof r[0]);
    r[0] = 53.4;  /* H */
    r[1] = 4.2;   /* T */
    r[3] = -1.1;  /* D */
    for (int i = 8; i <= 13; ++i) r[i] = 2.0; /* g factors of both spins */
    r[14] = 0.13; /* quadrupole splitting */
    r[19] = 6000; /* hyperfine shift */
    r[26] = 127;  /* zero channel */
    r[27] = 0.09; /* velocity step */
    r[28] = 0.38; /* isomer shift */
    r[29] = 0.28; /* width */
    r[30] = -187;
    r[31] = -243;
    r[32] = -227; /* AXX, AYY, AZZ */
}

/* tkv reads the level mode from index 26 of an array of at least 27 integers. */
static inline void tkv_ints(int32_t ints[27]) {
    memset(ints, 0, 27 * sizeof ints[0]);
    memcpy(ints, ttt_ints, sizeof ttt_ints);
    ints[26] = 1;
}

/* Relaxation: S = 5/2 (six states) with D = 1 K, E = 0.1 K in 500 G at 4.2 K, rate
 * prefactor 0.5 mm/s, averaged over the level-2 grid in the cubic frame with six
 * rotations (grid_sym 13: 48 orientations); 256 channels. */
static const int32_t parl_ib[5] = {0, 6, 0, 13, 2};

static inline void parl_db(double d[29]) {
    memset(d, 0, 29 * sizeof d[0]);
    d[1] = 1.0;       /* amplitude */
    d[2] = 0.5;       /* relaxation rate prefactor */
    d[3] = 1.0;       /* exponent of the energy gap */
    d[4] = 0.09013;   /* velocity step, rounded to single precision by the engine */
    d[5] = 128.5;     /* zero channel */
    d[6] = 0.4;       /* centre shift */
    d[7] = 0.25;      /* line width */
    d[9] = 500;       /* applied field, gauss */
    d[10] = 4.2;      /* temperature */
    d[11] = d[12] = d[13] = 2.0;
    d[14] = d[15] = d[16] = -220000; /* hyperfine tensor, gauss */
    d[17] = 1.0;      /* D, kelvin */
    d[18] = 0.1;      /* E, kelvin */
    d[19] = 0.6;      /* quadrupole splitting */
    d[20] = 0.3;      /* eta */
}

/* ---- output ------------------------------------------------------------------ */

static inline int example_write(const struct example_host *h, const char *name, const double *v, int n) {
    char path[1024];
    snprintf(path, sizeof path, "%s/%s.hex", h->out_dir, name);
    FILE *f = fopen(path, "w");
    if (!f) {
        fprintf(stderr, "cannot write %s\n", path);
        return 0;
    }
    for (int i = 0; i < n; ++i) {
        uint64_t bits;
        memcpy(&bits, &v[i], sizeof bits);
        fprintf(f, "%016llx\n", (unsigned long long)bits);
    }
    return fclose(f) == 0;
}

/* A spectrum that came back must be finite in every channel and not all zero. */
static inline int example_spectrum_sane(const char *name, const double *v, int n) {
    int nonzero = 0;
    for (int i = 0; i < n; ++i) {
        if (!isfinite(v[i])) {
            fprintf(stderr, "%s: channel %d is not finite\n", name, i + 1);
            return 0;
        }
        nonzero |= v[i] != 0.0;
    }
    if (!nonzero) fprintf(stderr, "%s: spectrum is all zero\n", name);
    return nonzero;
}

static inline void example_fill_nan(double *v, int n) {
    for (int i = 0; i < n; ++i) v[i] = NAN;
}

static void *example_find(const struct example_host *h, const char *name) {
    void *f = h->find(name);
    if (!f) fprintf(stderr, "entry point %s not found\n", name);
    return f;
}

static inline int example_before_after(const struct example_host *h, const char *name, int lowers, int phase) {
    if (phase == 0) {
        if (h->before) h->before();
        return 1;
    }
    return h->after ? h->after(name, lowers) : 1;
}

/* ---- the calls ---------------------------------------------------------------- */

static int example_frame(const struct example_host *h) {
    text_fn version = (text_fn)example_find(h, "mosslib_version");
    text_fn last_error = (text_fn)example_find(h, "mosslib_last_error");
    if (!version || !last_error) return 0;
    int a, b, c;
    if (sscanf(version(), "%d.%d.%d", &a, &b, &c) != 3) {
        fprintf(stderr, "mosslib_version: '%s' is not major.minor.patch\n", version());
        return 0;
    }
    if (last_error()[0] != '\0') {
        fprintf(stderr, "mosslib_last_error: '%s' before any call\n", last_error());
        return 0;
    }
    return 1;
}

#ifdef MOSSLIB_HAVE_LINESHAPE
static int example_analytic(const struct example_host *h) {
    int ok = 1;
    for (size_t k = 0; k < sizeof analytic_examples / sizeof analytic_examples[0]; ++k) {
        const struct analytic_example *e = &analytic_examples[k];
        analytic_fn f = (analytic_fn)example_find(h, e->name);
        if (!f) {
            ok = 0;
            continue;
        }
        double p[23], spectrum[EXAMPLE_MAX_CHANNELS];
        memcpy(p, e->p, sizeof p);
        example_fill_nan(spectrum, EXAMPLE_MAX_CHANNELS);
        example_before_after(h, e->name, e->lowers_priority, 0);
        const double r = f(p, spectrum);
        ok &= example_before_after(h, e->name, e->lowers_priority, 1);
        if (r != 0.1) {
            fprintf(stderr, "%s returned %.17g, not 0.1\n", e->name, r);
            ok = 0;
        }
        if (memcmp(p, e->p, sizeof p) != 0) {
            fprintf(stderr, "%s wrote into its parameter array\n", e->name);
            ok = 0;
        }
        for (int i = e->channels; i < EXAMPLE_MAX_CHANNELS; ++i)
            if (!isnan(spectrum[i])) {
                fprintf(stderr, "%s wrote past channel %d\n", e->name, e->channels);
                ok = 0;
                break;
            }
        ok &= example_spectrum_sane(e->name, spectrum, e->channels);
        ok &= example_write(h, e->name, spectrum, e->channels);
    }
    return ok;
}
#endif

#ifdef MOSSLIB_HAVE_SPINHAM
static int example_spinham(const struct example_host *h) {
    ttt_fn f_ttt = (ttt_fn)example_find(h, "ttt");
    tkv_fn f_tkv = (tkv_fn)example_find(h, "tkv");
    if (!f_ttt || !f_tkv) return 0;
    int ok = 1;

    int32_t ints[10];
    double reals[37], reals_before[37], spectrum[256];
    memcpy(ints, ttt_ints, sizeof ints);
    ttt_reals(reals);
    memcpy(reals_before, reals, sizeof reals);
    example_fill_nan(spectrum, 256);
    example_before_after(h, "ttt", 1, 0);
    const int32_t r = f_ttt(ints, reals, spectrum);
    ok &= example_before_after(h, "ttt", 1, 1);
    if (r != 2) {
        fprintf(stderr, "ttt returned %d, not 2\n", (int)r);
        ok = 0;
    }
    if (memcmp(ints, ttt_ints, sizeof ints) != 0 || memcmp(reals, reals_before, sizeof reals) != 0) {
        fprintf(stderr, "ttt changed its parameter arrays\n");
        ok = 0;
    }
    ok &= example_spectrum_sane("ttt", spectrum, 256);
    ok &= example_write(h, "ttt", spectrum, 256);

    /* The objective against ttt's own spectrum, and against that spectrum raised by
     * 0.001 in every channel: channels 1..255 enter, so the second sum is about
     * 255e-6 above the first. */
    int32_t kints[27];
    tkv_ints(kints);
    double shifted[256], sums[2];
    for (int i = 0; i < 256; ++i) shifted[i] = spectrum[i] + 0.001;
    example_before_after(h, "tkv", 1, 0);
    sums[0] = f_tkv(kints, reals, spectrum);
    ok &= example_before_after(h, "tkv", 1, 1);
    example_before_after(h, "tkv", 1, 0);
    sums[1] = f_tkv(kints, reals, shifted);
    ok &= example_before_after(h, "tkv", 1, 1);
    if (!(sums[0] >= 0 && sums[0] < 1e-9)) {
        fprintf(stderr, "tkv against ttt's own spectrum: %.17g, expected about 0\n", sums[0]);
        ok = 0;
    }
    if (!(fabs(sums[1] - sums[0] - 255e-6) < 1e-9)) {
        fprintf(stderr, "tkv against the raised spectrum: %.17g, expected %.17g\n", sums[1],
                sums[0] + 255e-6);
        ok = 0;
    }
    ok &= example_write(h, "tkv", sums, 2);
    return ok;
}
#endif

#ifdef MOSSLIB_HAVE_RELAX
static int example_relax(const struct example_host *h) {
    parl_fn f = (parl_fn)example_find(h, "parl");
    if (!f) return 0;
    int ok = 1;
    int32_t ib[5];
    double db[29], out[256];
    memcpy(ib, parl_ib, sizeof ib);
    parl_db(db);
    example_fill_nan(out, 256);
    example_before_after(h, "parl", 1, 0);
    const int32_t r = f(ib, db, out);
    ok &= example_before_after(h, "parl", 1, 1);
    if (r != 1) {
        fprintf(stderr, "parl returned %d, not 1\n", (int)r);
        ok = 0;
    }
    ok &= example_spectrum_sane("parl", out, 256);
    ok &= example_write(h, "parl", out, 256);
    return ok;
}
#endif

/* Runs every example of the families present; 1 if every check passed. */
static int run_examples(const struct example_host *h) {
    int ok = example_frame(h);
#ifdef MOSSLIB_HAVE_LINESHAPE
    ok &= example_analytic(h);
#endif
#ifdef MOSSLIB_HAVE_SPINHAM
    ok &= example_spinham(h);
#endif
#ifdef MOSSLIB_HAVE_RELAX
    ok &= example_relax(h);
#endif
    return ok;
}

#endif /* MOSSLIB_EXAMPLE_CALLS_H */
