// FFmpeg's own tools as the judges of what the export wrote: ffprobe for streams and packets,
// ffmpeg for decoding. Paths come from the tests' own directories.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "files.hpp"

namespace videotest {

struct Run {
    int status = -1;
    std::string out;  // stdout
    std::string err;  // stderr
};

// Runs `argv` to its end with stdout and stderr kept apart.
inline Run run(const std::vector<std::string>& argv) {
    testsupport::TempDir tmp("run");
    const std::string outPath = (tmp.path() / "out").string();
    const std::string errPath = (tmp.path() / "err").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    Run r;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid)
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = testsupport::read_file(outPath);
    r.err = testsupport::read_file(errPath);
    return r;
}

// One line of ffprobe's "compact" output as its keys and values.
using Entry = std::map<std::string, std::string>;

inline std::vector<Entry> compact_entries(const std::string& text) {
    std::vector<Entry> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        Entry e;
        std::istringstream fields(line);
        for (std::string kv; std::getline(fields, kv, '|');) {
            const size_t eq = kv.find('=');
            if (eq != std::string::npos) e[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
        out.push_back(std::move(e));
    }
    return out;
}

inline std::vector<Entry> probe(const std::filesystem::path& file, const std::string& entries,
                                const std::string& streams = "") {
    std::vector<std::string> argv = {FFPROBE, "-v", "error"};
    if (!streams.empty()) argv.insert(argv.end(), {"-select_streams", streams});
    argv.insert(argv.end(), {"-show_entries", entries, "-of", "compact=p=0:nk=0", file.string()});
    return compact_entries(run(argv).out);
}

// The streams: codec_type, codec_name, width, height, sample_rate.
inline std::vector<Entry> streams(const std::filesystem::path& file) {
    return probe(file, "stream=index,codec_type,codec_name,width,height,sample_rate");
}

// The packets of one stream ("v:0", "a:0", "s:0") in the order they are stored.
inline std::vector<Entry> packets(const std::filesystem::path& file, const std::string& stream) {
    return probe(file, "packet=pts_time,duration_time,size", stream);
}

inline double number(const Entry& e, const std::string& key) {
    const auto it = e.find(key);
    return it == e.end() ? -1 : std::strtod(it->second.c_str(), nullptr);
}

inline double duration(const std::filesystem::path& file) {
    const auto e = probe(file, "format=duration");
    return e.empty() ? -1 : number(e[0], "duration");
}

// `ffmpeg -v error -i FILE -f null -`: every frame of every stream decoded; what it complained of.
// The decoded frames keep the file's own time base (-enc_time_base -1): by default ffmpeg hands
// them on in steps of the frame rate it guessed from the first frames, and two recorded frames
// closer than one such step (the recorder's pace is not even) would then collide in ffmpeg's own
// null output, which says nothing about the file.
inline Run decode_all(const std::filesystem::path& file) {
    return run({FFMPEG, "-nostdin", "-v", "error", "-i", file.string(), "-enc_time_base", "-1",
                "-f", "null", "-"});
}

// The subtitles as SubRip text (line ends as "\n").
inline std::string subtitles(const std::filesystem::path& file) {
    std::string text = run({FFMPEG, "-nostdin", "-v", "error", "-i", file.string(), "-map", "0:s:0",
                            "-f", "srt", "-"})
                           .out;
    std::erase(text, '\r');
    return text;
}

// The video frame shown at `seconds`, as planar YUV 4:2:0 in limited range.
inline std::string frame_at(const std::filesystem::path& file, double seconds) {
    return run({FFMPEG, "-nostdin", "-v", "error", "-i", file.string(), "-ss",
                std::to_string(seconds), "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "yuv420p",
                "-"})
        .out;
}

}  // namespace videotest
