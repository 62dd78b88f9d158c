// accelmon's sampling tick: the axes of both chips and the rotated mapping, the event markers of
// the three inputs with the power-detect debounce and pulse, the knob level in V, and a dead SPI
// controller.
#include <algorithm>
#include <tuple>

#include "accelmon_fixture.hpp"

namespace accelmontest {
namespace {

using namespace std::chrono_literals;

constexpr int16_t kEmergency = XYZ_Z_EMERGENCY;
constexpr int16_t kAlarm = XYZ_Z_ALARM;
constexpr int16_t kPower = XYZ_Z_POWER;

hw::Accel counts(double x, double y, double z) {
    return hw::Accel{x / 1024.0, y / 1024.0, z / 1024.0};
}

class Sampling : public AccelmonTest {
  protected:
    void SetUp() override {
        AccelmonTest::SetUp();
        hold(counts(0, 0, 1024));
    }
    // The chips feel a constant acceleration.
    void hold(const hw::Accel& a) {
        board.sensors.lis3lv02dq.set_source([a] { return a; });
        board.sensors.adxl345.set_source([a] { return a; });
    }
    static std::array<int16_t, 3> axes(const Sample& s) {
        return {s.record[0], s.record[1], s.record[2]};
    }

    // Runs each of `acts` between two ticks, one period after the other, and returns the records
    // of the ticks after them (one per act but the last) and of the `n` ticks after the last.
    // Tries again when a tick fell inside an act or the test missed a tick (a slow host).
    std::vector<Sample> act_in_periods(const std::vector<std::function<void()>>& acts, size_t n) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            next_sample();
            const uint64_t first = ticks();
            std::vector<Sample> out;
            bool in_time = true;
            for (size_t i = 0; i < acts.size() && in_time; ++i) {
                acts[i]();
                in_time = ticks() == first + i;
                if (in_time && i + 1 < acts.size()) {
                    out.push_back(next_sample());
                    in_time = out.back().tick == first + i + 1;
                }
            }
            if (!in_time) continue;
            bool gapless = false;
            auto after = next_samples(n, &gapless);
            if (!gapless || after.front().tick != first + acts.size()) continue;
            out.insert(out.end(), after.begin(), after.end());
            return out;
        }
        ADD_FAILURE() << "could not act between two ticks";
        return std::vector<Sample>(acts.size() - 1 + n);
    }
    std::vector<Sample> act_between_ticks(const std::function<void()>& act, size_t n) {
        return act_in_periods({act}, n);
    }

    // Input lines pressed and let go by hand, one edge each.
    void press(unsigned pin) {
        board.soc.gpio.drive(pin, false);
        wait_taken(pin);
    }
    void let_go(unsigned pin) { board.soc.gpio.release(pin); }
};

bool marker(const Sample& s, int16_t z) {
    return s.is_marker() && s.record[2] == z;
}

size_t count_markers(const std::vector<Sample>& samples, int16_t z) {
    return std::count_if(samples.begin(), samples.end(),
                         [z](const Sample& s) { return marker(s, z); });
}

// ---- Axes -------------------------------------------------------------------------------------

TEST_F(Sampling, TheRotatedMappingStartsAtTheNextTickAndOutlivesCloseAndOpen) {
    hold(counts(100, -200, 1000));
    open();
    start();
    EXPECT_EQ(axes(next_sample()), (std::array<int16_t, 3>{100, -200, 1000}));
    ASSERT_EQ(ioctl(GSENSOR_IOC_SUB35), 0);
    EXPECT_EQ(axes(next_sample()), (std::array<int16_t, 3>{-200, -100, 1000}));
    close();
    open();
    start();
    EXPECT_EQ(axes(next_sample()), (std::array<int16_t, 3>{-200, -100, 1000}));
}

TEST_F(Sampling, TheRotatedMappingGivenBeforeStartHoldsFromTheFirstSample) {
    hold(counts(300, 40, -1024));
    open();
    ASSERT_EQ(ioctl(GSENSOR_IOC_SUB35), 0);
    start();
    EXPECT_EQ(axes(next_sample()), (std::array<int16_t, 3>{40, -300, -1024}));
}

