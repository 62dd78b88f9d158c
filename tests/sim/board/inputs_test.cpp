// What the board is given, checked before anything changes: its root (never the file system's
// root, never a folder of other things), the serial ports' outside ends, the card's size, the
// scenario file, and text from outside shown escaped on the terminal.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "console.hpp"
#include "files.hpp"
#include "options.hpp"
#include "root.hpp"
#include "scenario.hpp"
#include "serial.hpp"

namespace {

namespace fs = std::filesystem;
using simboard::check_root;
using simboard::Model;
using testsupport::read_file;
using testsupport::TempDir;

// Everything under `dir`: each path with its type, and a regular file's content or a link's
// target, to see that nothing changed.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const auto rel = fs::relative(e.path(), dir).string();
        if (e.is_symlink()) {
            out[rel] = "link " + fs::read_symlink(e.path()).string();
        } else if (e.is_regular_file()) {
            out[rel] = "file " + read_file(e.path());
        } else {
            out[rel] = "other";
        }
    }
    return out;
}

void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// ---- root --------------------------------------------------------------------------------------

TEST(RootCheck, TheFileSystemsRootIsRefusedHoweverItIsNamed) {
    TempDir tmp;
    fs::create_directory_symlink("/", tmp.path() / "slash");
    for (const fs::path& root : {fs::path("/"), fs::path("/tmp/.."), fs::path("//"),
                                 tmp.path() / "slash", tmp.path() / "slash/."}) {
        const std::string why = check_root(root);
        EXPECT_NE(why.find("refused: the file system's root"), std::string::npos) << root << why;
    }
}

TEST(RootCheck, AFolderOfOtherThingsIsRefusedAndLeftAsItWas) {
    TempDir tmp;
    const fs::path home = tmp.path() / "home";
    put(home / "notes.txt", "mine");
    put(home / "mnt/mmcblk0p1/data/rec00000000.asd", "card");  // board-like, and more
    const auto before = snapshot(home);
    const std::string why = check_root(home);
    EXPECT_NE(why.find("refused: the folder is not empty and is not a board's root ('notes.txt' "
                       "is no part of a board)"),
              std::string::npos)
        << why;
    std::string error;
    EXPECT_FALSE(simboard::prepare_root(home, Model::kTK700, error));
    EXPECT_EQ(error, why);
    EXPECT_EQ(snapshot(home), before);

    // Under mnt/ and dev/ as well: another mount point, a folder among the device nodes.
    const fs::path mnt = tmp.path() / "mnt-root";
    fs::create_directories(mnt / "mnt/cdrom");
    EXPECT_NE(check_root(mnt).find("'mnt/cdrom' is no part"), std::string::npos);
    const fs::path dev = tmp.path() / "dev-root";
    fs::create_directories(dev / "dev/input");
    EXPECT_NE(check_root(dev).find("'dev/input' is no part"), std::string::npos);
    EXPECT_NE(check_root(tmp.path() / "home/notes.txt").find("is not a directory"),
              std::string::npos);
}

TEST(RootCheck, NewEmptyMarkedAndEarlierRootsAreTaken) {
    TempDir tmp;
    EXPECT_EQ(check_root(tmp.path() / "new/board"), "");
    fs::create_directory(tmp.path() / "empty");
    EXPECT_EQ(check_root(tmp.path() / "empty"), "");

    // A root of an earlier board, made before the marker: taken, kept, and marked from now on.
    const fs::path old = tmp.path() / "old";
    for (const char* sub : {"mnt/jffs_user/config", "dev", "run", "log", "state", "lost+found"})
        fs::create_directories(old / sub);
    put(old / "mnt/mmcblk0p1/data/rec00000003.asd", "recording");
    put(old / "log/console.log", "earlier runs\n");
    fs::create_symlink("/dev/pts/99", old / "dev/ttySAC1");
    ::mkfifo((old / "dev/dsp").c_str(), 0600);
    EXPECT_EQ(check_root(old), "");
    std::string error;
    ASSERT_TRUE(simboard::prepare_root(old, Model::kTK700, error)) << error;
    EXPECT_EQ(read_file(old / "mnt/mmcblk0p1/data/rec00000003.asd"), "recording");
    EXPECT_EQ(read_file(old / "log/console.log"), "earlier runs\n");
    EXPECT_TRUE(fs::exists(old / simboard::kRootMarker));

    // A board's root holds what its user puts there too.
    put(old / "notes.txt", "mine");
    EXPECT_EQ(check_root(old), "");

    // A card put in place before the first start.
    put(tmp.path() / "prepared/mnt/mmcblk0p1/configs/basic_conf", "conf");
    EXPECT_EQ(check_root(tmp.path() / "prepared"), "");
}

// ---- serial ports ------------------------------------------------------------------------------

TEST(OutsidePorts, OnlyATerminalOrAFifo) {
    TempDir tmp;
    put(tmp.path() / "capture.log", "keep me");
    ::mkfifo((tmp.path() / "fifo").c_str(), 0600);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string pty = ::ptsname(master);

    EXPECT_EQ(simboard::check_outside(1, pty), "");
    EXPECT_EQ(simboard::check_outside(2, (tmp.path() / "fifo").string()), "");
    const std::pair<std::string, std::string> refused[] = {
        {(tmp.path() / "capture.log").string(), "a regular file"},
        {tmp.path().string(), "a folder"},
        {"/dev/null", "a device that is no terminal"},
        {(tmp.path() / "missing").string(), "no such device"},
    };
    for (const auto& [path, what] : refused) {
        const std::string why = simboard::check_outside(2, path);
        EXPECT_EQ(why.rfind("--tty2 " + path + ": " + what, 0), 0u) << why;
    }
    EXPECT_EQ(read_file(tmp.path() / "capture.log"), "keep me");
    ::close(master);
}

