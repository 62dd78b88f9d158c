// The asdtool program on what is not a recording: every argument is judged in turn, one line says
// what is wrong with each bad one, and the exit status is 0 only for success (1 a file or the
// card could not be read, or a recording is damaged; 2 the command line is wrong).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "asd_reader.hpp"
#include "board_root.hpp"
#include "capture.h"
#include "card_summary.hpp"
#include "config.h"
#include "files.hpp"
#include "le.hpp"
#include "recinfo.h"
#include "storage.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

using testsupport::count;
using testsupport::read_file;

struct Result {
    int status = -1;  // the exit status, or 128 + the signal that ended the program
    std::string out, err;
};

Result asdtool(const std::vector<std::string>& args, const fs::path& scratch) {
#ifdef ASDTOOL_EMULATOR
    std::vector<std::string> argv{ASDTOOL_EMULATOR, ASDTOOL_EXE};
#else
    std::vector<std::string> argv{ASDTOOL_EXE};
#endif
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> ptrs;
    for (std::string& a : argv) ptrs.push_back(a.data());
    ptrs.push_back(nullptr);
    const fs::path out = scratch / "stdout", err = scratch / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    Result run;
    if (posix_spawn(&pid, ptrs[0], &actions, nullptr, ptrs.data(), environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = read_file(out);
    run.err = read_file(err);
    return run;
}

class AsdtoolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(data());
        std::ofstream(board.card() / "Firmware_version.txt") << "x";
        std::memset(&g_exFileHeader, 0, sizeof g_exFileHeader);
        g_recinfo.fill(0);
        g_maxFileCount = 90;
        g_sdErrorCnt = 0;
        g_lock_status = 0;
        for (int i = 0; i < 2; ++i) {  // rec00000000 and rec00000001, one frame each
            start_record();
            ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), static_cast<int>(jpeg.size())), 0);
            stop_record();
        }
    }
    void TearDown() override {
        if (rec_fd >= 0) stop_record();
    }
    fs::path data() const { return board.card() / "data"; }
    std::string file(int index) const { return (data() / asd::recording_name(index)).string(); }
    Result run(const std::vector<std::string>& args) const { return asdtool(args, board.root()); }

    testsupport::BoardRoot board;
    std::vector<uint8_t> jpeg = std::vector<uint8_t>(500, 0x5a);
};

// A folder among the files was an uncaught exception (SIGABRT) and the files after it went
// unchecked; devices and pipes were read without end.
TEST_F(AsdtoolTest, CheckJudgesEveryArgumentAndFailsForWhatIsNoRecording) {
    const fs::path fifo = board.root() / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Result r = run({"check", file(0), data().string(), "/dev/zero", fifo.string(),
                          (data() / "none.asd").string(), file(1)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, file(0) + ": ok, 1 records\n" + file(1) + ": ok, 1 records\n");
    EXPECT_EQ(r.err, "asdtool check: " + data().string() + ": a directory, not a file\n" +
                         "asdtool check: /dev/zero: a device, not a file\n" +
                         "asdtool check: " + fifo.string() + ": a pipe, not a file\n" +
                         "asdtool check: " + (data() / "none.asd").string() +
                         ": cannot open: No such file or directory\n");

    EXPECT_EQ(run({"check", file(0), file(1)}).status, 0);
}

TEST_F(AsdtoolTest, InfoFailsForAMissingOrDamagedFile) {
    Result r = run({"info", (data() / "none.asd").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
    EXPECT_NE(r.err.find("cannot open: No such file"), std::string::npos) << r.err;

    r = run({"info", file(0)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("state       closed"), std::string::npos) << r.out;

    std::string bytes = read_file(file(1));
    bytes[84 + 10] = 7;  // channel 7
    std::ofstream(file(1), std::ios::binary | std::ios::trunc) << bytes;
    r = run({"info", file(0), file(1)});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(file(1) + ": damaged at byte 94: video record at 84: channel 7"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(run({"check", file(1)}).status, 1);
}

// summary fails only when something could not be read; a damaged file or index is reported.
TEST_F(AsdtoolTest, SummaryFailsWhenSomethingCannotBeRead) {
    EXPECT_EQ(run({"summary", board.card().string()}).status, 0);
    std::ofstream(data() / "recinfo") << "short";
    EXPECT_EQ(run({"summary", board.card().string()}).status, 0);
    fs::create_directory(data() / "rec00000002.asd");
    const Result r = run({"summary", board.card().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("rec00000002.asd: cannot be read: a directory, not a file"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(run({"summary", (board.root() / "nothing").string()}).status, 1);
}

TEST_F(AsdtoolTest, ExportIntoTheCardIsRefusedWithOneLine) {
    const std::string target = (data() / "rec00000005.asd").string();
    Result r = run({"export", file(0), target});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "asdtool export: " + target + " is inside the card " + board.card().string() +
                         ": give a directory outside the card\n");
    EXPECT_FALSE(fs::exists(target));

    r = run({"export", data().string(), (board.root() / "out").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "asdtool export: " + data().string() +
                         ": nothing to export: a directory, not a file\n");
    EXPECT_FALSE(fs::exists(board.root() / "out"));

    EXPECT_EQ(run({"export", file(0), (board.root() / "out").string()}).status, 0);
}

TEST_F(AsdtoolTest, AWrongCommandLineIsTwo) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"check"}, {"nonsense", file(0)}, {"summary", "a", "b"}, {"export", file(0)}}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_NE(r.err.find("usage: asdtool"), std::string::npos);
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
