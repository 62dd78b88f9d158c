#include "results.hpp"

#include <algorithm>
#include <iterator>
#include <sstream>

#include "report.hpp"

namespace benchresults {

namespace {

using nlohmann::json;

constexpr const char* kOrder[] = {
    "writer_throughput", "file_change",      "recorder_cpu_per_frame", "paced_writer_cpu_per_frame",
    "unlimited_fps",     "frames_lost_2x30", "impact_lock_p50",        "impact_lock_p99",
    "parking_share",     "halt_share",       "frame_fetch_transport",
};
constexpr std::string_view kBegin = "<!-- bench-table begin -->";
constexpr std::string_view kEnd = "<!-- bench-table end -->";

size_t rank(const std::string& id) {
    const auto* it =
        std::find_if(std::begin(kOrder), std::end(kOrder), [&](const char* o) { return id == o; });
    return static_cast<size_t>(it - std::begin(kOrder));
}

std::string str(const json& row, const char* key) {
    return row.contains(key) && row[key].is_string() ? row[key].get<std::string>() : "";
}

std::string num(const json& row, const char* key) {
    return row.contains(key) && row[key].is_number() ? benchreport::format(row[key].get<double>())
                                                     : "-";
}

std::string machine_of(const json& row) {
    if (!row.contains("machine") || !row["machine"].is_object()) return "";
    const json& m = row["machine"];
    std::string text =
        m.value("cpu", std::string("?")) + ", " + std::to_string(m.value("cores", 0)) + " cores";
    if (m.contains("load_average") && m["load_average"].is_number()) {
        text += ", load " + benchreport::format(m["load_average"].get<double>(), 2);
    }
    return text;
}

}  // namespace

Rows sorted(Rows rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const json& a, const json& b) {
        const std::string ia = str(a, "id"), ib = str(b, "id");
        return std::make_pair(rank(ia), ia) < std::make_pair(rank(ib), ib);
    });
    return rows;
}

std::string markdown(const Rows& rows) {
    std::ostringstream out;
    out << "| Figure | Value | Anchor (same run) | Ratio | Goal | Machine |\n";
    out << "|---|---|---|---|---|---|\n";
    for (const json& r : rows) {
        std::string value, anchor, ratio, goal;
        if (r.contains("missing")) {
            value = "not measured: " + str(r, "missing");
        } else {
            value = num(r, "value") + " " + str(r, "unit");
            if (!str(r, "anchor").empty()) {
                anchor = num(r, "anchor_value") + " " + str(r, "anchor_unit") + " (" +
                         str(r, "anchor") + ")";
            }
            if (r.contains("ratio") && r["ratio"].is_number()) ratio = num(r, "ratio") + " x";
            goal = str(r, "goal_text");
            if (r.contains("met") && r["met"].is_boolean()) {
                goal += r["met"].get<bool>() ? " (met)" : " (missed)";
            }
        }
        out << "| " << str(r, "figure") << " | " << value << " | " << anchor << " | " << ratio
            << " | " << goal << " | " << machine_of(r) << " |\n";
    }
    return out.str();
}

std::optional<std::string> with_table(std::string_view text, std::string_view table) {
    const size_t begin = text.find(kBegin);
    if (begin == std::string_view::npos) return std::nullopt;
    const size_t from = text.find('\n', begin);
    const size_t end = text.find(kEnd, begin);
    if (from == std::string_view::npos || end == std::string_view::npos || end < from) {
        return std::nullopt;
    }
    // The end marker keeps its own line: it starts right after the table.
    const size_t endLine = text.rfind('\n', end) + 1;
    std::string out(text.substr(0, from + 1));
    out += table;
    out += text.substr(endLine);
    return out;
}

}  // namespace benchresults
