// The modules of recorder/ form layers: no module reaches, through the headers it or its source
// file includes, back to itself. A module is a header and its source file (capture.h and
// capture.cpp); only includes of other files of recorder/ count.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using Graph = std::map<std::string, std::set<std::string>>;

// Module -> the other modules of `dir` that its files include.
Graph IncludeGraph(const fs::path& dir) {
    std::set<std::string> files;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.is_regular_file()) files.insert(e.path().filename().string());
    }
    const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
    Graph graph;
    for (const auto& name : files) {
        const fs::path p = dir / name;
        if (p.extension() != ".h" && p.extension() != ".cpp") continue;
        const std::string module = p.stem().string();
        graph[module];
        std::ifstream in(p);
        std::string line;
        std::smatch m;
        while (std::getline(in, line)) {
            if (!std::regex_search(line, m, include) || files.count(m[1]) == 0) continue;
            const std::string target = fs::path(m[1].str()).stem().string();
            if (target != module) graph[module].insert(target);
        }
    }
    return graph;
}

// One cycle of the graph as its modules in order (the first repeated at the end), if any.
std::optional<std::vector<std::string>> FindCycle(const Graph& graph) {
    enum class Mark { kNone, kOnPath, kDone };
    std::map<std::string, Mark> mark;
    std::vector<std::string> path;
    std::optional<std::vector<std::string>> cycle;

    std::function<void(const std::string&)> visit = [&](const std::string& module) {
        mark[module] = Mark::kOnPath;
        path.push_back(module);
        const auto it = graph.find(module);
        if (it != graph.end()) {
            for (const auto& next : it->second) {
                if (cycle) return;
                if (mark[next] == Mark::kOnPath) {
                    auto from = std::find(path.begin(), path.end(), next);
                    cycle.emplace(from, path.end());
                    cycle->push_back(next);
                    return;
                }
                if (mark[next] == Mark::kNone) visit(next);
            }
        }
        path.pop_back();
        mark[module] = Mark::kDone;
    };
    for (const auto& [module, edges] : graph) {
        if (cycle) break;
        if (mark[module] == Mark::kNone) visit(module);
    }
    return cycle;
}

std::string Text(const std::vector<std::string>& cycle) {
    std::string out;
    for (const auto& m : cycle) out += (out.empty() ? "" : " -> ") + m;
    return out;
}

TEST(IncludeGraph, FindsCyclesOfAnyLengthAndOnlyCycles) {
    EXPECT_FALSE(FindCycle({{"a", {"b", "c"}}, {"b", {"c"}}, {"c", {}}}));
    EXPECT_EQ(FindCycle({{"a", {"b"}}, {"b", {"a"}}}), (std::vector<std::string>{"a", "b", "a"}));
    EXPECT_EQ(FindCycle({{"a", {"b"}}, {"b", {"c"}}, {"c", {"d"}}, {"d", {"b"}}}),
              (std::vector<std::string>{"b", "c", "d", "b"}));
}

TEST(IncludeGraph, ReadsModulesFromHeadersAndSources) {
    const fs::path dir = fs::temp_directory_path() / ("include-graph-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "a.h") << "#pragma once\n#include <vector>\n#include \"b.h\"\n";
    std::ofstream(dir / "a.cpp") << "#include \"a.h\"\n  #  include \"c.h\"\n";
    std::ofstream(dir / "b.h") << "#pragma once\n";
    std::ofstream(dir / "c.h") << "#pragma once\n#include \"elsewhere.h\"\n";
    std::ofstream(dir / "c.cpp") << "#include \"c.h\"\n// #include \"a.h\" in a comment\n";
    const Graph graph = IncludeGraph(dir);
    fs::remove_all(dir);
    EXPECT_EQ(graph, (Graph{{"a", {"b", "c"}}, {"b", {}}, {"c", {}}}));
}

TEST(IncludeGraph, RecorderModulesHaveNoCycle) {
    const Graph graph = IncludeGraph(RECORDER_SOURCE_DIR);
    ASSERT_GT(graph.size(), 10u);
    ASSERT_TRUE(graph.count("capture") && graph.at("capture").count("rotation"));
    const auto cycle = FindCycle(graph);
    EXPECT_FALSE(cycle) << Text(*cycle);
}

}  // namespace
