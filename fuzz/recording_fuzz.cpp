// The recording reader and the asdtool commands on any file: the reader's verdict holds together
// (the records it returns chain from the header without a gap, none runs past the file, none holds
// a value the recorder cannot write), and info, check, summary and export run on it in-process.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "asd_reader.hpp"
#include "asdtool.hpp"
#include "fuzz_root.hpp"

namespace {

constexpr uint64_t kHeader = 84;

void check_reader(std::span<const uint8_t> bytes, bool payloads) {
    const asd::Recording rec = asd::parse(bytes, {.payloads = payloads});
    FUZZ_CHECK(rec.readError.empty());
    FUZZ_CHECK(rec.fileSize == bytes.size());
    uint64_t next = kHeader;
    uint32_t prev = 0;
    for (const asd::Record& r : rec.records) {
        FUZZ_CHECK(r.offset == next);
        FUZZ_CHECK(r.prevOffset == prev);
        FUZZ_CHECK(r.offset + r.size <= bytes.size());
        if (const auto* v = std::get_if<asd::VideoRecord>(&r.body)) {
            FUZZ_CHECK(v->channel <= 1 && v->width != 0 && v->height != 0);
            FUZZ_CHECK(v->time.usec < 1000000);
            FUZZ_CHECK(v->dataOffset + v->length == r.offset + r.size);
            FUZZ_CHECK(v->jpeg.size() == (payloads ? v->length : 0));
        } else if (const auto* a = std::get_if<asd::AudioRecord>(&r.body)) {
            FUZZ_CHECK(a->time.usec < 1000000);
            FUZZ_CHECK(a->dataOffset + a->length == r.offset + r.size);
            FUZZ_CHECK(a->samples.size() == (payloads ? a->length : 0));
        } else if (const auto* g = std::get_if<asd::GpsRecord>(&r.body)) {
            FUZZ_CHECK(g->received.usec < 1000000);
            FUZZ_CHECK(g->latitude.size() <= 15 && g->longitude.size() <= 17);  // a field
        } else {
            FUZZ_CHECK(std::get<asd::AccelRecord>(r.body).time.usec < 1000000);
        }
        prev = static_cast<uint32_t>(r.offset);
        next = r.offset + r.size;
    }
    if (rec.damage) {
        FUZZ_CHECK(rec.damage->offset <= bytes.size());
        FUZZ_CHECK(!rec.damage->reason.empty());
    } else if (bytes.size() >= kHeader && !rec.cutShort) {
        // Whole: the records fill the file, the header's count and times are possible.
        FUZZ_CHECK(next == bytes.size());
        FUZZ_CHECK(rec.base.start.usec < 1000000 && rec.base.end.usec < 1000000);
        if (rec.base.videoRecords != 0)
            FUZZ_CHECK(rec.base.videoRecords == rec.count(asd::Kind::Video));
    }
    if (rec.ending() == asd::Ending::Empty) FUZZ_CHECK(bytes.empty() && rec.records.empty());
}

int run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return asdtool_main(static_cast<int>(args.size()), argv.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::Root& root = fuzz::root();
    const std::span<const uint8_t> bytes(data, size);
    check_reader(bytes, false);
    check_reader(bytes, true);

    const fuzz::fs::path file = root.card() / "data/rec00000000.asd";
    fuzz::write_file(file, bytes);
    const int info = run({"asdtool", "info", file.string()});
    const int check = run({"asdtool", "check", file.string()});
    FUZZ_CHECK(info == check && (check == 0 || check == 1));
    FUZZ_CHECK(run({"asdtool", "summary", root.card().string()}) == 0);
    const fuzz::fs::path out = root.path() / "export";
    const int exported = run({"asdtool", "export", file.string(), out.string()});
    FUZZ_CHECK(exported == 0 || exported == 1);
    std::error_code ec;
    fuzz::fs::remove_all(out, ec);
    return 0;
}
