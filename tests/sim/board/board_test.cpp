// The board's pieces in-process: scenario files, options, sizes, the root directory, the card
// and its faults as the programs' os seam sees them, the console.
#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "board.hpp"
#include "card.hpp"
#include "console.hpp"
#include "control.hpp"
#include "files.hpp"
#include "options.hpp"
#include "os.h"
#include "programs.hpp"
#include "root.hpp"
#include "scenario.hpp"
#include "sim_card_io.h"

namespace {

namespace fs = std::filesystem;
using simboard::Model;

using testsupport::read_file;
using testsupport::TempDir;

// ---- scenario ----------------------------------------------------------------------------------

TEST(Scenario, TimesActionsCommentsAndOrder) {
    std::vector<simboard::ScenarioStep> steps;
    std::string error;
    ASSERT_TRUE(
        simboard::parse_scenario("# start\n"
                                 "\n"
                                 "5 card full   # no space\n"
                                 "+1.5 card ok\n"
                                 "2 power cycle\n"
                                 "  2   log two at the same time\n"
                                 "0 reboot",
                                 "s.txt", steps, error))
        << error;
    ASSERT_EQ(steps.size(), 5u);
    EXPECT_EQ(steps[0].command.text, "reboot");
    EXPECT_EQ(steps[0].line, 7);
    EXPECT_DOUBLE_EQ(steps[0].time, 0);
    EXPECT_EQ(steps[1].command.text, "power cycle");
    EXPECT_EQ(steps[1].line, 5);
    EXPECT_DOUBLE_EQ(steps[1].time, 2);
    EXPECT_EQ(steps[2].command.text, "log two at the same time");  // same time: file order
    EXPECT_EQ(steps[2].command.args, (simboard::Args{"two", "at", "the", "same", "time"}));
    EXPECT_EQ(steps[3].command.text, "card full");
    EXPECT_EQ(steps[4].command.text, "card ok");
    EXPECT_DOUBLE_EQ(steps[4].time, 6.5);  // relative to the line before it in the file
}

TEST(Scenario, BadLinesNameTheirLine) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"1 power off\nsoon power on\n", "s.txt:2: 'soon' is not a time"},
        {"1 power off\n\n2 fly away\n", "s.txt:3: unknown action 'fly away'"},
        {"1 card\n", "s.txt:1: unknown action 'card'"},
        {"1 card full now\n", "s.txt:1: 'card full now': takes no arguments"},
        {"1 log\n", "s.txt:1: 'log': expected a text"},
        {"-1 reboot\n", "s.txt:1: '-1' is not a time"},
        {"1e999 reboot\n", "s.txt:1: '1e999' is not a time"},
        {"3\n", "s.txt:1: no action given"},
    };
    for (const auto& c : cases) {
        std::vector<simboard::ScenarioStep> steps;
        std::string error;
        EXPECT_FALSE(simboard::parse_scenario(c.text, "s.txt", steps, error)) << c.text;
        EXPECT_EQ(error.rfind(c.expected, 0), 0u) << error;
    }
}

TEST(Scenario, RegisteredActionsCheckTheirArguments) {
    static const bool once = [] {
        simboard::register_action(
            {"test knob", "LEVEL", "turn the knob",
             [](const simboard::Args& a) -> std::string {
                 return a.size() == 1 && a[0].find_first_not_of("0123456789") == std::string::npos
                            ? ""
                            : "expected one level";
             },
             [](simboard::Board&, const simboard::Args&) { return std::string(); }});
        return true;
    }();
    (void)once;
    std::vector<simboard::ScenarioStep> steps;
    std::string error;
    EXPECT_TRUE(simboard::parse_scenario("1 test knob 40\n", "k", steps, error)) << error;
    EXPECT_FALSE(simboard::parse_scenario("1 test knob loud\n", "k", steps, error));
    EXPECT_EQ(error, "k:1: 'test knob loud': expected one level (usage: test knob LEVEL)");
    EXPECT_NE(simboard::usage_text().find("test knob LEVEL"), std::string::npos);
}

