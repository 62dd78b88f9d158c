// The rows the benchmarks leave (report.hpp) as one table: their order, the Markdown table, and
// the README's block that holds it.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace benchresults {

using Rows = std::vector<nlohmann::json>;

// The rows in the table's order (the figures of the benchmark table first, others by id).
Rows sorted(Rows rows);

// A Markdown table: figure, value, anchor, ratio, goal (and whether it was met), machine.
// A row that was not measured says why.
std::string markdown(const Rows& rows);

// `text` with the lines between "<!-- bench-table begin -->" and "<!-- bench-table end -->"
// replaced by `table`; nullopt when the markers are missing or out of order.
std::optional<std::string> with_table(std::string_view text, std::string_view table);

}  // namespace benchresults
