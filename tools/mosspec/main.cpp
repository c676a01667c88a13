// mosspec MODEL [name=value ...] — one spectrum as CSV (channel,velocity,value), through
// the exported functions exactly as a host calls them. Models, parameter names, units,
// defaults, limits and velocity scales all come from the library's catalogue.
#include <CLI/CLI.hpp>
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>

#include "arguments.h"
#include "mosslib.h"
#include "output_file.h"

namespace {

using mosspec::UsageError;

const char *unit_text(const mosslib_param &p) { return *p.unit ? p.unit : "-"; }

void list_model(const mosslib_model &m, std::ostream &out) {
    out << m.name << " — " << m.summary << "\n";
    for (int i = 0; i < m.n_params; ++i) {
        const mosslib_param &p = m.params[i];
        char line[96];
        std::snprintf(line, sizeof line, "    %-22s %12.10g %-9s ", p.name, p.example, unit_text(p));
        out << line << p.meaning;
        if (*p.convention) out << " [" << p.convention << "]";
        out << "\n";
    }
}

std::string raw_note(const mosslib_param &p) {
    char buf[160] = "";
    if (p.raw_per_unit != 1.0) std::snprintf(buf, sizeof buf, " Raw slot = %g x value.", p.raw_per_unit);
    std::string out = buf;
    if (*p.refusal) {
        if (std::isinf(p.max))
            std::snprintf(buf, sizeof buf, " Refused below %g.", p.min);
        else
            std::snprintf(buf, sizeof buf, " Refused outside %g..%g.", p.min, p.max);
        out += buf;
    }
    if (!std::isnan(p.zero_means)) {
        std::snprintf(buf, sizeof buf, " 0 means %.7g.", p.zero_means);
        out += buf;
    }
    return out;
}

// The README's table of one model, as the catalogue has it.
void markdown_model(const mosslib_model &m, std::ostream &out) {
    out << "| name | slot | unit | example | meaning |\n|---|---|---|---|---|\n";
    for (int i = 0; i < m.n_params; ++i) {
        const mosslib_param &p = m.params[i];
        char example[32];
        std::snprintf(example, sizeof example, "%.10g", p.example);
        const char *array = m.n_ints == 0 ? "p" : p.array == MOSSLIB_ARRAY_INTS ? "int" : "real";
        out << "| `" << p.name << "` | " << array << " " << p.index << " | " << unit_text(p) << " | " << example
            << " | " << p.meaning;
        if (*p.convention) out << "; " << p.convention;
        out << "." << raw_note(p) << " |\n";
    }
}

// The README's vocabulary: every name once, with its unit and the models that use it.
void markdown_vocabulary(std::ostream &out) {
    std::vector<std::string> order;
    std::map<std::string, std::pair<const mosslib_param *, std::string>> seen;
    for (int i = 0; i < mosslib_model_count(); ++i) {
        const mosslib_model &m = *mosslib_model_at(i);
        for (int k = 0; k < m.n_params; ++k) {
            const mosslib_param &p = m.params[k];
            auto [it, fresh] = seen.try_emplace(p.name, &p, "");
            if (fresh) order.push_back(p.name);
            it->second.second += (it->second.second.empty() ? "" : ", ") + std::string(m.name);
        }
    }
    out << "| name | unit | quantity | models |\n|---|---|---|---|\n";
    for (const std::string &name : order) {
        const auto &[p, models] = seen.at(name);
        out << "| `" << name << "` | " << unit_text(*p) << " | " << p->meaning << " | " << models << " |\n";
    }
}

// Ctrl-C asks the running call to stop; the progress callback passes it on.
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void on_interrupt(int) { g_interrupted = 1; }

// A bar on stderr (when it is a terminal) once a call has run for a second.
class ProgressBar {
public:
    ProgressBar() : start_(std::chrono::steady_clock::now()), terminal_(isatty(STDERR_FILENO) != 0) {
        mosslib_set_progress(&ProgressBar::report, this);
    }
    ~ProgressBar() {
        mosslib_set_progress(nullptr, nullptr);
        if (shown_ >= 0) std::fprintf(stderr, "\r%*s\r", 60, "");
    }
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

private:
    static std::int32_t report(double fraction, void *user) {
        auto &bar = *static_cast<ProgressBar *>(user);
        if (g_interrupted) return 1;
        if (!bar.terminal_ || std::chrono::steady_clock::now() - bar.start_ < std::chrono::seconds(1)) return 0;
        const int percent = static_cast<int>(fraction * 100.0);
        if (percent != bar.shown_) {
            bar.shown_ = percent;
            const int filled = percent * 40 / 100;
            std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################",
                         40 - filled, "", percent);
            std::fflush(stderr);
        }
        return 0;
    }

    std::chrono::steady_clock::time_point start_;
    bool terminal_;
    int shown_ = -1;
};

// The exported function of the model, looked up by its catalogue name.
void *export_of(const mosslib_model &m) {
    void *fn = dlsym(RTLD_DEFAULT, m.name);
    if (!fn) throw std::runtime_error(std::string("the library does not export ") + m.name);
    return fn;
}

struct Result {
    std::vector<double> velocity, value;
    bool objective = false;
    double sum_of_squares = 0.0;
};

