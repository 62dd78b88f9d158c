// volcheck: the command line, the knob, the level sent to the codec and the exit status. A level
// given and a board without the accelerometer are also run on the whole board.
#include "volcheck.h"

#include <gtest/gtest.h>

#include <fstream>

#include "RTCnVolume.h"
#include "board_root.hpp"
#include "files.hpp"

namespace {

int RunVolcheck(std::initializer_list<const char*> args, std::string* console = nullptr) {
    std::vector<const char*> argv{"volcheck"};
    argv.insert(argv.end(), args);
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    const int status = volcheck_main(static_cast<int>(argv.size()), argv.data());
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    if (console != nullptr) *console = out;
    CloseIICDevice();
    return status;
}

// Serves every board device except the given ones, which become plain files.
void PlainDevices(const testsupport::BoardRoot& root, std::initializer_list<const char*> plain) {
    std::ofstream table(root.host("/dev/.nodes"));
    for (const char* node : {"/dev/winbond0", "/dev/winbond1", "/dev/LIS3LV02DQ", "/dev/i2c-0",
                             "/dev/watchdog", "/dev/dsp"}) {
        bool keep = true;
        for (const char* p : plain) keep = keep && std::string(p) != node;
        if (keep) table << node << " c 10 0\n";
    }
    table.close();
    for (const char* p : plain) std::ofstream(root.host(p)).close();
    os::init();
}

TEST(LevelFromArguments, OnlyExactlyOneArgumentCounts) {
    const char* none[] = {"volcheck"};
    const char* one[] = {"volcheck", "300"};
    const char* word[] = {"volcheck", "loud"};
    const char* two[] = {"volcheck", "12", "13"};
    EXPECT_FALSE(LevelFromArguments(1, none).has_value());
    EXPECT_EQ(LevelFromArguments(2, one), 300);
    EXPECT_EQ(LevelFromArguments(2, word), 0);
    EXPECT_FALSE(LevelFromArguments(3, two).has_value());
}

TEST(Volcheck, WithoutI2CTheLevelIsStillReportedAndTheStatusIsZero) {
    testsupport::BoardRoot root;
    std::string console;
    EXPECT_EQ(RunVolcheck({"12"}, &console), 0);
    EXPECT_EQ(console, "i2c device driver open error\nAPP LEVEL = 12\n");
}

TEST(Volcheck, KnobThatCannotBeReadGivesLevelZero) {
    testsupport::BoardRoot root;
    PlainDevices(root, {"/dev/i2c-0", "/dev/LIS3LV02DQ"});
    std::string console;
    EXPECT_EQ(RunVolcheck({}, &console), 0);
    EXPECT_NE(console.find("APP LEVEL = 0\n"), std::string::npos);
    EXPECT_EQ(testsupport::read_file(root.host("/dev/i2c-0")), std::string("\x6D\x00", 2));
}

}  // namespace
