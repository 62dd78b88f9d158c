// Writes what a recording file holds as ordinary files that a person can open:
//
//   front/00001_20261207T230633.123Z.jpg   the frames of each camera, numbered, named with
//   rear/00001_20261207T230633.140Z.jpg    their time (UTC, milliseconds), bytes as recorded
//   frames.csv                             camera, number, time, size and file of every frame
//   track.gpx                              the GPS fixes as a GPX 1.1 track
//   gps.csv                                every GPS record, position in degrees
//   accel.csv                              the accelerometer records (chip counts; knob level)
//   audio.wav                              the audio records in order, 8 kHz 8-bit mono
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "asd_reader.hpp"

namespace asd {

struct ExportReport {
    std::array<size_t, 2> frames{};  // JPEG files by channel: 0 rear, 1 front
    size_t gpsPoints = 0;            // fixes in the GPX track
    size_t gpsRecords = 0;
    size_t accel = 0;
    uint64_t audioBytes = 0;
    std::optional<Damage> damage;  // the file is damaged there: the records after it are missing
};

// Exports `file` into `dir`, which must be new or empty and not inside a card (a directory that
// holds Firmware_version.txt or data/recinfo, or below one). Returns "" or why the export failed
// (a failed export may have written some of the files).
std::string export_recording(const std::string& file, const std::filesystem::path& dir,
                             ExportReport& report);

// "" when `dir` is outside every card, otherwise why an export may not go there: a card is a
// directory that holds Firmware_version.txt or data/recinfo, and an export inside one would put
// directories among the recorder's own files (one named like a recording stops the recorder when
// the ring comes to it).
std::string card_around(const std::filesystem::path& dir);

// Degrees of a GPS record's coordinate text, which holds the receiver's ddmm.mmmm (latitude) or
// dddmm.mmmm (longitude) as a number: "4722.452000" with 'N' is 47.374200. 'S' and 'W' give
// negative values. Nothing when the text is no such number or out of range.
std::optional<double> gps_degrees(std::string_view text, char hemisphere, bool longitude);

// The 44-byte header of a WAV file of `dataBytes` 8 kHz unsigned 8-bit mono samples.
std::array<uint8_t, 44> wav_header(uint32_t dataBytes);

// "2026-12-07T23:06:33.123456Z".
std::string iso_time(Time t);

}  // namespace asd
