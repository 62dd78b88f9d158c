// The board's status line and the scenarios shipped in scenarios/: the demo of `make run` is
// checked here because the demo itself runs for two minutes and is no part of the test suite.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "end_summary.hpp"
#include "options.hpp"
#include "scenario.hpp"
#include "status_line.hpp"

namespace {

namespace fs = std::filesystem;

// ---- scenarios ---------------------------------------------------------------------------------

TEST(ShippedScenarios, EveryOneParses) {
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(SCENARIO_DIR)) {
        if (entry.path().extension() != ".txt") continue;
        ++files;
        std::vector<simboard::ScenarioStep> steps;
        std::string error;
        EXPECT_TRUE(simboard::load_scenario(entry.path(), steps, error)) << error;
        EXPECT_FALSE(steps.empty()) << entry.path();
    }
    EXPECT_GE(files, 1u);
}

// The demo tells its story in order: a fix, driving, an impact, the emergency button well after
// the impact's post-recording (60 s at most), half a minute of parking, driving again, a power
// cut and the end, in about two minutes.
TEST(ShippedScenarios, DemoTellsTheWholeStory) {
    std::vector<simboard::ScenarioStep> steps;
    std::string error;
    ASSERT_TRUE(simboard::load_scenario(fs::path(SCENARIO_DIR) / "demo.txt", steps, error))
        << error;
    const auto when = [&steps](const std::string& text) {
        for (const auto& s : steps) {
            if (s.command.text.rfind(text, 0) == 0) return s.time;
        }
        ADD_FAILURE() << "the demo has no '" << text << "'";
        return -1.0;
    };
    const double fix = when("gps fix");
    const double driving = when("motion driving");
    const double impact = when("impact");
    const double button = when("button");
    const double parking = when("ibc parking");
    const double back = when("ibc driving");
    const double off = when("power off");
    const double quit = when("quit");
    EXPECT_LT(fix, impact);
    EXPECT_LT(driving, impact);
    EXPECT_LT(impact, button);
    EXPECT_LT(button, parking);
    EXPECT_GE(back - parking, 30.0);
    EXPECT_LT(back, off);
    EXPECT_LT(off, quit);
    EXPECT_GE(quit, 100.0);
    EXPECT_LE(quit, 150.0);
    // An event's post-recording ends at its second file change or 60 s after it; the button
    // starts no event while the impact's is still running, and the button's own event ends
    // before the IBC's 'C' reboots the box.
    EXPECT_GT(button - impact, 25.0);
    EXPECT_GT(back - button, 61.0);
}

// ---- the status line ---------------------------------------------------------------------------

simboard::StatusFacts driving_facts() {
    simboard::StatusFacts f;
    f.mode = simboard::DriveMode::kDriving;
    f.clock = "23:07:27";
    f.file = "rec00000004.asd";
    f.front_fps = 15.0;
    f.rear_fps = 14.9;
    f.gps = "fix";
    f.events = 2;
    f.locked_files = 5;
    f.card_used = 51ull << 20;
    f.card_capacity = 8ull << 30;
    return f;
}

TEST(StatusLine, FormsFromFullToShortAllTellTheSameFacts) {
    const auto forms = simboard::status_forms(driving_facts());
    ASSERT_EQ(forms.size(), 3u);
    for (size_t i = 1; i < forms.size(); ++i) EXPECT_LT(forms[i].size(), forms[i - 1].size());
    for (const auto& form : forms) {
        for (const char* fact : {"23:07:27", "driving", "rec00000004", "15.0", "14.9", "GPS fix"})
            EXPECT_NE(form.find(fact), std::string::npos) << form << " lacks " << fact;
    }
}

TEST(StatusLine, FitsTheTerminal) {
    const auto facts = driving_facts();
    const auto forms = simboard::status_forms(facts);
    EXPECT_EQ(simboard::fit_status(facts, 200), forms[0]);
    EXPECT_EQ(simboard::fit_status(facts, forms[1].size()), forms[1]);
    EXPECT_EQ(simboard::fit_status(facts, forms[1].size() - 1), forms[2]);
    EXPECT_EQ(simboard::fit_status(facts, 79), forms[2]);  // an 80-column terminal
    EXPECT_EQ(simboard::fit_status(facts, 20), forms[2].substr(0, 20));
    EXPECT_EQ(simboard::fit_status(facts, 0), "");
}