TEST_F(Sampling, AnAdxl345SampleIsScaledTo1024PerGAndNeverRotated) {
    board.sensors.fit(hw::AccelChip::kAdxl345);
    hold(hw::Accel{1.0, -1.0 / 256, 0.5});
    open();
    ASSERT_EQ(ioctl(GSENSOR_IOC_SUB35), 0);
    start();
    EXPECT_EQ(axes(next_sample()), (std::array<int16_t, 3>{1024, -4, 512}));
    hold(hw::Accel{-3.0, 1.999, 0});
    // The outputs follow at the chip's own rate: wait for a sample that shows it.
    std::array<int16_t, 3> limits{};
    ASSERT_TRUE(eventually([&] { return (limits = axes(next_sample()))[0] != 1024; }));
    EXPECT_EQ(limits, (std::array<int16_t, 3>{-2048, 2044, 0})) << "the 2 g range";
}

class ScriptedAxes : public Sampling {
  protected:
    void SetUp() override {
        Sampling::SetUp();
        board.sensors.spi.attach(&chip);
    }
    void TearDown() override {
        Sampling::TearDown();
        board.sensors.spi.attach(nullptr);
    }
    ScriptedChip chip{board.sensors.spi};
};

TEST_F(ScriptedAxes, Lis3lv02dqBytesMakeSigned16BitWordsWithAnUnsignedLowByte) {
    chip.answer(0x0F, {0x3A});
    chip.answer(0x29, {0x01});  // X: 0x01, 0x80 = 384
    chip.answer(0x28, {0x80});
    chip.answer(0x2B, {0xFF});  // Y: 0xFF, 0x80 = -128
    chip.answer(0x2A, {0x80});
    chip.answer(0x2D, {0x80});  // Z: 0x80, 0x00 = -32768
    chip.answer(0x2C, {0x00});
    open();
    start();
    EXPECT_EQ(axes(next_sample()), (std::array<int16_t, 3>{384, -128, -32768}));
    ASSERT_EQ(ioctl(GSENSOR_IOC_SUB35), 0);
    EXPECT_EQ(axes(next_sample()), (std::array<int16_t, 3>{-128, -384, -32768}));
}

TEST_F(ScriptedAxes, Adxl345WordsAreShiftedBySixWithTheirSignThenTimesFour) {
    chip.answer(0x0F, {0x00});
    chip.answer(0x00, {0xE5});
    chip.answer(0x33, {0x40});  // X: 0x4000 >> 6 = 256 -> 1024
    chip.answer(0x32, {0x00});
    chip.answer(0x35, {0xFF});  // Y: 0xFFC0 >> 6 = -1 -> -4
    chip.answer(0x34, {0xC0});
    chip.answer(0x37, {0x80});  // Z: 0x8000 >> 6 = -512 -> -2048
    chip.answer(0x36, {0x3F});  // the low six bits are dropped
    open();
    start();
    EXPECT_EQ(axes(next_sample()), (std::array<int16_t, 3>{1024, -4, -2048}));
}

// ---- Event markers ----------------------------------------------------------------------------

TEST_F(Sampling, OfTwoEventsInOnePeriodTheLaterWins) {
    open();
    start();
    for (auto [first, later, z] : {std::tuple{kButtonPin, kAlarmPin, kAlarm},
                                   std::tuple{kAlarmPin, kButtonPin, kEmergency}}) {
        const auto s = act_between_ticks(
            [&] {
                press(first);
                press(later);
            },
            2);
        let_go(kButtonPin);
        let_go(kAlarmPin);
        EXPECT_TRUE(marker(s[0], z)) << "the later is " << later;
        EXPECT_FALSE(s[1].is_marker());
    }
}

TEST_F(Sampling, SeveralPressesInOnePeriodAreOneMarker) {
    open();
    start();
    const auto s = act_between_ticks(
        [&] {
            for (int i = 0; i < 3; ++i) {
                press(kButtonPin);
                let_go(kButtonPin);
            }
        },
        2);
    EXPECT_TRUE(marker(s[0], kEmergency));
    EXPECT_FALSE(s[1].is_marker());
}

TEST_F(Sampling, AnEventWhileStoppedIsDroppedByTheStart) {
    open();
    start();
    next_sample();
    stop();
    press(kButtonPin);
    let_go(kButtonPin);
    start();
    const auto s = next_samples(3);
    EXPECT_EQ(count_markers(s, kEmergency), 0u);
}

// ---- Power detect -----------------------------------------------------------------------------