// ---- options and sizes -------------------------------------------------------------------------

TEST(Options, DefaultsAndValues) {
    simboard::Options o;
    std::string error;
    ASSERT_TRUE(simboard::parse_options({}, "/x/build/bin", o, error)) << error;
    EXPECT_EQ(o.root, "board");
    EXPECT_EQ(o.model, Model::kTK700);
    EXPECT_EQ(o.card_bytes, 8ull << 30);
    EXPECT_EQ(o.bin_dir, "/x/build/bin");
    EXPECT_EQ(o.module_dir, "/x/build/modules");
    ASSERT_EQ(o.steps.size(), 2u);
    EXPECT_EQ(o.steps[0].argv[0], "volcheck");
    EXPECT_TRUE(o.steps[0].wait);
    EXPECT_EQ(o.steps[1].argv[0], "recorder");
    EXPECT_FALSE(o.steps[1].wait);

    simboard::Options p;
    ASSERT_TRUE(
        simboard::parse_options({"--root", "r", "--model=tk500", "--card", "512M", "--duration",
                                 "2.5", "--start", "a 'x y'", "--run", "/bin/b"},
                                "/x", p, error))
        << error;
    EXPECT_EQ(p.root, "r");
    EXPECT_EQ(p.model, Model::kTK500);
    EXPECT_EQ(p.card_bytes, 512ull << 20);
    EXPECT_DOUBLE_EQ(*p.duration, 2.5);
    ASSERT_EQ(p.steps.size(), 2u);
    EXPECT_EQ(p.steps[0].argv, (std::vector<std::string>{"a", "x y"}));
    EXPECT_FALSE(p.steps[0].wait);
    EXPECT_TRUE(p.steps[1].wait);
}

TEST(Options, BadArgumentsAreNamed) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"--model", "tk900"}, "--model tk900"},
        {{"--card", "8X"}, "--card 8X"},
        {{"--card", "100K"}, "--card 100K"},
        {{"--duration", "0"}, "--duration 0"},
        {{"--duration", "soon"}, "--duration soon"},
        {{"--root"}, "option --root needs a value"},
        {{"--start", "'open"}, "--start ''open'"},
        {{"stray"}, "unexpected argument 'stray'"},
    };
    for (const auto& [args, expected] : cases) {
        simboard::Options o;
        std::string error;
        EXPECT_FALSE(simboard::parse_options(args, "/x", o, error));
        EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
    }
}

TEST(Sizes, SuffixesAndLimits) {
    EXPECT_EQ(simboard::parse_size("8G"), 8ull << 30);
    EXPECT_EQ(simboard::parse_size("7001M"), 7001ull << 20);
    EXPECT_EQ(simboard::parse_size("64k"), 64ull << 10);
    EXPECT_EQ(simboard::parse_size("4096"), 4096u);
    EXPECT_EQ(simboard::parse_size("1024G"), 1ull << 40);
    for (const char* bad : {"", "G", "0", "0G", "-1G", "8X", "8GB", "1025G", "1.5G", " 8G"}) {
        EXPECT_FALSE(simboard::parse_size(bad).has_value()) << bad;
    }
    EXPECT_EQ(simboard::format_size(100), "100 B");
    EXPECT_EQ(simboard::format_size(8ull << 30), "8.0 GiB");
}

TEST(Commands, SplitWithQuotes) {
    EXPECT_EQ(simboard::split_command("recorder"), (std::vector<std::string>{"recorder"}));
    EXPECT_EQ(simboard::split_command("  volcheck  300 "),
              (std::vector<std::string>{"volcheck", "300"}));
    EXPECT_EQ(simboard::split_command("p \"a b\" 'c'd ''"),
              (std::vector<std::string>{"p", "a b", "cd", ""}));
    EXPECT_TRUE(simboard::split_command("p 'open").empty());
}

// ---- root ------------------------------------------------------------------------------------

