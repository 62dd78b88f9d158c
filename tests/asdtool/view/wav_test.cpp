// The sound track lays the audio blocks on the recording's time line: the browser's audio clock
// must be the recording's clock, across gaps and at both ends.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "view_wav.hpp"

namespace {

using asd::view::AudioBlock;
using asd::view::WavTrack;

constexpr uint8_t kSilence = 0x80;

// The data part of the whole file, read in one go.
std::vector<uint8_t> data_of(const WavTrack& w) {
    std::vector<uint8_t> all(w.size());
    w.read(0, all);
    return {all.begin() + 44, all.end()};
}

// Microseconds at which a block of `n` samples that starts at sample `start` ends.
int64_t end_us(int64_t start, size_t n) {
    return (start + static_cast<int64_t>(n)) * 1000000 / WavTrack::kRate;
}

TEST(WavTrack, FollowingBlocksPlayOneAfterTheOther) {
    const std::vector<uint8_t> a(8000, 1), b(8000, 2);
    const AudioBlock blocks[] = {{end_us(0, 8000), a}, {end_us(8000, 8000) + 3000, b}};
    const WavTrack w = WavTrack::layout(blocks, end_us(16000, 0));
    EXPECT_EQ(w.samples(), 16000u);
    const auto d = data_of(w);
    EXPECT_EQ(d[0], 1);
    EXPECT_EQ(d[7999], 1);
    EXPECT_EQ(d[8000], 2);  // 3 ms of jitter is no gap
    EXPECT_EQ(d[15999], 2);
}

TEST(WavTrack, GapsBecomeSilenceAndTheTrackLastsAsLongAsTheRecording) {
    const std::vector<uint8_t> a(4000, 1), b(4000, 2);
    // a: 0..0.5 s; b: 2.0..2.5 s; the recording lasts 3 s.
    const AudioBlock blocks[] = {{500000, a}, {2500000, b}};
    const WavTrack w = WavTrack::layout(blocks, 3000000);
    EXPECT_DOUBLE_EQ(w.seconds(), 3.0);
    const auto d = data_of(w);
    EXPECT_EQ(d[3999], 1);
    EXPECT_EQ(d[4000], kSilence);
    EXPECT_EQ(d[15999], kSilence);
    EXPECT_EQ(d[16000], 2);
    EXPECT_EQ(d[19999], 2);
    EXPECT_EQ(d[20000], kSilence);
    EXPECT_EQ(d.size(), 24000u);
}

TEST(WavTrack, ABlockBegunBeforeTheRecordingIsCutAtItsStart) {
    std::vector<uint8_t> a(8000);
    std::iota(a.begin(), a.end(), 0);           // sample i holds i % 256
    const AudioBlock blocks[] = {{250000, a}};  // ends 0.25 s in: began 0.75 s before the start
    const WavTrack w = WavTrack::layout(blocks, 250000);
    ASSERT_EQ(w.samples(), 2000u);
    EXPECT_EQ(data_of(w)[0], static_cast<uint8_t>(6000 % 256));
}

TEST(WavTrack, NoSoundIsASilentTrackOfTheRecordingsLength) {
    const WavTrack w = WavTrack::layout({}, 1500000);
    EXPECT_EQ(w.samples(), 12000u);
    const auto d = data_of(w);
    EXPECT_TRUE(std::all_of(d.begin(), d.end(), [](uint8_t s) { return s == kSilence; }));
    EXPECT_EQ(WavTrack::layout({}, 0).size(), 44u);
}

TEST(WavTrack, ABadClockCannotMakeItEndless) {
    const std::vector<uint8_t> a(100, 1);
    const AudioBlock blocks[] = {{int64_t{40} * 24 * 3600 * 1000000, a}};  // 40 days later
    const WavTrack w = WavTrack::layout(blocks, int64_t{50} * 24 * 3600 * 1000000);
    EXPECT_EQ(w.samples(), WavTrack::kMaxSamples);
}

TEST(WavTrack, HeaderDescribesEightKilohertzUnsignedMono) {
    const std::vector<uint8_t> a(801, 1);  // odd: the data chunk gets a pad byte
    const AudioBlock blocks[] = {{100125, a}};
    const WavTrack w = WavTrack::layout(blocks, 0);
    ASSERT_EQ(w.size(), 44u + 802u);
    std::vector<uint8_t> h(44);
    w.read(0, h);
    EXPECT_EQ(std::memcmp(h.data(), "RIFF", 4), 0);
    EXPECT_EQ(std::memcmp(h.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(h[22], 1);                  // mono
    EXPECT_EQ(h[24] | h[25] << 8, 8000);  // samples a second
    EXPECT_EQ(h[34], 8);                  // bits a sample
    EXPECT_EQ(h[40] | h[41] << 8, 801);   // data bytes, without the pad
    EXPECT_EQ(data_of(w).back(), 0);      // the pad
}

// The browser asks for ranges: any range must read what the whole file holds there.
TEST(WavTrack, RangesReadTheSameBytesAsTheWholeFile) {
    const std::vector<uint8_t> a(3000, 1), b(5000, 2), c(1001, 3);
    const AudioBlock blocks[] = {{375000, a}, {1000000, b}, {1500000, c}};
    const WavTrack w = WavTrack::layout(blocks, 2000000);
    std::vector<uint8_t> whole(w.size());
    w.read(0, whole);
    for (const auto& [from, n] : std::vector<std::pair<size_t, size_t>>{{0, 1},
                                                                        {40, 10},
                                                                        {43, 3000},
                                                                        {44 + 2999, 2},
                                                                        {44 + 3000 + 4999, 600},
                                                                        {100, 15000},
                                                                        {whole.size() - 1, 1}}) {
        std::vector<uint8_t> part(n);
        w.read(from, part);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + static_cast<long>(from)))
            << from << "+" << n;
    }
}

}  // namespace
