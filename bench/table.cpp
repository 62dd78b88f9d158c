// bench_table: gathers the rows the benchmarks left into one JSON file and one Markdown table,
// and can put that table into the README.
//
//   bench_table ROWS [--json FILE] [--readme FILE]
//
// ROWS is the directory the benchmarks wrote their rows to, or a results.json written before.
// --readme replaces the lines between "<!-- bench-table begin -->" and "<!-- bench-table end -->".
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "report.hpp"
#include "results.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

bool read_rows(const fs::path& from, benchresults::Rows& rows) {
    if (fs::is_regular_file(from)) {
        std::ifstream in(from);
        const json all = json::parse(in, nullptr, false);
        if (all.is_discarded() || !all.contains("rows") || !all["rows"].is_array()) {
            std::fprintf(stderr, "bench_table: %s holds no rows\n", from.c_str());
            return false;
        }
        for (const json& row : all["rows"]) {
            if (row.is_object() && row.contains("id")) rows.push_back(row);
        }
        return true;
    }
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(from, ec)) {
        if (entry.path().extension() != ".json") continue;
        std::ifstream in(entry.path());
        json row = json::parse(in, nullptr, false);
        if (row.is_discarded() || !row.is_object() || !row.contains("id")) {
            std::fprintf(stderr, "bench_table: %s is not a result row, skipped\n",
                         entry.path().c_str());
            continue;
        }
        rows.push_back(std::move(row));
    }
    if (ec) {
        std::fprintf(stderr, "bench_table: %s: %s\n", from.c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return stamp;
}

bool write_readme(const fs::path& readme, const std::string& table) {
    std::ifstream in(readme);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        std::fprintf(stderr, "bench_table: cannot read %s\n", readme.c_str());
        return false;
    }
    const auto updated = benchresults::with_table(text.str(), table);
    if (!updated) {
        std::fprintf(stderr, "bench_table: %s has no bench-table begin and end lines\n",
                     readme.c_str());
        return false;
    }
    std::ofstream out(readme);
    out << *updated;
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc % 2 != 0) {
        std::fprintf(stderr,
                     "usage: bench_table ROWS_DIR|results.json [--json FILE] [--readme FILE]\n");
        return 2;
    }
    fs::path jsonOut, readme;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--json") {
            jsonOut = argv[i + 1];
        } else if (opt == "--readme") {
            readme = argv[i + 1];
        } else {
            std::fprintf(stderr, "bench_table: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    benchresults::Rows rows;
    if (!read_rows(argv[1], rows)) return 1;
    rows = benchresults::sorted(std::move(rows));

    const std::string table = benchresults::markdown(rows);
    std::printf("\n%s", table.c_str());
    if (!jsonOut.empty()) {
        const json all = {
            {"generated_at", utc_now()},
            {"machine", {{"cpu", benchreport::cpu_model()}, {"cores", benchreport::cores()}}},
            {"rows", rows}};
        std::ofstream out(jsonOut);
        out << all.dump(2) << "\n";
        if (!out) {
            std::fprintf(stderr, "bench_table: cannot write %s\n", jsonOut.c_str());
            return 1;
        }
        std::printf("\nresults: %s\n", jsonOut.c_str());
    }
    if (!readme.empty() && !write_readme(readme, table)) return 1;
    return 0;
}
