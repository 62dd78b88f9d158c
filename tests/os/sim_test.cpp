// The simulated seam's file-system half: path mapping, the card's capacity and state, the clock
// offset (and the clock a test holds still) and the shell.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "board_root.hpp"
#include "files.hpp"
#include "os.h"
#include "sim_card.h"
#include "sim_card_io.h"
#include "sim_clock.h"

namespace {

namespace fs = std::filesystem;

using testsupport::read_file;

class SimSeamTest : public ::testing::Test {
  protected:
    void set_card(uint64_t capacity, uint32_t block, uint32_t state) {
        std::vector<uint8_t> f(os::simcard::kFileSize, 0);
        std::memcpy(f.data(), os::simcard::kMagic, 8);
        std::memcpy(f.data() + os::simcard::kOffCapacity, &capacity, 8);
        std::memcpy(f.data() + os::simcard::kOffBlockSize, &block, 4);
        std::memcpy(f.data() + os::simcard::kOffState, &state, 4);
        std::ofstream(board.root() / "run/card", std::ios::binary)
            .write(reinterpret_cast<const char*>(f.data()), static_cast<long>(f.size()));
        os::init();
    }
    void set_state(uint32_t state) {
        int fd = ::open((board.root() / "run/card").c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, &state, 4, os::simcard::kOffState), 4);
        ::close(fd);
    }
    testsupport::BoardRoot board;
};

TEST(SimSeamInit, WithoutARootTheProgramStopsWithAPlainMessage) {
    EXPECT_EXIT(
        {
            ::unsetenv("SIMBOARD_ROOT");
            os::init();
        },
        ::testing::ExitedWithCode(2), "SIMBOARD_ROOT is not set");
}

TEST_F(SimSeamTest, BoxPathsLiveInsideTheRoot) {
    EXPECT_EQ(os::host_path("/mnt/mmcblk0p1/data"), (board.root() / "mnt/mmcblk0p1/data").string());
    EXPECT_EQ(os::host_path("/dev/ttySAC1"), (board.root() / "dev/ttySAC1").string());
    EXPECT_EQ(os::host_path("/tmp/x"), "/tmp/x");
    EXPECT_EQ(os::host_path("/dev/null"), "/dev/null");

    ASSERT_EQ(os::mkdir("/mnt/mmcblk0p1/data", 0755), 0);
    int fd = os::open("/mnt/mmcblk0p1/data/a", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(os::write(fd, "abc", 3), 3);
    EXPECT_EQ(os::close(fd), 0);
    EXPECT_EQ(read_file(board.card() / "data/a"), "abc");
    EXPECT_EQ(os::access("/mnt/mmcblk0p1/data/a", F_OK), 0);
    EXPECT_EQ(os::rename("/mnt/mmcblk0p1/data/a", "/mnt/mmcblk0p1/data/b"), 0);
    struct stat st {};
    EXPECT_EQ(os::stat("/mnt/mmcblk0p1/data/b", &st), 0);
    EXPECT_EQ(st.st_size, 3);
    EXPECT_EQ(os::unlink("/mnt/mmcblk0p1/data/b"), 0);
    EXPECT_FALSE(fs::exists(board.card() / "data/b"));
}

TEST_F(SimSeamTest, StdioGoesThroughTheSeam) {
    FILE* f = os::fopen("/mnt/jffs_user/config/basic_conf", "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "line %d\n", 1);
    std::fclose(f);
    EXPECT_EQ(read_file(board.flash() / "config/basic_conf"), "line 1\n");
    f = os::fopen("/mnt/jffs_user/config/basic_conf", "a");
    std::fputs("line 2\n", f);
    std::fclose(f);
    f = os::fopen("/mnt/jffs_user/config/basic_conf", "r");
    char line[32];
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "line 1\n");
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "line 2\n");
    std::fclose(f);
    EXPECT_EQ(os::fopen("/mnt/none/x", "r"), nullptr);
}

