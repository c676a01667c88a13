// Compares the spectra a host wrote under Windows with those of the Linux reference
// host, export by export.
//
//   compare_spectra <windows-dir> <linux-dir> [<export>=<tolerance> ...]
//
// Every <export>.hex of either directory must have its counterpart. An export
// without a tolerance must agree to the last bit; one with a tolerance may differ by
// at most that much relative to the largest magnitude of its Linux spectrum (channel
// differences of a few units in the last place are scaled by the peak, not by the
// channel, so that the tails of a line do not dominate).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace {

std::vector<double> read_hex(const std::filesystem::path &path, bool &ok) {
    std::vector<double> values;
    std::ifstream in(path);
    ok = static_cast<bool>(in);
    std::string line;
    while (ok && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        char *end = nullptr;
        const std::uint64_t bits = std::strtoull(line.c_str(), &end, 16);
        if (line.size() != 16 || *end != '\0') {
            ok = false;
            break;
        }
        double v;
        std::memcpy(&v, &bits, sizeof v);
        values.push_back(v);
    }
    return values;
}

// Distance in units in the last place between two finite doubles of any sign.
std::uint64_t ulp_distance(double a, double b) {
    auto ordered = [](double x) {
        std::int64_t i;
        std::memcpy(&i, &x, sizeof i);
        return i < 0 ? std::numeric_limits<std::int64_t>::min() - i : i;
    };
    const std::int64_t ia = ordered(a), ib = ordered(b);
    return ia > ib ? static_cast<std::uint64_t>(ia) - static_cast<std::uint64_t>(ib)
                   : static_cast<std::uint64_t>(ib) - static_cast<std::uint64_t>(ia);
}

struct Comparison {
    std::size_t channels = 0, differing = 0;
    std::uint64_t max_ulps = 0;
    double max_relative = 0;  // largest |windows - linux| / max |linux|
    bool nan_mismatch = false;
};

Comparison compare(const std::vector<double> &win, const std::vector<double> &lin) {
    Comparison c;
    c.channels = lin.size();
    double peak = 0;
    for (double v : lin) peak = std::max(peak, std::fabs(v));
    for (std::size_t i = 0; i < lin.size(); ++i) {
        if (std::memcmp(&win[i], &lin[i], sizeof(double)) == 0) continue;
        ++c.differing;
        if (!std::isfinite(win[i]) || !std::isfinite(lin[i])) {
            c.nan_mismatch = true;
            continue;
        }
        c.max_ulps = std::max(c.max_ulps, ulp_distance(win[i], lin[i]));
        const double d = std::fabs(win[i] - lin[i]);
        c.max_relative = std::max(c.max_relative, peak > 0 ? d / peak : d);
    }
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: compare_spectra <windows-dir> <linux-dir> [export=tolerance ...]\n");
        return 2;
    }
    const std::filesystem::path win_dir = argv[1], lin_dir = argv[2];
    std::map<std::string, double> tolerance;
    for (int i = 3; i < argc; ++i) {
        const char *eq = std::strchr(argv[i], '=');
        if (!eq) {
            std::fprintf(stderr, "bad tolerance '%s'\n", argv[i]);
            return 2;
        }
        tolerance[std::string(argv[i], static_cast<std::size_t>(eq - argv[i]))] = std::strtod(eq + 1, nullptr);
    }

    // Every spectrum either side wrote; a library without model families writes none.
    std::vector<std::filesystem::path> references;
    for (const auto &dir : {lin_dir, win_dir})
        for (const auto &e : std::filesystem::directory_iterator(dir))
            if (e.path().extension() == ".hex") references.push_back(lin_dir / e.path().filename());
    std::sort(references.begin(), references.end());
    references.erase(std::unique(references.begin(), references.end()), references.end());
    if (references.empty()) std::printf("no spectra written: the library has no model family yet\n");

    bool all_ok = true;
    for (const auto &ref : references) {
        const std::string name = ref.stem().string();
        bool ok_lin = false, ok_win = false;
        const auto lin = read_hex(ref, ok_lin);
        const auto win = read_hex(win_dir / ref.filename(), ok_win);
        if (!ok_lin || !ok_win || lin.size() != win.size() || lin.empty()) {
            std::printf("%-13s missing or unreadable (%zu vs %zu values)\n", name.c_str(),
                        win.size(), lin.size());
            all_ok = false;
            continue;
        }
        const Comparison c = compare(win, lin);
        const auto t = tolerance.find(name);
        const double allowed = t == tolerance.end() ? 0.0 : t->second;
        const bool ok = !c.nan_mismatch && (c.differing == 0 || c.max_relative <= allowed);
        char allowed_text[32] = "bit-identical";
        if (t != tolerance.end()) std::snprintf(allowed_text, sizeof allowed_text, "%.3g", allowed);
        std::printf("%-13s %4zu values, %4zu differ, max %3llu ulp, max rel. to peak %.3g "
                    "(allowed %s) %s\n",
                    name.c_str(), c.channels, c.differing,
                    static_cast<unsigned long long>(c.max_ulps), c.max_relative, allowed_text,
                    ok ? "ok" : "FAILED");
        all_ok &= ok;
    }
    return all_ok ? 0 : 1;
}
