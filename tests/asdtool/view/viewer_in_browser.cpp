// The card viewer as a person uses it: a short board run records a crash and a press of the
// emergency button, `asdtool view` serves the card, and a real headless browser (browser_check.js)
// opens the page, plays, seeks and looks at what is drawn. The page's screenshot is kept in the
// build tree (tests/asdtool/view/artefacts/viewer.png).
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <regex>

#include "eventually.hpp"
#include "files.hpp"
#include "sim_board.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Driving (the GPS's car leaves its traffic light at 8 s); an impact at 10 s; the power goes at
// 13 s (the board boots again: the impact's event ends with it); the emergency button at 19 s; a
// snapshot at 21 s; the end at 26 s.
constexpr const char* kScenario = R"(0     motion driving
10    impact -3 x
+0.6  motion driving
13    power cycle
19    button
21    ibc snapshot
26    quit
)";

// A process started for the test, ended with SIGTERM when the test ends.
struct Child {
    pid_t pid = -1;
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            testsupport::wait_exit(pid);
        }
    }
};

TEST(ViewerInBrowser, TheCardOfABoardRunPlaysInChromium) {
    testsupport::SimBoard board("view-browser");
    board.bin_dir = BIN_DIR;
    board.module_dir = MODULE_DIR;
    const fs::path scenario = board.dir() / "scenario.txt";
    std::ofstream(scenario) << kScenario;
    ASSERT_EQ(board.run({"--scenario", scenario.string(), "--gps-fix-after", "0"}), 0)
        << board.output();
    const fs::path card = board.root() / "mnt/mmcblk0p1";

    const fs::path viewOut = board.dir() / "view.txt";
    Child view;
    view.pid = testsupport::spawn({ASDTOOL_EXE, "view", card.string(), "--port", "0"}, viewOut);
    ASSERT_GT(view.pid, 0);
    std::smatch url;
    const std::regex urlPattern("http://127\\.0\\.0\\.1:[0-9]+/");
    std::string text;
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            text = testsupport::read_file(viewOut);
            return std::regex_search(text, url, urlPattern);
        },
        60s, 50ms))
        << text;

    fs::create_directories(ARTEFACTS);
    const fs::path checkOut = board.dir() / "check.txt";
    Child check;
    check.pid = testsupport::spawn({NODE_EXE, CHECK_SCRIPT, "--url", url.str(), "--chromium",
                                    CHROMIUM_EXE, "--modules", NODE_MODULES, "--out", ARTEFACTS},
                                   checkOut);
    ASSERT_GT(check.pid, 0);
    const int status = testsupport::wait_exit(check.pid);
    check.pid = -1;
    EXPECT_EQ(status, 0) << testsupport::read_file(checkOut) << "\nasdtool view:\n"
                         << testsupport::read_file(viewOut);
    EXPECT_GT(fs::file_size(fs::path(ARTEFACTS) / "viewer.png"), 10000u);
    // The page asked only for what exists: no refusal was logged.
    EXPECT_EQ(testsupport::read_file(viewOut).find("asdtool view: 4"), std::string::npos)
        << testsupport::read_file(viewOut);
}

}  // namespace
