/*
 * mosslib — numerical models of 57Fe Mössbauer absorption spectra.
 *
 * Conventions shared by every function below:
 *  - Every argument is a pointer. Integers are 32-bit signed, reals IEEE 754 doubles.
 *  - Parameter arrays are indexed from 0 as the caller lays them out; each function
 *    lists the indices it reads. Elements it does not read may hold anything.
 *  - A spectrum array holds doubles; element i holds channel number i + 1.
 *  - The caller owns every array; the library keeps no pointer after returning.
 *  - Every function except doubl() lowers the scheduling priority of the calling
 *    thread (Linux: nice 19) or of the process (Windows: IDLE_PRIORITY_CLASS) at
 *    entry, and never restores it.
 *  - A call that must refuse structurally impossible input (a size over a fixed
 *    limit) fills the spectrum it owns with NaN, returns normally, and leaves the
 *    reason for mosslib_last_error(). Numerically degenerate input (zero width,
 *    zero temperature) gives non-finite values and is not reported.
 *  - The analytic functions are reentrant. ttt/tkv and parl keep their work space
 *    per thread, so calls from different threads never interfere. They compute
 *    their field directions or orientations on the library's worker threads as
 *    well (mosslib_set_threads); results are the same bits for every thread count.
 *
 * On 32-bit Windows the functions use the stdcall convention with undecorated names.
 */
#ifndef MOSSLIB_H
#define MOSSLIB_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define MOSSLIB_CALL __stdcall
#else
#define MOSSLIB_CALL
#endif

#if defined(_WIN32)
#define MOSSLIB_API
#elif defined(__GNUC__)
#define MOSSLIB_API __attribute__((visibility("default")))
#else
#define MOSSLIB_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Spin-Hamiltonian powder spectrum. ints[0..9], reals[0..36] (see README);
 * writes channels 1..G into spectrum[0..G-1], G = ints[5]. Returns 2. */
MOSSLIB_API int32_t MOSSLIB_CALL ttt(const int32_t *ints, const double *reals, double *spectrum);

/* Sum of squared residuals of the ttt model (G = 256) against measured[1..255];
 * ints as for ttt but the level mode is read from ints[26] (array of >= 27).
 * measured holds 256 doubles; element 0 is ignored. Nothing is written. */
MOSSLIB_API double MOSSLIB_CALL tkv(const int32_t *ints, const double *reals, const double *measured);

/* Relaxation spectrum. ib[1..4], db[1..28]; out holds 256 doubles of normalised
 * transmission (channels beyond the channel count are left as passed). Returns 1. */
MOSSLIB_API int32_t MOSSLIB_CALL parl(const int32_t *ib, const double *db, double *out);

/* Magnetic sextet, linear velocity scale. p[1..13]; spectrum holds 256. Returns 0.1. */
MOSSLIB_API double MOSSLIB_CALL sext(const double *p, double *spectrum);

/* General sextet with per-line widths, linear scale. p[1..3], p[5..19];
 * spectrum holds 256. Returns 0.1. */
MOSSLIB_API double MOSSLIB_CALL sextgen(const double *p, double *spectrum);

/* General sextet on the sine velocity scale (fixed phase step 0.01226563 rad).
 * p[1..3], p[5..19]; spectrum holds 256. Returns 0.1. */
MOSSLIB_API double MOSSLIB_CALL sextgen_ss(const double *p, double *spectrum);

/* General sextet on 512 channels of a sine scale, p[20] channels per radian.
 * p[1..3], p[5..20]; spectrum holds 512. Returns 0.1. */
MOSSLIB_API double MOSSLIB_CALL sextgen_sl(const double *p, double *spectrum);

/* Quadrupole doublet, linear scale. p[1..6]; spectrum holds 256. Returns 0.1.
 * The only function that leaves the scheduling priority alone. */
MOSSLIB_API double MOSSLIB_CALL doubl(const double *p, double *spectrum);

/* Voigt sextet with a velocity spread, sine scale. p[1..3], p[5..19], p[21], p[22];
 * spectrum holds 256. Returns 0.1. */
MOSSLIB_API double MOSSLIB_CALL VogGenVel_ss(const double *p, double *spectrum);

/* Two-component sextet with interference term, sine scale. p[1..20];
 * spectrum holds 256. Returns 0.1. */
MOSSLIB_API double MOSSLIB_CALL CSTfdll(const double *p, double *spectrum);

/* ---- Priority step ------------------------------------------------------------
 * Process-wide switch of the priority step described above. 1 (the default) keeps
 * it: every function but doubl() lowers the priority at entry. 0 turns it off for
 * every thread of the process (a Python session or a Dask worker that runs many
 * calls should not be left at the lowest priority). Returns the previous setting. */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_set_priority_step(int32_t enabled);

