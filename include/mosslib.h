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
 *    per thread, so calls from different threads never interfere.
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

/* Why the last call on this thread refused its input or failed; "" if it did not.
 * Cleared at the entry of every function above. */
MOSSLIB_API const char *MOSSLIB_CALL mosslib_last_error(void);

/* Library version, "major.minor.patch". */
MOSSLIB_API const char *MOSSLIB_CALL mosslib_version(void);

#ifdef __cplusplus
}
#endif

#endif /* MOSSLIB_H */