TEST(StatusLine, UnknownsAndTroubleAreShown) {
    auto f = driving_facts();
    f.mode = simboard::DriveMode::kParking;
    f.file.clear();
    f.rear_fps.reset();
    f.gps = "no fix";
    f.events.reset();
    f.card_state = "full";
    const std::string line = simboard::status_forms(f)[0];
    EXPECT_NE(line.find("parking  no file  front 15.0 fps, rear - fps  GPS no fix  no index"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("of 8.0 GiB full"), std::string::npos) << line;

    f.card_state = "removed";
    EXPECT_NE(simboard::status_forms(f)[2].find("card removed"), std::string::npos);

    simboard::StatusFacts off;
    off.card_used = 3ull << 30;
    off.card_capacity = 16ull << 30;
    EXPECT_EQ(simboard::status_forms(off)[0], "power off  card 3.0 GiB of 16.0 GiB");
    EXPECT_EQ(simboard::status_forms(off)[1], "power off 3G/16G");
}

TEST(FrameRate, CountsOverTheLastSeconds) {
    simboard::FrameRate meter;
    EXPECT_FALSE(meter.update(0.0, 100));
    EXPECT_FALSE(meter.update(0.5, 107));  // less than a second of counts
    EXPECT_NEAR(*meter.update(1.0, 115), 15.0, 1e-9);
    for (int i = 3; i <= 20; ++i) meter.update(i * 0.5, 100 + static_cast<uint64_t>(15 * i * 0.5));
    // Parking: one frame a second. After the window the driving frames no longer count.
    double now = 10.0;
    uint64_t frames = 250;
    std::optional<double> rate;
    for (int s = 1; s <= 5; ++s) {
        now += 1.0;
        rate = meter.update(now, ++frames);
    }
    EXPECT_NEAR(*rate, 1.0, 1e-9);
}

TEST(FrameRate, SparseSamplesAndANewCamera) {
    simboard::FrameRate meter;
    meter.update(0.0, 0);
    // A plain status line every 10 s: the rate spans the whole gap.
    EXPECT_NEAR(*meter.update(10.0, 150), 15.0, 1e-9);
    EXPECT_NEAR(*meter.update(20.0, 160), 1.0, 1e-9);
    // After a reboot the camera counts from 0 again.
    EXPECT_FALSE(meter.update(21.0, 3));
    EXPECT_NEAR(*meter.update(22.0, 18), 15.0, 1e-9);
}

TEST(StatusLine, NewestRecordingIsTheFileWrittenLast) {
    const fs::path dir = fs::temp_directory_path() / ("status-test-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    EXPECT_EQ(simboard::newest_recording(dir), "");
    const auto now = fs::file_time_type::clock::now();
    const auto make = [&dir, now](const std::string& name, int age_s) {
        std::ofstream(dir / name) << "x";
        fs::last_write_time(dir / name, now - std::chrono::seconds(age_s));
    };
    make("rec00000338.asd", 30);
    make("rec00000339.asd", 20);
    make("rec00000000.asd", 10);  // the ring wrapped
    make("recinfo", 0);
    make("notes.asd.txt", 0);
    EXPECT_EQ(simboard::newest_recording(dir), "rec00000000.asd");
    EXPECT_EQ(simboard::newest_recording(dir / "missing"), "");
    fs::remove_all(dir);
}

// ---- the summary at the end of a run ------------------------------------------------------

TEST(EndSummary, OptionAndPrintedCopy) {
    simboard::Options options;
    std::string error;
    ASSERT_TRUE(simboard::parse_options({"--summary"}, "/nonexistent", options, error)) << error;
    EXPECT_TRUE(simboard::end_summary_wanted());

    const fs::path root =
        fs::temp_directory_path() / ("summary-test-" + std::to_string(::getpid()));
    fs::create_directories(root / "mnt/mmcblk0p1/data");
    fs::create_directories(root / "log");
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    simboard::print_end_summary(root, out);
    std::rewind(out);
    std::string printed;
    for (int c; (c = std::fgetc(out)) != EOF;) printed += static_cast<char>(c);
    std::fclose(out);
    std::ifstream kept(root / "log/summary.txt");
    const std::string copy{std::istreambuf_iterator<char>(kept), std::istreambuf_iterator<char>()};
    EXPECT_NE(printed.find("Recordings in data/: 0 files"), std::string::npos) << printed;
    EXPECT_NE(printed.find(copy), std::string::npos) << copy;
    EXPECT_FALSE(copy.empty());
    fs::remove_all(root);
}

}  // namespace