TEST_F(Sampling, APowerDetectPulseGoneBeforeTheSecondCheckGivesNoEvent) {
    open();
    start();
    for (auto low_for : {0ms, 300ms}) {
        bool judged = false;
        for (int attempt = 0; attempt < 5 && !judged; ++attempt) {
            const auto begin = std::chrono::steady_clock::now();
            power_low();
            wait_taken(kPowerPin);
            std::this_thread::sleep_for(low_for);
            power_high();
            // The line must have gone high again before the check 400 ms after its edge.
            if (std::chrono::steady_clock::now() - begin > 380ms) {
                std::this_thread::sleep_for(500ms);
                continue;
            }
            bool gapless = false;
            const auto s = next_samples(14, &gapless);  // 700 ms: past both checks
            if (!gapless) continue;
            judged = true;
            EXPECT_EQ(count_markers(s, kPower), 0u) << "low for " << low_for.count() << " ms";
        }
        EXPECT_TRUE(judged) << "the host never let the test end the pulse in time";
    }
}

TEST_F(Sampling, APowerDetectLineHeldLowRepeatsTheEventUntilItGoesHigh) {
    open();
    start();
    power_low();
    std::vector<uint64_t> marker_ticks;
    ASSERT_TRUE(eventually([&] {
        const Sample s = next_sample();
        if (marker(s, kPower)) marker_ticks.push_back(s.tick);
        return marker_ticks.size() >= 3;
    }));
    EXPECT_LT(marker_ticks[0], marker_ticks[1]);
    EXPECT_LT(marker_ticks[1], marker_ticks[2]);

    power_high();
    next_sample();  // may still carry an event raised before the line went high
    const auto after = next_samples(14);
    EXPECT_EQ(count_markers(after, kPower), 0u);
}

// The pulse: the line driven low for three seconds with its interrupt off, then given back.
TEST_F(Sampling, ThePowerDetectPulseLastsThreeSecondsAndRequestsTheInterruptAgain) {
    open();
    start();
    std::mutex m;
    std::vector<std::pair<bool, std::chrono::steady_clock::time_point>> edges;
    const int watch = board.soc.gpio.watch(kPowerPin, [&](bool level) {
        std::lock_guard lock(m);
        edges.emplace_back(level, std::chrono::steady_clock::now());
    });

    ASSERT_EQ(ioctl(GSENSOR_IOC_PWR_DETECT), 0);
    EXPECT_TRUE(board.soc.gpio.is_output(kPowerPin));
    EXPECT_FALSE(board.soc.gpio.level(kPowerPin));
    EXPECT_NE(reg(kEintmask) & (1u << 9), 0u) << "the power-detect interrupt is off";
    EXPECT_TRUE(board.console_has("GPG1-0..."));
    EXPECT_EQ(board.sensors.inputs.cpu_pulses(), 1u);

    std::vector<Sample> during;
    ASSERT_TRUE(eventually([&] {
        during.push_back(next_sample());
        return board.soc.gpio.function(kPowerPin) == hw::S3c2410Gpio::kFunction2;
    }));
    board.soc.gpio.unwatch(watch);
    EXPECT_EQ(count_markers(during, kPower), 0u) << "no debounce was running";
    EXPECT_TRUE(board.soc.gpio.level(kPowerPin));

    {
        std::lock_guard lock(m);
        ASSERT_EQ(edges.size(), 2u);
        EXPECT_FALSE(edges[0].first);
        EXPECT_TRUE(edges[1].first);
        EXPECT_GE(edges[1].second - edges[0].second, 2990ms);
    }
    std::vector<std::string> pulse_lines;
    for (const auto& l : board.lines()) {
        if (l.rfind("timer Cnt", 0) == 0 || l.rfind("GPG1-", 0) == 0) pulse_lines.push_back(l);
    }
    EXPECT_EQ(pulse_lines, (std::vector<std::string>{"GPG1-0...", "timer Cnt 1..", "timer Cnt 2..",
                                                     "timer Cnt 3..", "GPG1-2..."}));
    EXPECT_EQ(reg(kEintmask) & (1u << 9), 0u) << "the interrupt is requested again";

    power_low();
    ASSERT_TRUE(eventually([&] { return marker(next_sample(), kPower); }));
    power_high();
}

// A debounce still running when the pulse drives the line low sees the low line.
TEST_F(Sampling, ThePulseRaisesTheEventOfADebounceInProgress) {
    open();
    start();
    bool judged = false;
    for (int attempt = 0; attempt < 3 && !judged; ++attempt) {
        const auto begin = std::chrono::steady_clock::now();
        power_low();
        wait_taken(kPowerPin);
        power_high();
        ASSERT_EQ(ioctl(GSENSOR_IOC_PWR_DETECT), 0);
        const bool in_time = std::chrono::steady_clock::now() - begin < 180ms;
        bool seen = false;
        ASSERT_TRUE(eventually([&] {
            seen = seen || marker(next_sample(), kPower);
            return board.soc.gpio.function(kPowerPin) == hw::S3c2410Gpio::kFunction2;
        }));
        if (!in_time) continue;  // the first check may have found the line high
        judged = true;
        EXPECT_TRUE(seen);
    }
    EXPECT_TRUE(judged) << "the host never let the test start the pulse in time";
}

