// The benchmarks' results against their anchors.
//
// A row is one figure of the benchmark table: what was measured, its anchor measured in the
// same run on the same machine, their ratio and the goal the ratio (or the figure) is held to.
// Each benchmark prints its rows as it measures them and leaves each one as a JSON file
// "<id>.json" in $BENCH_RESULTS_DIR (when set); bench_table gathers them into results.json and
// the README's table. A missed goal is printed and recorded, never an exit status: benchmarks
// do not fail builds or tests.
#pragma once

#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace benchreport {

// How the goal is judged: the ratio at or above, at most, or below a bound; or the figure itself
// at most or below a bound (for rows whose anchor is only a reference, or that have none).
enum class Goal { RatioAtLeast, RatioAtMost, FigureAtMost, FigureBelow, None };

struct Row {
    std::string id;      // file name and JSON key: "recorder_cpu_per_frame"
    std::string figure;  // "recorder processor time per recorded frame"
    double value = NAN;
    std::string unit;    // "us/frame"
    std::string anchor;  // what the anchor is, "" for none
    double anchorValue = NAN;
    std::string anchorUnit;
    Goal goal = Goal::None;
    double bound = NAN;
    std::string note;                                   // how it was measured, extra figures
    std::vector<std::pair<std::string, double>> extra;  // more numbers for the JSON

    // value / anchorValue, NaN when either is missing.
    double ratio() const;
    // Whether the goal holds; nullopt when there is none or a number is missing.
    std::optional<bool> met() const;
    // "ratio >= 0.95 x", "p99 <= 400 ms", "" for none.
    std::string goal_text() const;
};

// Prints the row and, with $BENCH_RESULTS_DIR set, writes "<dir>/<id>.json".
void emit(const Row& row);

// A row that could not be measured (a board that did not start, a tool missing): printed and
// recorded with the reason, so that the table shows the gap instead of an old figure.
void emit_missing(const std::string& id, const std::string& figure, const std::string& why);

// The machine, for the record: processor model, cores, load average now.
std::string cpu_model();
unsigned cores();
double load_average();

// Formats a number with `digits` significant digits, without exponent for everyday sizes.
std::string format(double v, int digits = 3);

}  // namespace benchreport