/* The current setting of the priority step: 1 on, 0 off. */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_priority_step(void);

/* ---- Threads ---------------------------------------------------------------------
 * ttt and tkv over a powder grid, and parl over an orientation grid, compute their
 * directions or orientations on the calling thread and on worker threads of one pool
 * the library keeps for the whole process; the additions into every channel keep the
 * order of a single thread, so the result is the same bits for every count. The pool
 * is shared by all calls: several threads calling at once share its workers. Workers
 * run in the models' floating-point state and take the priority step when it is on.
 * n >= 1 sets the count for every later call of the process (1: the calling thread
 * alone, no worker threads; at most 64); n <= 0 returns to the default: the value
 * of the environment variable MOSSLIB_THREADS when it is a positive count, else the
 * cores available to the process (its affinity and cgroup CPU quota). Returns the
 * previous setting, 0 for the default. */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_set_threads(int32_t n);

/* The thread count calls use now. */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_threads(void);

/* ---- Progress and cancellation -------------------------------------------------------
 * A progress callback for the calling thread's later calls of ttt, tkv and parl (NULL
 * removes it; it is kept per thread). It is called on the calling thread between
 * directions or orientations, at most about every 10 ms, with the fraction done
 * (0..1, never decreasing), and with 1 when a call completes. A non-zero return
 * cancels the call (the callback is not asked again during that call): ttt fills its
 * G channels with NaN, parl its 256, tkv returns NaN;
 * mosslib_last_error() then says "cancelled" and the call returns normally. The
 * callback must not call the models. Calls without a callback cost nothing extra. */
typedef int32_t(MOSSLIB_CALL *mosslib_progress_fn)(double fraction, void *user);
MOSSLIB_API void MOSSLIB_CALL mosslib_set_progress(mosslib_progress_fn fn, void *user);

/* Why the last call on this thread refused its input or failed; "" if it did not.
 * Cleared at the entry of every function above. */
MOSSLIB_API const char *MOSSLIB_CALL mosslib_last_error(void);

/* Library version, "major.minor.patch". */
MOSSLIB_API const char *MOSSLIB_CALL mosslib_version(void);

/* ---- Model catalogue ------------------------------------------------------------
 * A read-only description of every function above: which array elements it reads,
 * what each parameter means (name, unit, sign convention, example value, the range
 * the library refuses outside of), what it writes and on which velocity scale, and
 * what it returns. Plain C structs with static lifetime; nothing is allocated and
 * nothing on the model calls depends on it. The layout of the structs is fixed for
 * a given MOSSLIB_CATALOG_VERSION; a host checks mosslib_catalog_version() first.
 *
 * Names form one vocabulary across models: the same name is always the same
 * physical quantity in the same unit and sign convention. Where a model's raw slot
 * holds another form of the quantity, raw = raw_per_unit x value exactly (a power of
 * two or a sign change, so the conversion is exact in binary floating point). */
#define MOSSLIB_CATALOG_VERSION 1

/* mosslib_param.array: the argument a parameter is read from. */
#define MOSSLIB_ARRAY_INTS 1   /* the int32_t array (ttt/tkv ints, parl ib) */
#define MOSSLIB_ARRAY_REALS 2  /* the double array (p, reals, db) */

/* mosslib_param.domain: where a value makes physical sense. The library refuses only
 * [min, max]; outside the domain it computes what the formula gives (often NaN). */
#define MOSSLIB_DOMAIN_ANY 0
#define MOSSLIB_DOMAIN_POSITIVE 1      /* > 0, e.g. a line width */
#define MOSSLIB_DOMAIN_NON_NEGATIVE 2  /* >= 0, e.g. a relative intensity */

/* mosslib_model.scale: how channel n (from 1) maps to a velocity. */
#define MOSSLIB_SCALE_NONE 0        /* no spectrum on a velocity axis */
#define MOSSLIB_SCALE_LINEAR 1      /* v = (n - zero) * step */
#define MOSSLIB_SCALE_SINE_FIXED 2  /* v = amplitude * sin((n - zero) * phase_step) */
#define MOSSLIB_SCALE_SINE_GIVEN 3  /* v = amplitude * sin((n - zero) / channels_per_radian) */

/* mosslib_model.output: what the written values are. */
#define MOSSLIB_OUTPUT_ABSORPTION 1    /* positive lines on a zero baseline */
#define MOSSLIB_OUTPUT_TRANSMISSION 2  /* 1 - absorption, normalised as the model says */
#define MOSSLIB_OUTPUT_OBJECTIVE 3     /* nothing written; returns a sum of squares */

