// Cost of the hyperfine models against the first-order sextets, as a host calls them
// (priority step off for all): the full-Hamiltonian powder site on 512 channels against
// sextgen_sl (512) and a first-order sextet of the same lines code, and a three-component
// Voigt field distribution against sext (256) and sextgen_sl (512). The ratios of CPU
// time per call are printed after the runs, from the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "catalog_call.h"
#include "mosslib.h"

namespace {

using mosslib::testing::CatalogCall;

std::vector<double> sext_params(int channels) {
    // metallic iron; sext on 256 channels, sextgen_sl on 512 of a sine drive
    std::vector<double> p(24, 0.0);
    p[1] = 33.0, p[2] = -0.11, p[3] = 0.0, p[4] = 0.25, p[5] = 1.0;
    const double I[6] = {3, 2, 1, 1, 2, 3};
    for (int k = 0; k < 6; ++k) p[6 + k] = I[k], p[14 + k] = 0.25;
    if (channels == 256) {
        p[12] = 0.08, p[13] = 128.5;  // sext: step, zero
    } else {
        p[12] = 10.0, p[13] = 256.5, p[20] = 512.0 / 3.141592653589793;  // sextgen_sl
    }
    return p;
}

void BM_sext_256(benchmark::State &state) {
    std::vector<double> p = sext_params(256), out(256);
    for (auto _ : state) {
        sext(p.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_sextgen_sl_512(benchmark::State &state) {
    std::vector<double> p = sext_params(512), out(512);
    for (auto _ : state) {
        sextgen_sl(p.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}

void run_call(benchmark::State &state, const CatalogCall &c) {
    std::vector<double> out(static_cast<std::size_t>(c.model->max_channels));
    void *fn = dlsym(RTLD_DEFAULT, c.model->name);
    auto call = reinterpret_cast<std::int32_t (*)(const std::int32_t *, const double *, double *)>(fn);
    for (auto _ : state) {
        call(c.ints.data(), c.reals.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}

// A ferrous powder site: 12 T at 60 degrees to Vzz, eQVzz/2 = 2.8 mm/s, eta 0.4.
CatalogCall site(int channels, double gauss) {
    CatalogCall c("mosslib_hamiltonian_site");
    c.set("channels", channels).set("texture_order", 0.0).set("gauss_fwhm", gauss);
    c.set("velocity_step", 20.0 / channels).set("zero_channel", channels / 2.0 + 0.5);
    return c;
}

// Three field components (30, 45, 50 T; sd 2, 4, 1 T), shifts linear in B.
CatalogCall field_distribution(int channels, int components, double sd_scale) {
    CatalogCall c("mosslib_field_distribution");
    c.set("channels", channels).set("components", components);
    c.set("velocity_step", 20.0 / channels).set("zero_channel", channels / 2.0 + 0.5);
    c.set("field_sd1_T", 2.0 * sd_scale).set("field_sd2_T", 4.0 * sd_scale).set("field3_T", 50.0);
    c.set("field_sd3_T", 1.0 * sd_scale);
    return c;
}

void BM_site_powder_lorentz_512(benchmark::State &s) { run_call(s, site(512, 0.0)); }
void BM_site_powder_voigt_512(benchmark::State &s) { run_call(s, site(512, 0.15)); }
void BM_first_order_sextet_512(benchmark::State &s) { run_call(s, field_distribution(512, 1, 0.0)); }
void BM_field_distribution_3_256(benchmark::State &s) { run_call(s, field_distribution(256, 3, 1.0)); }
void BM_field_distribution_3_512(benchmark::State &s) { run_call(s, field_distribution(512, 3, 1.0)); }
void BM_splitting_distribution_3_256(benchmark::State &s) {
    CatalogCall c("mosslib_splitting_distribution");
    c.set("channels", 256).set("components", 3);
    run_call(s, c);
}

BENCHMARK(BM_sext_256);
BENCHMARK(BM_sextgen_sl_512);
BENCHMARK(BM_first_order_sextet_512);
BENCHMARK(BM_site_powder_lorentz_512);
BENCHMARK(BM_site_powder_voigt_512);
BENCHMARK(BM_field_distribution_3_256);
BENCHMARK(BM_field_distribution_3_512);
BENCHMARK(BM_splitting_distribution_3_256);

// Console output as usual, and the CPU time per call of every run kept for the ratios
// (with repetitions: the median).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> cpu;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
            cpu[r.run_name.function_name] = r.GetAdjustedCPUTime();
        }
    }
};

}  // namespace

int main(int argc, char **argv) {
    mosslib_set_priority_step(0);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ratio = [&](const char *a, const char *b) {
        if (reporter.cpu.count(a) && reporter.cpu.count(b))
            std::printf("%-34s / %-26s = %6.2f\n", a, b, reporter.cpu[a] / reporter.cpu[b]);
    };
    std::printf("\nCPU time ratios (target: at most 10)\n");
    ratio("BM_site_powder_lorentz_512", "BM_sextgen_sl_512");
    ratio("BM_site_powder_lorentz_512", "BM_first_order_sextet_512");
    ratio("BM_field_distribution_3_256", "BM_sext_256");
    ratio("BM_field_distribution_3_512", "BM_sextgen_sl_512");
    ratio("BM_field_distribution_3_512", "BM_first_order_sextet_512");
    benchmark::Shutdown();
    return 0;
}
