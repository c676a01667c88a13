// The catalogue's C face: lookups that refuse unknown names and out-of-range indices
// with NULL or -1, never touching memory they were not given; each in the models'
// floating-point state (export_frame.h).
#include "boundary/export_frame.h"
#include "catalog/catalog.h"
#include "mosslib.h"

extern "C" {

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_catalog_version(void) {
    const mosslib::boundary::HelperScope scope;
    return MOSSLIB_CATALOG_VERSION;
}

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_model_count(void) {
    const mosslib::boundary::HelperScope scope;
    return static_cast<int32_t>(mosslib::catalog::models().size());
}

MOSSLIB_API const mosslib_model *MOSSLIB_CALL mosslib_model_at(int32_t i) {
    const mosslib::boundary::HelperScope scope;
    const auto all = mosslib::catalog::models();
    if (i < 0 || static_cast<std::size_t>(i) >= all.size()) return nullptr;
    return &all[static_cast<std::size_t>(i)];
}

MOSSLIB_API const mosslib_model *MOSSLIB_CALL mosslib_model_named(const char *name) {
    const mosslib::boundary::HelperScope scope;
    return name ? mosslib::catalog::find_model(name) : nullptr;
}

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_param_index(const mosslib_model *model, const char *name) {
    const mosslib::boundary::HelperScope scope;
    if (!model || !name) return -1;
    return mosslib::catalog::find_param(*model, name);
}

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_channel_velocities(const mosslib_model *model, const int32_t *ints,
                                                           const double *reals, double *velocity) {
    const mosslib::boundary::HelperScope scope;
    if (!model || !reals || !velocity || (model->n_ints > 0 && !ints)) return -1;
    return mosslib::catalog::channel_velocities(*model, ints, reals, velocity);
}

}  // extern "C"
