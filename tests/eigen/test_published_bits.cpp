// Routes A and B reproduce, bit for bit, an independent transcription of the published
// routines (eispack_transcription.py, which wrote data/eispack_bits.txt): random,
// real, integer, sparse, tridiagonal and degenerate matrices of orders 1 to 36.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "eigen/hermitian.h"

namespace eig = mosslib::eigen;

namespace {

struct Case {
    std::string name;
    int n = 0;
    std::map<std::string, std::vector<double>> rows;  // "ar", "ai", "A w", ...
};

double from_hex(const std::string &h) {
    const std::uint64_t u = std::stoull(h, nullptr, 16);
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

std::vector<Case> load_cases() {
    std::ifstream in(EIGEN_TEST_DATA "/eispack_bits.txt");
    std::vector<Case> cases;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        std::string head;
        ls >> head;
        if (head == "case") {
            cases.emplace_back();
            ls >> cases.back().name >> cases.back().n;
            continue;
        }
        std::string key = head;
        if (head == "A" || head == "B") {
            std::string part;
            ls >> part;
            key += " " + part;
        }
        std::vector<double> values;
        std::string h;
        while (ls >> h) values.push_back(from_hex(h));
        cases.back().rows[key] = values;
    }
    return cases;
}

// Differences in bits, with the first index that differs.
::testing::AssertionResult same_bits(const std::vector<double> &got, const std::vector<double> &want) {
    if (got.size() != want.size()) return ::testing::AssertionFailure() << "size " << got.size();
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::memcmp(&got[i], &want[i], sizeof(double)) != 0)
            return ::testing::AssertionFailure()
                   << "element " << i << ": " << got[i] << " instead of " << want[i];
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(PublishedBits, RoutesAAndBMatchTheTranscription) {
    const auto cases = load_cases();
    ASSERT_GE(cases.size(), 18u);
    for (const Case &c : cases) {
        const int n = c.n;
        const std::size_t nn = static_cast<std::size_t>(n) * n;
        std::vector<double> ar0(nn, 0.0), ai0(nn, 0.0);
        std::size_t p = 0;
        for (int j = 0; j < n; ++j)
            for (int i = j; i < n; ++i, ++p) {
                ar0[i + j * n] = c.rows.at("ar")[p];
                ai0[i + j * n] = c.rows.at("ai")[p];
            }
        for (const char *route : {"A", "B"}) {
            std::vector<double> ar = ar0, ai = ai0, w(n), zr(nn), zi(nn);
            const eig::Status s = route[0] == 'A'
                                      ? eig::chdesc(n, ar.data(), ai.data(), w.data(), zr.data(), zi.data())
                                      : eig::chstop(n, ar.data(), ai.data(), zr.data(), zi.data(), w.data());
            ASSERT_EQ(s, eig::Status::ok);
            const std::string r(route);
            EXPECT_TRUE(same_bits(w, c.rows.at(r + " w"))) << c.name << " " << n << " route " << r << " w";
            EXPECT_TRUE(same_bits(zr, c.rows.at(r + " zr"))) << c.name << " " << n << " route " << r << " zr";
            EXPECT_TRUE(same_bits(zi, c.rows.at(r + " zi"))) << c.name << " " << n << " route " << r << " zi";
        }
    }
}
