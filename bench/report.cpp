#include "report.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

namespace benchreport {

namespace {

nlohmann::json number(double v) {
    return std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(nullptr);
}

const char* goal_name(Goal g) {
    switch (g) {
        case Goal::RatioAtLeast:
            return "ratio_at_least";
        case Goal::RatioAtMost:
            return "ratio_at_most";
        case Goal::FigureAtMost:
            return "figure_at_most";
        case Goal::FigureBelow:
            return "figure_below";
        case Goal::None:
            break;
    }
    return "none";
}

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

void write_json(const nlohmann::json& j, const std::string& id) {
    const char* dir = std::getenv("BENCH_RESULTS_DIR");
    if (dir == nullptr || dir[0] == '\0') return;
    const std::string path = std::string(dir) + "/" + id + ".json";
    std::ofstream out(path);
    out << j.dump(2) << "\n";
    if (!out) std::fprintf(stderr, "bench: cannot write %s\n", path.c_str());
}

nlohmann::json machine() {
    return {{"cpu", cpu_model()}, {"cores", cores()}, {"load_average", load_average()}};
}

}  // namespace

double Row::ratio() const {
    if (!std::isfinite(value) || !std::isfinite(anchorValue) || anchorValue == 0) return NAN;
    return value / anchorValue;
}

std::optional<bool> Row::met() const {
    const double r = ratio();
    switch (goal) {
        case Goal::RatioAtLeast:
            if (std::isfinite(r)) return r >= bound;
            break;
        case Goal::RatioAtMost:
            if (std::isfinite(r)) return r <= bound;
            break;
        case Goal::FigureAtMost:
            if (std::isfinite(value)) return value <= bound;
            break;
        case Goal::FigureBelow:
            if (std::isfinite(value)) return value < bound;
            break;
        case Goal::None:
            break;
    }
    return std::nullopt;
}

std::string Row::goal_text() const {
    char b[32];
    std::snprintf(b, sizeof b, "%g", bound);
    const std::string n = b;
    switch (goal) {
        case Goal::RatioAtLeast:
            return ">= " + n + " x";
        case Goal::RatioAtMost:
            return "<= " + n + " x";
        case Goal::FigureAtMost:
            return "<= " + n + " " + unit;
        case Goal::FigureBelow:
            return "< " + n + " " + unit;
        case Goal::None:
            break;
    }
    return "";
}

std::string format(double v, int digits) {
    if (!std::isfinite(v)) return "-";
    char text[64];
    const double a = std::fabs(v);
    if (a != 0 && (a >= 1e9 || a < 1e-3)) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        return text;
    }
    // Significant digits without an exponent: 0.0123, 1.23, 123, 12345. The exponent is taken
    // after rounding, so that 9.996 becomes 10.0 rather than 10.00.
    int decimals = 0;
    if (a != 0) {
        std::snprintf(text, sizeof text, "%.*e", digits - 1, a);
        const int exponent = std::atoi(std::strchr(text, 'e') + 1);
        decimals = std::max(0, digits - 1 - exponent);
    }
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

void emit(const Row& row) {
    const double r = row.ratio();
    const std::optional<bool> met = row.met();
    std::printf("\n%s\n", row.figure.c_str());
    std::printf("  figure  %s %s\n", format(row.value).c_str(), row.unit.c_str());
    if (!row.anchor.empty()) {
        std::printf("  anchor  %s %s  (%s)\n", format(row.anchorValue).c_str(),
                    row.anchorUnit.c_str(), row.anchor.c_str());
    }
    if (std::isfinite(r)) std::printf("  ratio   %s x\n", format(r).c_str());
    if (row.goal != Goal::None) {
        std::printf("  goal    %s  %s\n", row.goal_text().c_str(),
                    !met   ? "(not judged)"
                    : *met ? "met"
                           : "MISSED");
    }
    if (!row.note.empty()) std::printf("  note    %s\n", row.note.c_str());
    std::fflush(stdout);

    nlohmann::json j = {
        {"id", row.id},
        {"figure", row.figure},
        {"value", number(row.value)},
        {"unit", row.unit},
        {"anchor", row.anchor},
        {"anchor_value", number(row.anchorValue)},
        {"anchor_unit", row.anchorUnit},
        {"ratio", number(r)},
        {"goal", {{"kind", goal_name(row.goal)}, {"bound", number(row.bound)}}},
        {"goal_text", row.goal_text()},
        {"met", met ? nlohmann::json(*met) : nlohmann::json(nullptr)},
        {"note", row.note},
        {"measured_at", utc_now()},
        {"machine", machine()},
    };
    for (const auto& [key, v] : row.extra) j["extra"][key] = number(v);
    write_json(j, row.id);
}

void emit_missing(const std::string& id, const std::string& figure, const std::string& why) {
    std::printf("\n%s\n  not measured: %s\n", figure.c_str(), why.c_str());
    std::fflush(stdout);
    nlohmann::json j = {{"id", id},       {"figure", figure},         {"value", nullptr},
                        {"missing", why}, {"measured_at", utc_now()}, {"machine", machine()}};
    write_json(j, id);
}

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            if (colon != std::string::npos)
                return line.substr(line.find_first_not_of(' ', colon + 1));
        }
    }
    return "unknown";
}

unsigned cores() {
    return std::max(1u, std::thread::hardware_concurrency());
}

double load_average() {
    double load[1] = {NAN};
    if (getloadavg(load, 1) != 1) return NAN;
    return load[0];
}

}  // namespace benchreport