/* mosslib_model.returns */
#define MOSSLIB_RETURNS_CONSTANT 1   /* the same value on every call (return_value) */
#define MOSSLIB_RETURNS_OBJECTIVE 2  /* a sum of squared residuals; NaN when refused */

typedef struct mosslib_param {
    const char *name;        /* catalogue name, unique within the model */
    const char *unit;        /* "mm/s", "T", "kG", "G", "K", "cm^-1", "deg", "channel", "" */
    const char *meaning;     /* one line */
    const char *convention;  /* sign convention or relation to the raw slot; "" if none */
    int32_t array;           /* MOSSLIB_ARRAY_INTS or MOSSLIB_ARRAY_REALS */
    int32_t index;           /* element of that array (0-based, as the caller lays it out) */
    int32_t integer;         /* 1: a whole number */
    int32_t domain;          /* MOSSLIB_DOMAIN_*: the values that are physically meaningful */
    double raw_per_unit;     /* raw slot = raw_per_unit * value; exact (1, 2, 0.5, -1) */
    double example;          /* the built-in example value, in `unit` */
    double min, max;         /* raw values outside [min, max] are refused; +-inf: no limit */
    const char *refusal;     /* what a refusal gives; "" when the parameter is never refused */
    double zero_means;       /* the value used when the slot holds 0 (or NaN); NaN: none */
} mosslib_param;

typedef struct mosslib_model {
    const char *name;        /* the exported function */
    const char *summary;     /* one line */
    int32_t n_ints;          /* elements the integer array must hold; 0: no integer array */
    int32_t n_reals;         /* elements the real array must hold */
    int32_t n_params;
    int32_t output;          /* MOSSLIB_OUTPUT_* */
    const mosslib_param *params;  /* n_params entries */
    int32_t channels;        /* channels written when fixed; 0 when channels_param gives them */
    int32_t channels_param;  /* index into params of the channel count; -1: fixed */
    int32_t max_channels;    /* elements the spectrum (tkv: measured) array must hold */
    int32_t scale;           /* MOSSLIB_SCALE_* */
    double phase_step;       /* MOSSLIB_SCALE_SINE_FIXED: radians per channel; else 0 */
    int32_t step_param;      /* index into params of the step (linear) or amplitude (sine) */
    int32_t zero_param;      /* index into params of the zero channel */
    int32_t rate_param;      /* MOSSLIB_SCALE_SINE_GIVEN: channels per radian; else -1 */
    int32_t returns;         /* MOSSLIB_RETURNS_* */
    double return_value;     /* the constant returned; NaN for an objective */
    int32_t lowers_priority; /* 1: the function takes the priority step */
    int32_t reserved;        /* 0 */
} mosslib_model;

/* MOSSLIB_CATALOG_VERSION of the library that is loaded. */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_catalog_version(void);

/* Number of models (15; 12 in the Windows DLL, which has no hyperfine models). */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_model_count(void);

/* Model i, 0 <= i < mosslib_model_count(); NULL when i is out of range. */
MOSSLIB_API const mosslib_model *MOSSLIB_CALL mosslib_model_at(int32_t i);

/* The model of the exported function `name`; NULL for an unknown name or NULL. */
MOSSLIB_API const mosslib_model *MOSSLIB_CALL mosslib_model_named(const char *name);

/* Index into model->params of the parameter `name`; -1 when unknown (or either is NULL). */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_param_index(const mosslib_model *model, const char *name);

/* Velocity of channels 1..n into velocity[0..n-1], computed by the model's own scale
 * code from the raw arrays a call would receive (ints may be NULL when n_ints is 0);
 * velocity holds max_channels doubles. Returns n, the number of channels the call
 * writes, or -1 (nothing written)
 * when the model has no velocity scale, an argument is NULL, or the channel count
 * the arrays give is refused by the model. */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_channel_velocities(const mosslib_model *model, const int32_t *ints,
                                                           const double *reals, double *velocity);

/* ---- Hyperfine models: the full static site and hyperfine-field distributions ------
 * Linux builds only (their Voigt lines use libcerf). Fields are on the alpha-iron
 * scale: B tesla puts the outer lines of a pure magnetic sextet B x 10.657/33.0 mm/s
 * apart. Each writes channels 1..ints[0] (1..4096) of a linear scale
 * v = (n - zero_channel) x velocity_step as absorption lines of the given total area
 * and returns 1. A refused call (a count or a range the catalogue lists) fills all
 * 4096 elements of spectrum with NaN; the reason is in mosslib_last_error().
 * Layouts: the catalogue (docs/hamiltonian.md, docs/distributions.md). */