Result run(const mosspec::Call &call, const std::string &measured_path) {
    const mosslib_model &m = *call.model;
    const ProgressBar bar;
    Result r;
    if (m.output == MOSSLIB_OUTPUT_OBJECTIVE) {
        if (measured_path.empty())
            throw UsageError(std::string(m.name) + " needs --measured FILE (" + std::to_string(m.max_channels) + " numbers)");
        std::vector<double> measured = mosspec::read_numbers(measured_path);
        if (measured.size() != static_cast<std::size_t>(m.max_channels))
            throw UsageError("'" + measured_path + "' holds " + std::to_string(measured.size()) + " numbers; " + m.name +
                             " compares " + std::to_string(m.max_channels) + " channels");
        using Objective = double (*)(const std::int32_t *, const double *, const double *);
        r.objective = true;
        r.sum_of_squares =
            reinterpret_cast<Objective>(export_of(m))(call.ints.data(), call.reals.data(), measured.data());
        return r;
    }
    if (m.scale == MOSSLIB_SCALE_NONE)
        throw UsageError(std::string(m.name) + " takes arrays (lines or samples, and velocities) besides its " +
                         "parameters; call it from a program or from Python (mosslib.thickness)");
    r.value.assign(static_cast<std::size_t>(m.max_channels), std::numeric_limits<double>::quiet_NaN());
    r.velocity.assign(r.value.size(), 0.0);
    const int n = mosslib_channel_velocities(&m, call.ints.data(), call.reals.data(), r.velocity.data());
    if (m.n_ints == 0) {
        using Analytic = double (*)(const double *, double *);
        reinterpret_cast<Analytic>(export_of(m))(call.reals.data(), r.value.data());
    } else {
        using Engine = std::int32_t (*)(const std::int32_t *, const double *, double *);
        reinterpret_cast<Engine>(export_of(m))(call.ints.data(), call.reals.data(), r.value.data());
    }
    r.value.resize(static_cast<std::size_t>(std::max(n, 0)));
    r.velocity.resize(r.value.size());
    return r;
}

// A line inside the window shows as a peak (absorption) or dip (transmission) between
// two channels; tails of lines outside it only rise or fall towards the edges.
bool has_line_inside(const Result &r, bool transmission) {
    for (double x : r.value)
        if (!std::isfinite(x)) return true;  // not a spectrum to judge
    for (std::size_t i = 1; i + 1 < r.value.size(); ++i) {
        const double s = transmission ? -1.0 : 1.0;
        if (s * r.value[i] > s * r.value[i - 1] && s * r.value[i] >= s * r.value[i + 1]) return true;
    }
    return false;
}

void write_result(const Result &r, std::ostream &out) {
    char buf[128];
    if (r.objective) {
        std::snprintf(buf, sizeof buf, "sum_of_squares,%.17g\n", r.sum_of_squares);
        out << buf;
        return;
    }
    out << "channel,velocity,value\n";
    for (std::size_t i = 0; i < r.value.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%zu,%.17g,%.17g\n", i + 1, r.velocity[i], r.value[i]);
        out << buf;
    }
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"mosspec — compute one Moessbauer spectrum with mosslib; every parameter has a built-in "
                 "default.\nExample: mosspec sext field_T=33 width=0.3 --out iron.csv",
                 "mosspec"};
    std::string model_name;
    std::vector<std::string> assignments;
    std::string out_path, measured_path, list_name;
    bool names = false;
    app.add_option("model", model_name, "model to compute (see --list)");
    app.add_option("parameters", assignments, "name=value pairs");
    app.add_option("-o,--out", out_path, "write the CSV to FILE instead of stdout");
    app.add_option("--measured", measured_path, "measured spectrum (text, one number per channel) for tkv");
    auto *list = app.add_option("--list", list_name, "list the parameters (units, defaults) of MODEL, or of all")
                     ->expected(0, 1);
    app.add_flag("--models", names, "print the model names only");
    app.set_version_flag("--version", "mosspec " MOSSLIB_VERSION);
    std::string markdown;
    app.add_option("--markdown", markdown, "print the README table of MODEL (or 'vocabulary')");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::cerr << "mosspec: " << e.what() << "\n";
        return 2;
    }

    try {
        if (*list) {
            if (!list_name.empty()) {
                list_model(mosspec::find_model(list_name), std::cout);
            } else {
                for (int i = 0; i < mosslib_model_count(); ++i) list_model(*mosslib_model_at(i), std::cout);
            }
            return 0;
        }
        if (!markdown.empty()) {
            if (markdown == "vocabulary")
                markdown_vocabulary(std::cout);
            else
                markdown_model(mosspec::find_model(markdown), std::cout);
            return 0;
        }
        if (names) {
            for (int i = 0; i < mosslib_model_count(); ++i) std::cout << mosslib_model_at(i)->name << "\n";
            return 0;
        }
        if (model_name.empty()) throw UsageError("no model given (see mosspec --list)");
        const mosslib_model &model = mosspec::find_model(model_name);
        const mosspec::Call call = mosspec::collect(model, assignments);
        std::signal(SIGINT, on_interrupt);
        const Result result = run(call, measured_path);
        if (g_interrupted) {
            std::cerr << "mosspec: interrupted\n";
            return 130;
        }
        if (const char *why = mosslib_last_error(); why && *why) {
            std::cerr << "mosspec: " << model.name << ": " << mosspec::rewrite_reason(model, why) << "\n";
            return 1;
        }
        if (!result.objective && !has_line_inside(result, model.output == MOSSLIB_OUTPUT_TRANSMISSION) &&
            !result.value.empty())
            std::cerr << "mosspec: warning: no line lies inside the channel window (" << result.velocity.front()
                      << " to " << result.velocity.back() << " mm/s)\n";
        if (out_path.empty()) {
            write_result(result, std::cout);
        } else {
            std::ostringstream text;
            write_result(result, text);
            if (!mosspec::write_file_whole(out_path, text.str(), g_interrupted)) {
                std::cerr << "mosspec: interrupted\n";
                return 130;
            }
        }
    } catch (const UsageError &e) {
        std::cerr << "mosspec: " << e.what() << "\n";
        return 2;
    } catch (const std::exception &e) {
        std::cerr << "mosspec: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
