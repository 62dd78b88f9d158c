// What the two serial links (front sub-board on ttySAC1, IBC controller on ttySAC2) share: the
// port settings, sending one sentence per write, cutting the received byte stream into lines,
// and reading fields out of a received sentence.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace sentence {

// One read of a port takes at most this many bytes.
constexpr size_t kChunkSize = 85;
using Chunk = std::array<char, kChunkSize>;

// A line holds at most 84 characters before its line feed; the buffer has room for those, the
// line feed and a terminating NUL.
constexpr size_t kLineMax = 84;
using LineBuffer = std::array<char, kLineMax + 2>;

// Fixed outgoing sentences are kept in tables of 40-byte rows (39 characters and a NUL).
constexpr size_t kRowSize = 40;
using Row = char[kRowSize];

// The attribute set of both ports, built from zeros: 9600 baud 8N1, receiver on, modem lines
// ignored, framing and parity errors ignored, raw in both directions; a read returns as soon as
// one byte has arrived, or with 0 after 3 seconds of silence (VTIME 30, VMIN 0).
termios PortAttributes();

// Opens a link's port (read-write, not as controlling terminal, blocking), discards what is
// pending in both directions and applies PortAttributes(). Returns the descriptor or -1.
int OpenPort(const char* path);

// Writes one sentence to the port in a single write. Returns the write's result.
ssize_t Send(int fd, std::string_view text);

// Clears the chunk and reads at most kChunkSize bytes into it. Returns the read's result.
ssize_t ReadChunk(int fd, Chunk& chunk);

// The received bytes of a chunk that count: up to `count` and before the first NUL.
std::string_view ChunkText(const Chunk& chunk, ssize_t count);

// Pauses of the links (between sentences, supervision, display pulses), in microseconds.
// Replaceable so that tests can run the sequences without waiting.
using PauseFunction = void (*)(unsigned long usec);
extern PauseFunction g_pause;
void Pause(unsigned long usec);
void RealPause(unsigned long usec);

// Cuts a link's received bytes into lines. Each link's reader owns one.
struct LineGatherer {
    LineBuffer line{};
    size_t index = 0;

    // Takes the bytes of one chunk in order. At each line feed the completed line (line feed
    // included) goes to `handler`, which returns true when the line was a sentence it processed
    // successfully; the line buffer is then cleared. More than kLineMax characters without a line
    // feed are dropped.
    template <typename Handler>
    void Feed(std::string_view bytes, Handler&& handler) {
        for (char c : bytes) {
            line[index] = c;
            if (c == '\n') {
                line[index + 1] = '\0';
                const bool processed = handler(std::string_view(line.data(), index + 1));
                index = 0;
                if (processed) line.fill('\0');
            } else if (++index > kLineMax) {
                index = 0;
            }
        }
    }
};

// --- Fields of a received sentence ---------------------------------------------------------
//
// Field k begins right after the k-th comma of the line; its text runs to the end of the line
// (conversions stop at the next comma by themselves). A field is empty when the character after
// its comma is another comma.

// Field k (k >= 1), or nothing when the line has fewer than k commas.
std::optional<std::string_view> Field(std::string_view line, int k);

bool FieldEmpty(std::string_view field);

// The field's first character, or `fallback` when the field is empty.
char FieldLetter(std::string_view field, char fallback);

// Leading decimal conversion as scanf's "%d" / "%<width>d" does it: skips white space, then takes
// an optional sign and digits, at most `width` characters of them (0: no limit). On success
// stores the value (saturated to the int range), advances `text` past what it used and returns
// true; otherwise leaves both alone and returns false.
bool ScanInt(std::string_view& text, size_t width, int& value);

// Reads `values.size()` numbers of two digits each back to back ("%2d%2d..."). Stops at the
// first that does not convert and returns how many did.
size_t ScanPairs(std::string_view text, std::span<int> values);

// Leading decimal fraction ("%lf") of the field, up to its comma. Nothing when there is no
// finite number there.
std::optional<double> ScanFraction(std::string_view field);

}  // namespace sentence
