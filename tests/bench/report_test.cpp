// A row's ratio and goal, and what the table makes of rows: the verdicts the benchmark table
// rests on.
#include <gtest/gtest.h>

#include <cmath>

#include "report.hpp"
#include "results.hpp"

namespace {

using benchreport::Goal;
using benchreport::Row;

Row row(double value, double anchor, Goal goal, double bound) {
    Row r;
    r.id = "x";
    r.value = value;
    r.anchorValue = anchor;
    r.goal = goal;
    r.bound = bound;
    r.unit = "ms";
    return r;
}

TEST(Row, GoalsAreJudgedAtTheirBounds) {
    EXPECT_EQ(row(95, 100, Goal::RatioAtLeast, 0.95).met(), true);
    EXPECT_EQ(row(94.9, 100, Goal::RatioAtLeast, 0.95).met(), false);
    EXPECT_EQ(row(50, 100, Goal::RatioAtMost, 0.5).met(), true);
    EXPECT_EQ(row(50.1, 100, Goal::RatioAtMost, 0.5).met(), false);
    EXPECT_EQ(row(400, 333, Goal::FigureAtMost, 400).met(), true);
    EXPECT_EQ(row(1, NAN, Goal::FigureBelow, 1).met(), false) << "below, not at";
    EXPECT_EQ(row(0, NAN, Goal::FigureAtMost, 0).met(), true) << "no frame lost";
}

TEST(Row, NothingIsJudgedWithoutItsNumbers) {
    EXPECT_EQ(row(NAN, 100, Goal::RatioAtLeast, 0.9).met(), std::nullopt);
    EXPECT_EQ(row(90, NAN, Goal::RatioAtLeast, 0.9).met(), std::nullopt) << "no anchor";
    EXPECT_EQ(row(90, 0, Goal::RatioAtMost, 0.5).met(), std::nullopt) << "anchor of 0";
    EXPECT_EQ(row(NAN, NAN, Goal::FigureBelow, 1).met(), std::nullopt);
    EXPECT_EQ(row(1, 2, Goal::None, 0).met(), std::nullopt);
    EXPECT_TRUE(std::isnan(row(1, NAN, Goal::None, 0).ratio()));
}

TEST(Row, GoalText) {
    EXPECT_EQ(row(1, 1, Goal::RatioAtLeast, 0.95).goal_text(), ">= 0.95 x");
    EXPECT_EQ(row(1, 1, Goal::FigureAtMost, 400).goal_text(), "<= 400 ms");
    EXPECT_EQ(row(1, 1, Goal::FigureBelow, 1).goal_text(), "< 1 ms");
    EXPECT_EQ(row(1, 1, Goal::None, 1).goal_text(), "");
}

TEST(Format, SignificantDigitsWithoutExponent) {
    EXPECT_EQ(benchreport::format(0.0123), "0.0123");
    EXPECT_EQ(benchreport::format(1.234), "1.23");
    EXPECT_EQ(benchreport::format(123.4), "123");
    EXPECT_EQ(benchreport::format(12345.6), "12346");
    EXPECT_EQ(benchreport::format(0), "0");
    EXPECT_EQ(benchreport::format(-2.5), "-2.50");
    EXPECT_EQ(benchreport::format(NAN), "-");
    EXPECT_EQ(benchreport::format(9.996), "10.0") << "rounding up a decade";
}

using nlohmann::json;

json measured(const std::string& id, double value, bool met) {
    return {{"id", id},
            {"figure", "fig " + id},
            {"value", value},
            {"unit", "us"},
            {"anchor", "plain"},
            {"anchor_value", 2 * value},
            {"anchor_unit", "us"},
            {"ratio", 0.5},
            {"goal_text", "<= 0.5 x"},
            {"met", met},
            {"machine", {{"cpu", "CPU"}, {"cores", 2}, {"load_average", 1.5}}}};
}

TEST(Table, RowsFollowTheBenchmarkTable) {
    const auto rows =
        benchresults::sorted({measured("zzz", 1, true), measured("halt_share", 1, true),
                              measured("writer_throughput", 1, true), measured("aaa", 1, true)});
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0]["id"], "writer_throughput");
    EXPECT_EQ(rows[1]["id"], "halt_share");
    EXPECT_EQ(rows[2]["id"], "aaa") << "unknown rows after, by id";
    EXPECT_EQ(rows[3]["id"], "zzz");
}

TEST(Table, OneLinePerRowWithVerdictAndMachine) {
    json missing = {{"id", "impact_lock_p99"}, {"figure", "impact"}, {"missing", "no board"}};
    const std::string t =
        benchresults::markdown({measured("a", 60, false), missing, json{{"id", "bare"}}});
    EXPECT_NE(t.find("| fig a | 60.0 us | 120 us (plain) | 0.500 x | <= 0.5 x (missed) | "
                     "CPU, 2 cores, load 1.5 |"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find("| impact | not measured: no board |"), std::string::npos) << t;
    EXPECT_NE(t.find("|  | - "), std::string::npos) << "a row without fields still has its line";
    EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 5);
}

TEST(Table, ReadmeBlockIsReplacedWhole) {
    const std::string readme =
        "intro\n<!-- bench-table begin -->\n| old |\n| rows |\n<!-- bench-table end -->\nafter\n";
    EXPECT_EQ(benchresults::with_table(readme, "| new |\n"),
              "intro\n<!-- bench-table begin -->\n| new |\n<!-- bench-table end -->\nafter\n");
    const std::string empty = "<!-- bench-table begin -->\n<!-- bench-table end -->\n";
    EXPECT_EQ(benchresults::with_table(empty, "T\n"),
              "<!-- bench-table begin -->\nT\n<!-- bench-table end -->\n");
    EXPECT_EQ(benchresults::with_table("no markers\n", "T\n"), std::nullopt);
    EXPECT_EQ(
        benchresults::with_table("<!-- bench-table end -->\n<!-- bench-table begin -->\n", "T\n"),
        std::nullopt)
        << "markers out of order";
    EXPECT_EQ(benchresults::with_table("<!-- bench-table begin --><!-- bench-table end -->", "T"),
              std::nullopt)
        << "both on one line";
}

}  // namespace
