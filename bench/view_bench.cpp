// asdtool view on a full card: 1,400 recordings of 20 MiB (sparse files: a real header and a
// second of records, then a hole), the most the recording index holds. Opening the card is
// reading every header (Card::list) and answering /api/card over HTTP, which is what the page
// waits for before it shows the list.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <unistd.h>

#include <thread>

#include "asd_builder.hpp"
#include "files.hpp"
#include "view_server.hpp"

namespace {

namespace fs = std::filesystem;
using viewtest::at;

constexpr size_t kFiles = 1400;
constexpr off_t kFileSize = 20 << 20;

const fs::path& full_card() {
    static testsupport::TempDir dir("bench-view");
    static const fs::path card = [] {
        const fs::path c = dir.path() / "card";
        for (size_t i = 0; i < kFiles; ++i) {
            viewtest::Asd a(at(i * 20.0));
            for (int k = 0; k < 15; ++k) {
                a.video(0, at(i * 20.0 + k / 15.0), viewtest::jpeg(30000, static_cast<uint8_t>(k)));
                a.video(1, at(i * 20.0 + k / 15.0 + 0.01), viewtest::jpeg(30000, 1));
            }
            char name[32];
            std::snprintf(name, sizeof name, "data/rec%08zu.asd", i);
            a.write(c / name);
            if (::truncate((c / name).c_str(), kFileSize) != 0) std::abort();
        }
        viewtest::write_recinfo(c / "data/recinfo", 0, {{3, 1u << 16 | 1}, {4, 1u << 16 | 1}});
        return c;
    }();
    return card;
}

void BM_ListFullCard(benchmark::State& state) {
    const fs::path& card = full_card();
    for (auto _ : state) {
        asd::view::Card c(card);  // nothing cached yet
        const auto l = c.list();
        if (l.files.size() != kFiles) state.SkipWithError("not every file listed");
        benchmark::DoNotOptimize(l);
    }
}
BENCHMARK(BM_ListFullCard)->Unit(benchmark::kMillisecond);

void BM_ApiCardOverHttp(benchmark::State& state) {
    asd::view::Options o;
    o.card = full_card();
    o.port = 0;
    std::FILE* log = std::tmpfile();
    for (auto _ : state) {
        state.PauseTiming();
        asd::view::Server server(o, log);  // a fresh server: its header cache is empty
        std::string why;
        const int port = server.bind(why);
        std::thread t([&] { server.run(); });
        httplib::Client client("127.0.0.1", port);
        state.ResumeTiming();
        const auto r = client.Get("/api/card");
        state.PauseTiming();
        if (!r || r->status != 200) state.SkipWithError("no answer");
        state.counters["json_bytes"] = r ? static_cast<double>(r->body.size()) : 0;
        server.stop();
        t.join();
        state.ResumeTiming();
    }
    std::fclose(log);
}
BENCHMARK(BM_ApiCardOverHttp)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
