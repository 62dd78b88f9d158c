// IBC link: "$APW" parsing and the reader, against a PTY playing the IBC controller.
#include "ibc.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "le.hpp"
#include "link_test_support.hpp"
#include "sentence.h"

namespace {

using linktest::EventLog;
using Record = std::array<uint8_t, ibcrec::SIZE>;

Record Parse(std::string_view line) {
    Record r;
    r.fill(0xEE);
    ParseAPW(line, r);
    return r;
}

std::string Letters(const Record& r) {
    return {static_cast<char>(r[ibcrec::LETTER1]), static_cast<char>(r[ibcrec::LETTER2]),
            static_cast<char>(r[ibcrec::LETTER3]), static_cast<char>(r[ibcrec::LETTER4])};
}

std::array<int32_t, 6> Times(const Record& r) {
    return {le::get_i32(r, ibcrec::HOUR1), le::get_i32(r, ibcrec::HOUR2),
            le::get_i32(r, ibcrec::MIN1),  le::get_i32(r, ibcrec::MIN2),
            le::get_i32(r, ibcrec::SEC1),  le::get_i32(r, ibcrec::SEC2)};
}

TEST(ParseAPW, FullSentence) {
    const Record r = Parse("$APW,T,O,X,Y,0915,3045,0010,*3F\r\n");
    EXPECT_EQ(le::get_u32(r, 0), 0u);
    EXPECT_EQ(Letters(r), "TOXY");
    EXPECT_EQ(Times(r), (std::array<int32_t, 6>{9, 15, 30, 45, 0, 10}));
}

TEST(ParseAPW, SevenEmptyFields) {
    const Record r = Parse("$APW,,,,,,,\r\n");
    EXPECT_EQ(Letters(r), "BFFF");
    EXPECT_EQ(Times(r), (std::array<int32_t, 6>{}));
}

TEST(ParseAPW, TwoDigitNumbersOfATimeField) {
    EXPECT_EQ(Times(Parse("$APW,A,O,F,F,9,,\r\n"))[0], 9);
    EXPECT_EQ(Times(Parse("$APW,A,O,F,F,9,,\r\n"))[1], 0);
    EXPECT_EQ(Times(Parse("$APW,A,O,F,F,123456,,\r\n")),
              (std::array<int32_t, 6>{12, 34, 0, 0, 0, 0}));
    EXPECT_EQ(Times(Parse("$APW,A,O,F,F,x1,1x,\r\n")), (std::array<int32_t, 6>{0, 0, 1, 0, 0, 0}));
}

TEST(ParseAPW, MultiCharacterLettersGiveTheirFirstCharacter) {
    EXPECT_EQ(Letters(Parse("$APW,CAR,OFF,FOO,BAR,,,\r\n")), "COFB");
}

TEST(ParseAPW, MissingFieldsTakeTheValuesOfEmptyOnes) {
    Record r = Parse("$APW,C,O\r\n");
    EXPECT_EQ(Letters(r), "COFF");
    EXPECT_EQ(Times(r), (std::array<int32_t, 6>{}));
    r = Parse("$APW,A,O,F,F,0915\r\n");
    EXPECT_EQ(Letters(r), "AOFF");
    EXPECT_EQ(Times(r), (std::array<int32_t, 6>{9, 15, 0, 0, 0, 0}));
    r = Parse("$APW\r\n");
    EXPECT_EQ(Letters(r), "BFFF");
    EXPECT_EQ(Times(r), (std::array<int32_t, 6>{}));
}

TEST(ParseAPW, HostileLinesStayInsideTheLine) {
    std::mt19937 rng(99);
    for (int round = 0; round < 20000; ++round) {
        std::string line = "$APW";
        const size_t n = rng() % 82;
        for (size_t i = 0; i < n; ++i) {
            line.push_back(rng() % 5 == 0 ? ',' : static_cast<char>(1 + rng() % 255));
        }
        // An exact-size copy: the sanitizers see any read past the line.
        const auto exact = std::make_unique<char[]>(line.size());
        std::copy(line.begin(), line.end(), exact.get());
        const Record r = Parse(std::string_view(exact.get(), line.size()));
        EXPECT_EQ(le::get_u32(r, 0), 0u);
    }
}

class IbcLink : public ::testing::Test {
  protected:
    void SetUp() override {
        EventLog::Clear();
        sentence::g_pause = linktest::PauseLog::Record;
        linktest::PauseLog::Take();
        ASSERT_EQ(init_ibc(EventLog::Callback), 0);
    }
    void TearDown() override {
        sentence::g_pause = sentence::RealPause;
        os::close(ttySAC2_fd);
        ttySAC2_fd = -1;
    }

    testsupport::BoardRoot root;
    linktest::PtyPeer peer{root, "/dev/ttySAC2"};
};

TEST_F(IbcLink, OnlyAPWLinesReachTheCallback) {
    peer.Send("$APX,A,O,,,,,\r\n$APW,A,O,,,,,\r\n$GPSTX,1\r\n$APWZ,T,F,,,0102,0304,0506\r\n");
    IBCReadTurn();
    const auto events = EventLog::Now();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, EVENT_IBC);
    ASSERT_EQ(events[0].record.size(), ibcrec::SIZE);
    EXPECT_EQ(events[0].record[ibcrec::LETTER1], 'A');
    EXPECT_EQ(events[1].record[ibcrec::LETTER1], 'T');
    EXPECT_EQ(le::get_i32(events[1].record, ibcrec::SEC2), 6);
}

TEST_F(IbcLink, StartCommandThenTheReaderRuns) {
    linktest::SetReadWait(ttySAC2_fd, 1);
    EXPECT_EQ(linktest::Console(start_ibc), "Start ibc...\n");
    EXPECT_EQ(peer.ReadLines(), std::vector<std::string>(3, "$PIB,#APWSTART,00*cc\r\n"));
    EXPECT_EQ(linktest::PauseLog::Take(), std::vector<unsigned long>(3, 1000));

    peer.Send("$APW,B,F,F,F,,,\r\n");
    const auto events = EventLog::WaitFor(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].record[ibcrec::LETTER1], 'B');
    EXPECT_FALSE(pthread_equal(events[0].thread, pthread_self()));
    release_ibc();
}

TEST(IbcLinkWithoutPort, FailsPlainly) {
    testsupport::BoardRoot root;
    const std::string console =
        linktest::Console([] { EXPECT_EQ(init_ibc(EventLog::Callback), -1); });
    EXPECT_EQ(console, "init ibc start\nSerial Open Fail [/dev/ttySAC2]\r\n ");
    sentence::g_pause = linktest::PauseLog::Record;
    linktest::PauseLog::Take();
    IBCReadTurn();  // a failed read waits instead of spinning
    EXPECT_EQ(linktest::PauseLog::Take(), std::vector<unsigned long>{3000000});
    sentence::g_pause = sentence::RealPause;
}

}  // namespace