TEST(Root, FreshRootHasCardFlashPromptsAndMarker) {
    TempDir tmp;
    const fs::path root = tmp.path() / "a/b/board";  // missing parents are made too
    std::string error;
    ASSERT_TRUE(simboard::prepare_root(root, Model::kTK500, error)) << error;
    for (const char* sub : {"mnt/mmcblk0p1", "mnt/jffs_user/config", "mnt/jffs_user/wave", "dev",
                            "run", "log", "state"}) {
        EXPECT_TRUE(fs::is_directory(root / sub)) << sub;
    }
    EXPECT_TRUE(fs::exists(root / "mnt/jffs_user/DR/TK500"));
    // The prompts' content is checked where they are played (PeersRun, the end-to-end events).
    for (const char* name : {"071.wav", "074.wav", "078.wav", "079.wav"})
        EXPECT_GT(fs::file_size(root / "mnt/jffs_user/wave" / name), 44u) << name;
    // No building directory is left beside it.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(root.parent_path())) ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(Root, ExistingRootKeepsItsContentsAndFollowsTheModel) {
    TempDir tmp;
    const fs::path root = tmp.path() / "board";
    std::string error;
    ASSERT_TRUE(simboard::prepare_root(root, Model::kTK500, error)) << error;
    std::ofstream(root / "mnt/mmcblk0p1/keep.txt") << "card data";
    std::ofstream(root / "mnt/jffs_user/wave/074.wav") << "own prompt";
    ASSERT_TRUE(simboard::prepare_root(root, Model::kTK700, error)) << error;
    EXPECT_EQ(read_file(root / "mnt/mmcblk0p1/keep.txt"), "card data");
    EXPECT_EQ(read_file(root / "mnt/jffs_user/wave/074.wav"), "own prompt");
    EXPECT_FALSE(fs::exists(root / "mnt/jffs_user/DR/TK500"));
}

TEST(Root, ARootThatCannotBeMadeLeavesNothing) {
    TempDir tmp;
    std::ofstream(tmp.path() / "plain") << "x";
    // A root under a plain file is refused in BoardRun.BadInputStopsBeforeAnythingIsMade.
    std::string error;
    EXPECT_FALSE(simboard::prepare_root(tmp.path() / "plain", Model::kTK700, error));
    EXPECT_NE(error.find("not a directory"), std::string::npos) << error;
    // A parent that refuses new entries.
    fs::create_directory(tmp.path() / "locked");
    fs::permissions(tmp.path() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    if (::access((tmp.path() / "locked").c_str(), W_OK) != 0) {  // root may write anyway
        EXPECT_FALSE(simboard::prepare_root(tmp.path() / "locked/x/board", Model::kTK700, error));
        EXPECT_TRUE(fs::is_empty(tmp.path() / "locked"));
    }
    fs::permissions(tmp.path() / "locked", fs::perms::owner_all);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(tmp.path())) ++entries;
    EXPECT_EQ(entries, 2u);  // "plain" and "locked", nothing else
}

TEST(Root, NodeTableAndPlaceholders) {
    TempDir tmp;
    std::string error;
    ASSERT_TRUE(simboard::prepare_root(tmp.path(), Model::kTK700, error));
    ::mkfifo((tmp.path() / "dev/dsp").c_str(), 0644);  // what the audio model makes of it
    ASSERT_TRUE(simboard::write_node_table(
        tmp.path(), {{"/dev/winbond0", 240, 0}, {"/dev/dsp", 14, 3}}, error));
    EXPECT_EQ(read_file(tmp.path() / "dev/.nodes"), "/dev/winbond0 c 240 0\n/dev/dsp c 14 3\n");
    EXPECT_TRUE(fs::is_regular_file(tmp.path() / "dev/winbond0"));
    EXPECT_TRUE(fs::is_fifo(tmp.path() / "dev/dsp"));
}

// ---- card ------------------------------------------------------------------------------------

class CardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(simboard::prepare_root(tmp_.path(), Model::kTK700, error)) << error;
        ::setenv("SIMBOARD_ROOT", tmp_.path().c_str(), 1);
        ::unsetenv("SIMBOARD_SOCKET");
    }
    void open_card(uint64_t capacity) {
        std::string error;
        ASSERT_TRUE(card_.open(tmp_.path(), capacity, simboard::Durability::kFaithful, 1, error))
            << error;
        os::init();
    }
    std::string box(const char* name) { return std::string("/mnt/mmcblk0p1/") + name; }

    TempDir tmp_;
    simboard::Card card_;
};

TEST_F(CardTest, StatfsReportsTheVirtualCapacity) {
    for (const uint64_t mb : {512ull, 7000ull, 7001ull, 32768ull}) {
        open_card(mb << 20);
        struct statfs st {};
        ASSERT_EQ(os::statfs("/mnt/mmcblk0p1", &st), 0);
        EXPECT_EQ(static_cast<uint64_t>(st.f_blocks) * st.f_bsize, mb << 20) << mb;
        EXPECT_LE(st.f_bfree, st.f_blocks);
        EXPECT_GT(st.f_bfree, 0u);
    }
    // Space taken by files shows as used.
    open_card(1ull << 30);
    struct statfs before {
    }, after{};
    ASSERT_EQ(os::statfs("/mnt/mmcblk0p1", &before), 0);
    const std::string mib(1 << 20, 'x');
    const int fd = os::open(box("big").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(os::write(fd, mib.data(), mib.size()), static_cast<ssize_t>(mib.size()));
    os::close(fd);
    ASSERT_EQ(os::statfs("/mnt/mmcblk0p1", &after), 0);
    EXPECT_GE((before.f_bfree - after.f_bfree) * after.f_bsize, 1u << 20);
    EXPECT_GE(card_.used_bytes(), 1u << 20);
    // What the PC put there behind the file system shows once the card is counted again.
    std::ofstream(tmp_.path() / "mnt/mmcblk0p1/big2") << mib;
    os::simcardio::recount();
    ASSERT_EQ(os::statfs("/mnt/mmcblk0p1", &before), 0);
    EXPECT_GE((after.f_bfree - before.f_bfree) * after.f_bsize, 1u << 20);
}

TEST_F(CardTest, FullCardRefusesWrites) {
    open_card(1ull << 30);
    const int fd = os::open(box("f").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(card_.set_state(os::simcard::CARD_FULL), "");
    EXPECT_EQ(os::write(fd, "abc", 3), -1);
    EXPECT_EQ(errno, ENOSPC);
    struct statfs st {};
    ASSERT_EQ(os::statfs("/mnt/mmcblk0p1", &st), 0);
    EXPECT_EQ(st.f_bfree, 0u);
    EXPECT_EQ(card_.set_state(os::simcard::CARD_OK), "");
    EXPECT_EQ(os::write(fd, "abc", 3), 3);
    os::close(fd);
}

TEST_F(CardTest, FailingCardGivesEio) {
    open_card(1ull << 30);
    const int fd = os::open(box("f").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(card_.set_state(os::simcard::CARD_FAILING), "");
    char c;
    EXPECT_EQ(os::write(fd, "abc", 3), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(os::read(fd, &c, 1), -1);
    EXPECT_EQ(errno, EIO);
    os::close(fd);
}

TEST_F(CardTest, RemovedCardLosesItsFilesUntilInsertedAgain) {
    open_card(1ull << 30);
    std::ofstream(tmp_.path() / "mnt/mmcblk0p1/Firmware_version.txt") << "v1";
    const int fd = os::open(box("Firmware_version.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(card_.remove(), "");
    EXPECT_NE(card_.remove(), "");  // already out
    EXPECT_EQ(card_.state(), os::simcard::CARD_REMOVED);
    EXPECT_NE(card_.set_state(os::simcard::CARD_FULL), "");
    char c;
    EXPECT_EQ(os::read(fd, &c, 1), -1);
    EXPECT_EQ(errno, EIO);
    os::close(fd);
    EXPECT_NE(os::access(box("Firmware_version.txt").c_str(), F_OK), 0);  // the stamp is gone
    // Something written to the bare mount point meanwhile is kept aside, not mixed in.
    std::ofstream(tmp_.path() / "mnt/mmcblk0p1/stray") << "x";
    EXPECT_EQ(card_.insert(), "");
    EXPECT_NE(card_.insert(), "");  // already in
    EXPECT_EQ(card_.state(), os::simcard::CARD_OK);
    EXPECT_EQ(os::access(box("Firmware_version.txt").c_str(), F_OK), 0);
    EXPECT_FALSE(fs::exists(tmp_.path() / "mnt/mmcblk0p1/stray"));
    EXPECT_TRUE(fs::exists(tmp_.path() / "lost+found/mmcblk0p1-mountpoint.1/stray"));
}

TEST_F(CardTest, ACardLeftRemovedIsBackAtTheNextStart) {
    open_card(1ull << 30);
    std::ofstream(tmp_.path() / "mnt/mmcblk0p1/data.bin") << "kept";
    EXPECT_EQ(card_.remove(), "");
    simboard::Card next;
    std::string error;
    ASSERT_TRUE(next.open(tmp_.path(), 1ull << 30, simboard::Durability::kFaithful, 1, error))
        << error;
    EXPECT_EQ(next.state(), os::simcard::CARD_OK);
    EXPECT_EQ(read_file(tmp_.path() / "mnt/mmcblk0p1/data.bin"), "kept");
}

// ---- control socket ----------------------------------------------------------------------------

TEST(Control, CommandsReachTheBoardAndAnswersComeBack) {
    TempDir tmp;
    const fs::path root = tmp.path() / std::string(70, 'r') / std::string(50, 's');  // deep
    fs::create_directories(root / "run");
    std::vector<std::string> seen;
    simboard::ControlServer server([&](const std::vector<std::string>& words, std::string& text) {
        seen = words;
        text = words[0] == "bad" ? "refused" : "fine";
        return words[0] != "bad";
    });
    std::string error;
    ASSERT_TRUE(server.listen((root / "run/ctl.sock").string(), error)) << error;
    EXPECT_EQ(simboard::run_ctl(root, {"card", "full"}), 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"card", "full"}));
    EXPECT_EQ(simboard::run_ctl(root, {"bad", ""}), 1);
    EXPECT_EQ(seen, (std::vector<std::string>{"bad", ""}));
    server.stop();
    EXPECT_EQ(simboard::run_ctl(root, {"status"}), 2);  // nobody listens any more
}

// ---- console -----------------------------------------------------------------------------------

TEST(Console, LinesGoToTheLogWithTheirSource) {
    TempDir tmp;
    std::FILE* out = std::tmpfile();
    {
        simboard::Console console(out);
        std::string error;
        ASSERT_TRUE(console.open_log(tmp.path() / "console.log", error)) << error;
        console.line("recorder", "one\r\ntwo\n");
        console.line("kernel", "");
        EXPECT_FALSE(console.live());
    }
    const std::string log = read_file(tmp.path() / "console.log");
    std::istringstream lines(log);
    std::string l1, l2, l3, extra;
    std::getline(lines, l1);
    std::getline(lines, l2);
    std::getline(lines, l3);
    EXPECT_NE(l1.find("] [recorder] one"), std::string::npos) << l1;
    EXPECT_EQ(l1.back(), 'e');  // the CR is gone
    EXPECT_NE(l2.find("] [recorder] two"), std::string::npos) << l2;
    EXPECT_NE(l3.find("] [kernel] "), std::string::npos) << l3;
    EXPECT_FALSE(std::getline(lines, extra));
    std::rewind(out);
    std::string echoed(4096, '\0');
    echoed.resize(std::fread(echoed.data(), 1, echoed.size(), out));
    EXPECT_EQ(echoed, log);
    std::fclose(out);
}

}  // namespace