// ---- card --------------------------------------------------------------------------------------

TEST(CardSize, WhatTheRecorderTakes) {
    EXPECT_EQ(simboard::recorder_card_mb(1ull << 20), 1u);  // under 10240 blocks
    EXPECT_EQ(simboard::recorder_card_mb(401ull << 20), 401u);
    EXPECT_EQ(simboard::recorder_card_mb(32ull << 30), 32768u);
    EXPECT_EQ(simboard::recorder_card_mb(32000000000ull), 30517u);  // a "32 GB" card
    for (const uint64_t mb : {401, 799, 801, 7001, 8192, 39999}) {
        EXPECT_EQ(simboard::check_card_size(mb << 20), "") << mb;
    }
    for (const uint64_t mb : {1, 400, 800, 1700, 3000, 7000, 13000, 20000, 40000, 65536}) {
        EXPECT_NE(simboard::check_card_size(mb << 20).find("401M to 39999M"), std::string::npos)
            << mb;
    }
    simboard::Options o;
    std::string error;
    EXPECT_FALSE(simboard::parse_options({"--card", "300M"}, "/x", o, error));
    EXPECT_EQ(error.rfind("--card 300M: the recorder refuses a card of 300 MB", 0), 0u) << error;
}

// ---- scenario files ----------------------------------------------------------------------------

TEST(ScenarioFile, OnlyARegularFileOfAReasonableSize) {
    TempDir tmp;
    std::vector<simboard::ScenarioStep> steps;
    std::string error;
    put(tmp.path() / "ok.txt", "1 card full\n");
    ASSERT_TRUE(simboard::load_scenario(tmp.path() / "ok.txt", steps, error)) << error;
    EXPECT_EQ(steps.size(), 1u);

    ::mkfifo((tmp.path() / "fifo").c_str(), 0600);  // read, it would wait for a writer
    {
        std::ofstream big(tmp.path() / "big.txt");
        big << "1 card full\n";
    }
    fs::resize_file(tmp.path() / "big.txt", simboard::kMaxScenarioBytes + 1);
    const std::pair<fs::path, std::string> refused[] = {
        {"/dev/zero", "scenario /dev/zero: not a regular file (a character device)"},
        {tmp.path(), "scenario " + tmp.path().string() + ": not a regular file (a folder)"},
        {tmp.path() / "fifo",
         "scenario " + (tmp.path() / "fifo").string() + ": not a regular file (a FIFO)"},
        {tmp.path() / "big.txt",
         "scenario " + (tmp.path() / "big.txt").string() + ": larger than 4 MiB"},
        {tmp.path() / "missing", "cannot read scenario " + (tmp.path() / "missing").string()},
    };
    for (const auto& [path, expected] : refused) {
        EXPECT_FALSE(simboard::load_scenario(path, steps, error)) << path;
        EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
    }
}

// ---- what goes to the terminal -----------------------------------------------------------------

TEST(Escaping, ControlsAndBrokenBytesAreShownPrintableTextStays) {
    using simboard::escaped;
    EXPECT_EQ(escaped("card full\t# now\n"), "card full\t# now\n");
    EXPECT_EQ(escaped("\x1b[2J\x1b]0;title\x07"), "\\x1B[2J\\x1B]0;title\\x07");
    EXPECT_EQ(escaped(std::string("a\0b\rc\x7f", 6)), "a\\x00b\\x0Dc\\x7F");
    EXPECT_EQ(escaped("Zürich 中 🚗"), "Zürich 中 🚗");
    EXPECT_EQ(escaped("\xc2\x9b"
                      "31m"),
              "\\xC2\\x9B31m");  // the C1 control CSI, in UTF-8
    EXPECT_EQ(escaped("\xff\x80"), "\\xFF\\x80");
    EXPECT_EQ(escaped("\xc0\xaf"), "\\xC0\\xAF");           // an overlong '/'
    EXPECT_EQ(escaped("\xed\xa0\x80"), "\\xED\\xA0\\x80");  // a surrogate
    EXPECT_EQ(escaped("\xe4\xb8"), "\\xE4\\xB8");           // cut short
    EXPECT_EQ(escaped("x\\x41"), "x\\x41");                 // a backslash stays
}

TEST(Escaping, TheConsoleShowsOutsideTextEscaped) {
    TempDir tmp;
    std::FILE* out = std::tmpfile();
    {
        simboard::Console console(out);
        std::string error;
        ASSERT_TRUE(console.open_log(tmp.path() / "console.log", error)) << error;
        console.line("note", "\x1b[31mred\x1b[0m and a bell\x07");
    }
    const std::string log = read_file(tmp.path() / "console.log");
    EXPECT_NE(log.find("[note] \\x1B[31mred\\x1B[0m and a bell\\x07\n"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    std::fclose(out);
}

}  // namespace
