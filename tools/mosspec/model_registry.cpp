#include "model_registry.h"

#include <fstream>
#include <sstream>

namespace mosspec {

namespace {
std::vector<Model> &registry() {
    static std::vector<Model> all;
    return all;
}
}  // namespace

bool register_model(Model model) {
    registry().push_back(std::move(model));
    return true;
}

const std::vector<Model> &models() { return registry(); }

const Model *find_model(const std::string &name) {
    for (const Model &m : registry())
        if (m.name == name) return &m;
    return nullptr;
}

std::vector<double> read_numbers(const std::string &path) {
    std::ifstream in(path);
    if (!in) throw UsageError("cannot read '" + path + "'");
    std::vector<double> out;
    std::string line;
    while (std::getline(in, line)) {
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        for (char &c : line)
            if (c == ',' || c == ';' || c == '\t') c = ' ';
        std::istringstream words(line);
        std::string w;
        while (words >> w) {
            std::size_t used = 0;
            double x = 0;
            try {
                x = std::stod(w, &used);
            } catch (const std::exception &) {
                used = 0;
            }
            if (used != w.size()) throw UsageError("'" + path + "': not a number: '" + w + "'");
            out.push_back(x);
        }
    }
    return out;
}

}  // namespace mosspec