TEST_F(SimSeamTest, DevicesWithoutABoardAreAbsent) {
    errno = 0;
    EXPECT_EQ(os::open("/dev/winbond0", O_RDWR), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(os::system("reboot"), -1);
}

TEST_F(SimSeamTest, CardStatfsReportsCapacityAndUsedSpace) {
    struct statfs st {};
    ASSERT_EQ(os::statfs("/mnt/mmcblk0p1", &st), 0);  // no card file: the default card
    EXPECT_EQ(st.f_bsize, 512);
    EXPECT_EQ(static_cast<uint64_t>(st.f_blocks), (8ull << 30) / 512);
    EXPECT_EQ(st.f_bfree, st.f_blocks);

    set_card(1ull << 30, 4096, os::simcard::CARD_OK);
    std::ofstream(board.card() / "f", std::ios::binary) << std::string(5000, 'x');
    fs::create_directories(board.card() / "data");
    ASSERT_EQ(os::statfs("/mnt/mmcblk0p1/data", &st), 0);
    EXPECT_EQ(st.f_bsize, 4096);
    EXPECT_EQ(st.f_blocks, 262144u);
    EXPECT_EQ(st.f_bfree, 262144u - 2 - 1);  // 5000 bytes take 2 blocks, the directory 1

    set_state(os::simcard::CARD_FULL);
    ASSERT_EQ(os::statfs("/mnt/mmcblk0p1", &st), 0);
    EXPECT_EQ(st.f_bfree, 0u);
    EXPECT_EQ(st.f_bavail, 0u);

    ASSERT_EQ(os::statfs("/mnt/jffs_user", &st), 0);  // not the card: the real file system
}

TEST_F(SimSeamTest, CardStateGovernsIoOnCardFiles) {
    set_card(1ull << 30, 512, os::simcard::CARD_OK);
    int card = os::open("/mnt/mmcblk0p1/a", O_RDWR | O_CREAT, 0644);
    int flash = os::open("/mnt/jffs_user/a", O_RDWR | O_CREAT, 0644);
    ASSERT_GE(card, 0);
    ASSERT_GE(flash, 0);
    EXPECT_EQ(os::write(card, "12", 2), 2);
    char c;

    set_state(os::simcard::CARD_FULL);
    errno = 0;
    EXPECT_EQ(os::write(card, "3", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    os::lseek(card, 0, SEEK_SET);
    EXPECT_EQ(os::read(card, &c, 1), 1);
    EXPECT_EQ(os::write(flash, "3", 1), 1);  // the flash is not the card

    for (uint32_t s : {os::simcard::CARD_FAILING, os::simcard::CARD_REMOVED}) {
        set_state(s);
        errno = 0;
        EXPECT_EQ(os::read(card, &c, 1), -1);
        EXPECT_EQ(errno, EIO);
        EXPECT_EQ(os::write(card, "3", 1), -1);
        EXPECT_EQ(errno, EIO);
        EXPECT_EQ(os::fsync(card), -1);
    }
    set_state(os::simcard::CARD_OK);
    EXPECT_EQ(os::write(card, "3", 1), 1);
    EXPECT_EQ(os::fsync(card), 0);
    EXPECT_EQ(os::fsync(flash), 0);
    os::close(card);
    os::close(flash);
    errno = 0;
    EXPECT_EQ(os::fsync(card), -1) << "a closed descriptor is not flushed";
    EXPECT_EQ(errno, EBADF);
    // A descriptor number reused for a file elsewhere is not taken for a card file.
    set_state(os::simcard::CARD_FAILING);
    int other = os::open("/mnt/jffs_user/a", O_RDWR);
    EXPECT_EQ(os::write(other, "4", 1), 1);
    os::close(other);
}

TEST_F(SimSeamTest, WritevWritesItsBuffersInOrderWhileTheCardTakesThem) {
    set_card(1ull << 30, 512, os::simcard::CARD_OK);
    int card = os::open("/mnt/mmcblk0p1/v", O_RDWR | O_CREAT, 0644);
    ASSERT_GE(card, 0);
    char head[] = "head:";
    char body[] = "body";
    const iovec parts[] = {{head, 5}, {body, 4}};
    EXPECT_EQ(os::writev(card, parts, 2), 9);
    set_state(os::simcard::CARD_FULL);
    errno = 0;
    EXPECT_EQ(os::writev(card, parts, 2), -1);
    EXPECT_EQ(errno, ENOSPC);
    set_state(os::simcard::CARD_FAILING);
    EXPECT_EQ(os::writev(card, parts, 1), -1);
    EXPECT_EQ(errno, EIO);
    os::close(card);
    EXPECT_EQ(read_file(board.card() / "v"), "head:body");
}

// A descriptor's write reuses what its last write learnt of the file; writes, seeks, reads and
// truncations through other descriptors of the same file must not leave it stale: the space
// counted for the card stays what the files take, and the bytes land where the kernel puts them.
TEST_F(SimSeamTest, InterleavedDescriptorsOfOneFileKeepItsSizeAndPlaceTrue) {
    set_card(1ull << 30, 512, os::simcard::CARD_OK);
    const int a = os::open("/mnt/mmcblk0p1/f", O_RDWR | O_CREAT, 0644);
    const int b = os::open("/mnt/mmcblk0p1/f", O_RDWR);
    const int c = os::open("/mnt/mmcblk0p1/f", O_WRONLY | O_APPEND);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_GE(c, 0);
    const std::string x(5000, 'x'), y(100, 'y'), z(3000, 'z');
    EXPECT_EQ(os::write(a, x.data(), x.size()), 5000);
    EXPECT_EQ(os::write(b, y.data(), y.size()), 100);   // at 0, over a's bytes
    EXPECT_EQ(os::write(a, z.data(), z.size()), 3000);  // at 5000: 8000 bytes
    EXPECT_EQ(os::write(c, "c", 1), 1);                 // at the end b never saw: 8001
    EXPECT_EQ(os::write(b, y.data(), y.size()), 100);   // at 100
    ASSERT_EQ(os::ftruncate(a, 6000), 0);
    EXPECT_EQ(os::write(c, "C", 1), 1);  // at the new end: 6001
    ASSERT_EQ(os::lseek(b, 7000, SEEK_SET), 7000);
    EXPECT_EQ(os::write(b, "b", 1), 1);  // a hole up to 7000: 7001
    char two[2];
    ASSERT_EQ(os::lseek(a, 0, SEEK_SET), 0);
    ASSERT_EQ(os::read(a, two, 2), 2);
    EXPECT_EQ(os::write(a, "A", 1), 1);  // after the read, at 2
    for (int fd : {a, b, c}) os::close(fd);

    std::string want = std::string(200, 'y') + std::string(4800, 'x') + std::string(1000, 'z');
    want[2] = 'A';
    want += 'C';
    want += std::string(7000 - want.size(), '\0') + "b";
    EXPECT_EQ(read_file(board.card() / "f"), want);
    struct statfs kept {}, counted{};
    ASSERT_EQ(os::statfs("/mnt/mmcblk0p1", &kept), 0);
    os::simcardio::recount();
    ASSERT_EQ(os::statfs("/mnt/mmcblk0p1", &counted), 0);
    EXPECT_EQ(kept.f_bfree, counted.f_bfree);
}

TEST_F(SimSeamTest, ClockIsAnOffsetKeptByTheBoard) {
    struct timeval before {};
    ::gettimeofday(&before, nullptr);
    struct timeval board_time {};
    os::gettimeofday(&board_time);
    EXPECT_LE(std::abs(board_time.tv_sec - before.tv_sec), 2);  // no offset yet

    const struct timeval set { 1262304000, 500000 };  // 2010-01-01 00:00:00.5
    ASSERT_EQ(os::settimeofday(&set), 0);
    os::gettimeofday(&board_time);
    EXPECT_GE(board_time.tv_sec, 1262304000);
    EXPECT_LE(board_time.tv_sec, 1262304002);
    struct timeval pc {};
    ::gettimeofday(&pc, nullptr);
    EXPECT_GT(pc.tv_sec, 1600000000);  // the PC's clock is untouched

    EXPECT_TRUE(fs::exists(board.root() / "run/clock"));
    os::init();  // a new program on the same board keeps the time
    os::gettimeofday(&board_time);
    EXPECT_LE(board_time.tv_sec, 1262304002);

    fs::remove(board.root() / "run/clock");  // power-on: no offset
    os::init();
    os::gettimeofday(&board_time);
    EXPECT_GT(board_time.tv_sec, 1600000000);

    const struct timeval bad { 0, 1000000 };
    EXPECT_EQ(os::settimeofday(&bad), -1);
}

TEST_F(SimSeamTest, AHeldClockStandsStillAndLeavesTheBoardsOffsetAlone) {
    os::simclock::hold(1339749000250000);  // 2012-06-15 08:30:00.25
    struct timeval t {};
    os::gettimeofday(&t);
    EXPECT_EQ(t.tv_sec, 1339749000);
    EXPECT_EQ(t.tv_usec, 250000);

    const struct timeval set { 1262304000, 999999 };
    ASSERT_EQ(os::settimeofday(&set), 0);
    os::gettimeofday(&t);
    EXPECT_EQ(t.tv_sec, 1262304000);
    EXPECT_EQ(t.tv_usec, 999999);
    EXPECT_FALSE(fs::exists(board.root() / "run/clock"));

    os::init();  // a new program: the board's clock runs again
    os::gettimeofday(&t);
    EXPECT_GT(t.tv_sec, 1600000000);
}

TEST_F(SimSeamTest, ShellCommandsWorkOnMappedPaths) {
    fs::create_directories(board.card() / "data");
    EXPECT_EQ(os::system("touch /mnt/mmcblk0p1/data/sensorError"), 0);
    EXPECT_TRUE(fs::exists(board.card() / "data/sensorError"));
    EXPECT_EQ(os::system("echo hi >/mnt/mmcblk0p1/x 2>/dev/null"), 0);
    EXPECT_EQ(read_file(board.card() / "x"), "hi\n");
    EXPECT_EQ(os::system("cp -a /mnt/mmcblk0p1/x /mnt/jffs_user/config/y"), 0);
    EXPECT_EQ(read_file(board.flash() / "config/y"), "hi\n");
    EXPECT_EQ(os::system("rm -rf /mnt/mmcblk0p1/data"), 0);
    EXPECT_FALSE(fs::exists(board.card() / "data"));
}

// Runs the test's commands from `dir`, as the recorder runs from wherever it was started.
class InDirectory {
  public:
    explicit InDirectory(const fs::path& dir) : saved_(fs::current_path()) {
        fs::current_path(dir);
    }
    ~InDirectory() { fs::current_path(saved_); }

  private:
    fs::path saved_;
};

// Roots that a shell would split, expand or run: the recorder's own commands act inside the root,
// and what lies beside it (a file named like the root's first word, sibling boards that a pattern
// would match, the current folder) stays as it was.
TEST(SimSeamShell, CommandsActInsideAnOddRootAndNothingBesideItChanges) {
    testsupport::TempDir base("oddroots");
    const fs::path& b = base.path();
    const auto put = [](const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    };
    put(b / "my", "sentinel");
    for (const char* sibling : {"b1", "b2", "board"}) {
        put(b / sibling / "mnt/mmcblk0p1/DB_version.txt", "sentinel");
        put(b / sibling / "mnt/mmcblk0p1/data/recinfo", "sentinel");
    }
    const InDirectory cwd(b);
    const std::vector<std::string> roots = {
        "my board",
        "it's",
        "say \"hi\"",
        "a;touch INJECTED;b",
        "inj$(touch INJECTED)",
        "tick`touch INJECTED`",
        "b*",
        "b?",
        "two\nlines",
        "dollar${IFS}x",
        "back\\slash",
        "amp & INJECTED",
    };
    for (const std::string& name : roots) {
        SCOPED_TRACE(name);
        const fs::path root = b / name;
        put(root / "mnt/mmcblk0p1/DB_version.txt", "old stamp");
        put(root / "mnt/mmcblk0p1/data/recinfo", "damaged");
        put(root / "mnt/mmcblk0p1/data/recinfo.bak", "good");
        put(root / "mnt/jffs_user/config/basic_conf", "conf");
        put(root / "mnt/jffs_user/wave/079.wav", "wave");
        fs::create_directories(root / "mnt/mmcblk0p1/configs");
        fs::create_directories(root / "dev");
        ::setenv("SIMBOARD_ROOT", root.c_str(), 1);
        os::init();

        EXPECT_EQ(os::system("/bin/rm /mnt/mmcblk0p1/DB_version.txt"), 0);
        EXPECT_EQ(os::system("rm -rf /mnt/mmcblk0p1/data/recinfo"), 0);
        EXPECT_EQ(os::system("cp -a /mnt/mmcblk0p1/data/recinfo.bak /mnt/mmcblk0p1/data/recinfo"),
                  0);
        EXPECT_EQ(os::system("cp -a /mnt/jffs_user/config/basic_conf "
                             "/mnt/mmcblk0p1/configs/basic_conf"),
                  0);
        EXPECT_EQ(os::system("cat /mnt/jffs_user/wave/079.wav > /dev/dsp"), 0);

        EXPECT_FALSE(fs::exists(root / "mnt/mmcblk0p1/DB_version.txt"));
        EXPECT_EQ(read_file(root / "mnt/mmcblk0p1/data/recinfo"), "good");
        EXPECT_EQ(read_file(root / "mnt/mmcblk0p1/configs/basic_conf"), "conf");
        EXPECT_EQ(read_file(root / "dev/dsp"), "wave");

        EXPECT_EQ(read_file(b / "my"), "sentinel");
        for (const char* sibling : {"b1", "b2", "board"}) {
            EXPECT_EQ(read_file(b / sibling / "mnt/mmcblk0p1/DB_version.txt"), "sentinel");
            EXPECT_EQ(read_file(b / sibling / "mnt/mmcblk0p1/data/recinfo"), "sentinel");
        }
        for (const auto& e : fs::recursive_directory_iterator(b)) {
            EXPECT_NE(e.path().filename(), "INJECTED") << e.path();
        }
    }
}

TEST_F(SimSeamTest, DatePrintsTheBoardTime) {
    const struct timeval set { 1262304000 + 3 * 86400 + 3661, 0 };  // Mon Jan  4 01:01:01 2010
    ASSERT_EQ(os::settimeofday(&set), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(os::system("date"), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.substr(0, 18), "Mon Jan  4 01:01:0");
    EXPECT_NE(out.find(" UTC 2010\n"), std::string::npos) << out;
}

}  // namespace
