// Exported entry points of the hyperfine models: the full static site
// (hamiltonian/site_model.h) and the Voigt-based distributions
// (distribution/voigt_distribution.h), their spectra and their lines.
#include <algorithm>
#include <cstring>
#include <limits>

#include "boundary/export_frame.h"
#include "distribution/voigt_distribution.h"
#include "hamiltonian/site_model.h"
#include "mosslib.h"

namespace {

static_assert(MOSSLIB_MAX_MODEL_LINES >= mosslib::distribution::kFieldMaxLines &&
              MOSSLIB_MAX_MODEL_LINES >= mosslib::hamiltonian::kSiteLines &&
              MOSSLIB_MAX_MODEL_LINES >= mosslib::distribution::kSplittingMaxLines);

constexpr std::int32_t kSpectrumReturn = 1;

using mosslib::hamiltonian::ProfileLine;

mosslib::common::Fault lines_of(const char *model, const int32_t *ints, const double *reals,
                                ProfileLine (&lines)[MOSSLIB_MAX_MODEL_LINES], int &count) {
    count = 0;
    if (model && std::strcmp(model, "mosslib_hamiltonian_site") == 0) {
        ProfileLine site[mosslib::hamiltonian::kSiteLines];
        if (mosslib::common::Fault f = mosslib::hamiltonian::site_profile_lines(ints, reals, site)) return f;
        count = mosslib::hamiltonian::kSiteLines;
        std::copy_n(site, count, lines);
        return {};
    }
    if (model && std::strcmp(model, "mosslib_field_distribution") == 0)
        return mosslib::distribution::field_distribution_lines(ints, reals, lines, count);
    if (model && std::strcmp(model, "mosslib_splitting_distribution") == 0)
        return mosslib::distribution::splitting_distribution_lines(ints, reals, lines, count);
    return {0, "not a model with lines: mosslib_hamiltonian_site, mosslib_field_distribution or "
               "mosslib_splitting_distribution"};
}

}  // namespace

extern "C" {

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_hamiltonian_site(const int32_t *ints, const double *reals, double *spectrum) {
    const mosslib::boundary::ExportScope scope;
    if (const mosslib::common::Fault f = mosslib::hamiltonian::site_spectrum(ints, reals, spectrum))
        mosslib::boundary::report(f, spectrum);
    return kSpectrumReturn;
}

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_field_distribution(const int32_t *ints, const double *reals,
                                                           double *spectrum) {
    const mosslib::boundary::ExportScope scope;
    if (const mosslib::common::Fault f = mosslib::distribution::field_distribution_spectrum(ints, reals, spectrum))
        mosslib::boundary::report(f, spectrum);
    return kSpectrumReturn;
}

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_splitting_distribution(const int32_t *ints, const double *reals,
                                                               double *spectrum) {
    const mosslib::boundary::ExportScope scope;
    if (const mosslib::common::Fault f =
            mosslib::distribution::splitting_distribution_spectrum(ints, reals, spectrum))
        mosslib::boundary::report(f, spectrum);
    return kSpectrumReturn;
}

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_model_lines(const char *model, const int32_t *ints, const double *reals,
                                                    double *lines) {
    const mosslib::boundary::ExportScope scope;
    ProfileLine found[MOSSLIB_MAX_MODEL_LINES];
    int count = 0;
    if (const mosslib::common::Fault f = lines_of(model, ints, reals, found, count)) {
        std::fill_n(lines, 4 * MOSSLIB_MAX_MODEL_LINES, std::numeric_limits<double>::quiet_NaN());
        mosslib::boundary::set_last_error(f.reason());
        return -1;
    }
    for (int j = 0; j < count; ++j) {
        lines[4 * j] = found[j].centre;
        lines[4 * j + 1] = found[j].area;
        lines[4 * j + 2] = found[j].lorentz_fwhm;
        lines[4 * j + 3] = found[j].gauss_fwhm;
    }
    return count;
}

}  // extern "C"