// ---- The knob ----------------------------------------------------------------------------------

TEST_F(Sampling, TheFirstTickAfterLoadReportsTheLevelThenUnchanged) {
    board.sensors.set_knob_level(20);
    open();
    EXPECT_EQ(volume(), 20);  // as the start-up tool does before the recorder starts
    start();
    const auto s = next_samples(3);
    EXPECT_EQ(s[0].record[3], 20) << "reported although the knob never moved";
    EXPECT_EQ(s[1].record[3], XYZ_V_UNCHANGED);
    EXPECT_EQ(s[2].record[3], XYZ_V_UNCHANGED);
}

TEST_F(Sampling, AKnobChangeShowsOneTickLate) {
    board.sensors.set_knob_level(10);
    open();
    volume();
    start();
    EXPECT_EQ(next_sample().record[3], 10);
    bool judged = false;
    for (int attempt = 0, level = 30; attempt < 5 && !judged; ++attempt, ++level) {
        const uint64_t unlagged = board.sensors.adc.unlagged_reads();
        const auto s = act_between_ticks([&] { board.sensors.set_knob_level(level); }, 3);
        // A host that stalled the tick between its start of a conversion and its read hides the
        // lag: try again.
        if (board.sensors.adc.unlagged_reads() != unlagged) continue;
        judged = true;
        EXPECT_EQ(s[0].record[3], XYZ_V_UNCHANGED)
            << "the conversion read was started before the change";
        EXPECT_EQ(s[1].record[3], level);
        EXPECT_EQ(s[2].record[3], XYZ_V_UNCHANGED);
    }
    EXPECT_TRUE(judged);
}

TEST_F(Sampling, ARecordNeverReportsMoreThan54) {
    board.sensors.set_knob_level(60);
    open();
    EXPECT_EQ(volume(), 60);
    start();
    EXPECT_EQ(next_sample().record[3], 54);
    board.sensors.set_knob_level(63);
    EXPECT_EQ(volume(), 63);
    const auto s = next_samples(2);
    EXPECT_EQ(s[0].record[3], XYZ_V_UNCHANGED) << "54 again";
    EXPECT_EQ(s[1].record[3], XYZ_V_UNCHANGED);
}

TEST_F(Sampling, AKnobChangeInTheTickOfAMarkerRidesInTheMarker) {
    board.sensors.set_knob_level(5);
    open();
    volume();
    start();
    EXPECT_EQ(next_sample().record[3], 5);
    const auto s =
        act_in_periods({[&] { board.sensors.set_knob_level(25); }, [&] { press(kButtonPin); }}, 2);
    let_go(kButtonPin);
    EXPECT_EQ(s[0].record[3], XYZ_V_UNCHANGED) << "the change is read one tick late";
    EXPECT_EQ(s[1].record, (Record{255, 255, kEmergency, 25}));
    EXPECT_EQ(s[2].record[3], XYZ_V_UNCHANGED);
}

TEST_F(Sampling, AnOnDemandReadDoesNotHideAChangeFromTheTick) {
    board.sensors.set_knob_level(10);
    open();
    volume();
    start();
    next_sample();
    next_sample();
    board.sensors.set_knob_level(40);
    EXPECT_EQ(volume(), 40);
    std::vector<Sample> s = next_samples(3);
    EXPECT_EQ(std::count_if(s.begin(), s.end(), [](const Sample& x) { return x.record[3] == 40; }),
              1);
}

// ---- A dead controller
// ---------------------------------------------------------------------------

TEST_F(Sampling, ADeadSpiControllerCannotHoldUpTheTick) {
    open();
    start();
    next_sample();
    set_reg(kClkcon, reg(kClkcon) & ~kClkconSpi);
    const auto s = next_samples(3);
    EXPECT_EQ(axes(s[2]), (std::array<int16_t, 3>{0, 0, 0}));
    EXPECT_EQ(board.count_lines("SPI0 not ready"), 1u) << "reported once";
    close();  // the power-down transfer gives up as well
    set_reg(kClkcon, reg(kClkcon) | kClkconSpi);
    open();
    EXPECT_TRUE(board.sensors.lis3lv02dq.measuring());
}

}  // namespace
}  // namespace accelmontest