/* Ground and excited nuclear Hamiltonians in a field B at polar and azimuthal angles
 * in the principal frame of the field gradient (eQVzz/2, eta), solved exactly; the eight
 * transitions with intensities for a beam whose direction has the given texture order
 * about a given axis (0: powder, 1: single crystal); Lorentzian or Voigt lines.
 * ints[0]; reals[0..13]. */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_hamiltonian_site(const int32_t *ints, const double *reals,
                                                         double *spectrum);

/* A distribution of hyperfine fields P(B) as ints[1] (1..4) Gaussian components, the
 * centre shift and the quadrupole shift linear in B; exact Voigt lines. ints[0..1];
 * reals[0..25]. */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_field_distribution(const int32_t *ints, const double *reals,
                                                           double *spectrum);

/* A distribution of quadrupole splittings P(QS) of a doublet as ints[1] (1..4) Gaussian
 * components, the centre shift linear in QS; exact Voigt lines. ints[0..1]; reals[0..17]. */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_splitting_distribution(const int32_t *ints, const double *reals,
                                                               double *spectrum);

/* The lines the model `model` (one of the three above) draws for these arrays:
 * lines[4j .. 4j+3] = centre (mm/s), area, Lorentzian FWHM, Gaussian FWHM (mm/s) of
 * line j. lines holds 4 x MOSSLIB_MAX_MODEL_LINES doubles. Returns the number of lines,
 * or -1 (every element NaN, reason in mosslib_last_error()) for an unknown model or
 * input the model refuses. */
#define MOSSLIB_MAX_MODEL_LINES 24
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_model_lines(const char *model, const int32_t *ints, const double *reals,
                                                    double *lines);

/* ---- Thick absorber ---------------------------------------------------------------
 * Transmission through an absorber of effective thickness t_a, for a Lorentzian source
 * line of full width Gamma_s and recoil-free fraction f_s:
 *   T(v) = (1 - f_s) + f_s * integral L_s(E - v) exp(-t_a sigma(E)) dE,
 * L_s of area 1. sigma is (pi Gamma_a / 2) times a sum of area-normalised profiles whose
 * weights sum to 1: t_a is the effective thickness of a single Lorentzian line of full
 * width Gamma_a (sigma = 1 at its centre), and a line of another width keeps its share
 * of the area. For one line of width Gamma_a, integral (1 - T) dv = f_s (pi Gamma_a / 2)
 * t_a e^{-t_a/2} [I0(t_a/2) + I1(t_a/2)]; as t_a -> 0, 1 - T tends to t_a f_s (pi Gamma_a
 * / 2) times the thin absorber's lines convolved with the source. Error bound: 1e-6
 * of the baseline for t_a up to 100 (see docs/thickness.md).
 *
 * reals[0] t_a >= 0, reals[1] f_s in [0, 1], reals[2] Gamma_s > 0, reals[3] Gamma_a > 0
 * (mm/s, full widths at half maximum). ints[1] = n velocities (1..2^20); velocity[0..n-1]
 * in mm/s, any order; out[0..n-1] receives T. Both return 1. Refused input (a count out
 * of range, a value that is not finite or outside its domain, a grid over 2^22 nodes):
 * out[0..n-1] NaN and the reason in mosslib_last_error(); nothing is written when n
 * itself is refused or an array is NULL. Reentrant; the work arrays are per thread.
 *
 * mosslib_thick_lines: ints[0] = K lines (1..65536); lines holds 4K doubles, line k at
 * 4k: centre (mm/s), relative area (>= 0, not all 0), Lorentzian full width (> 0),
 * Gaussian full width (>= 0; a Voigt line when > 0). */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_thick_lines(const int32_t *ints, const double *reals, const double *lines,
                                                    const double *velocity, double *out);

/* mosslib_thick_sampled: sigma sampled (a spectrum computed at the absorber's width,
 * e.g. by ttt or parl): ints[0] = M samples (2..2^20), samples[i] >= 0 at energy
 * reals[4] + i reals[5] (mm/s, reals[5] > 0). sigma is the Catmull-Rom cubic through the
 * samples inside their range and 0 outside, scaled to the area pi Gamma_a / 2 of the
 * samples (trapezoid rule); the samples' step should resolve the narrowest line. */
MOSSLIB_API int32_t MOSSLIB_CALL mosslib_thick_sampled(const int32_t *ints, const double *reals, const double *samples,
                                                      const double *velocity, double *out);

#ifdef __cplusplus
}
#endif

#endif /* MOSSLIB_H */
