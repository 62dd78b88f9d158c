// The viewer's HTTP side, through a real server on a loopback port: what the page gets, and
// what it refuses (paths out of the card, malformed and foreign requests), each refusal logged.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "asd_builder.hpp"
#include "eventually.hpp"
#include "files.hpp"
#include "view_server.hpp"

namespace {

using nlohmann::json;
using viewtest::at;
using viewtest::jpeg;
namespace fs = std::filesystem;

class Api : public ::testing::Test {
  protected:
    void SetUp() override {
        viewtest::Asd a(at(0));
        for (int i = 0; i < 10; ++i) {
            a.video(0, at(i * 0.2), jpeg(50, static_cast<uint8_t>(i)));
            a.video(1, at(i * 0.2 + 0.05), jpeg(60, static_cast<uint8_t>(50 + i)));
            if (i % 2 == 0) a.accel(at(i * 0.2), i == 4 ? 1500 : 0, 0, 1024);
            if (i == 5) {
                a.gps(at(1.0), "4722.452000", "832.316000", 52, 90);
                a.audio(at(1.0), 8000, 7);
            }
        }
        a.write(card / "data/rec00000000.asd");
        viewtest::Asd(at(10)).video(1, at(10), jpeg(10, 1)).write(card / "data/rec00000001.asd");
        viewtest::write_recinfo(card / "data/recinfo", 2, {{0, 1u << 16 | 1}});
        viewtest::write_text(card / "snapshot/001-1.jpg", "snapshot bytes");
        viewtest::write_text(tmp.path() / "secret.txt", "secret");
        fs::create_symlink(tmp.path() / "secret.txt", card / "snapshot/002-1.jpg");
        fs::create_symlink(tmp.path() / "secret.txt", card / "data/rec00000002.asd");

        log = std::tmpfile();
        asd::view::Options o;
        o.card = card;
        o.port = 0;
        server = std::make_unique<asd::view::Server>(o, log);
        std::string why;
        port = server->bind(why);
        ASSERT_GT(port, 0) << why;
        thread = std::thread([this] { server->run(); });
        client = std::make_unique<httplib::Client>("127.0.0.1", port);
    }
    void TearDown() override {
        server->stop();
        if (thread.joinable()) thread.join();
        std::fclose(log);
    }

    httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) {
        return client->Get(path, headers);
    }
    json get_json(const std::string& path) {
        auto r = get(path);
        EXPECT_TRUE(r);
        if (!r) return nullptr;
        EXPECT_EQ(r->status, 200) << path << ": " << r->body;
        EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
        return json::parse(r->body);
    }

    // Sends `request` as it is on a connection of its own: the status of the answer.
    int raw(const std::string& request) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            return -1;
        }
        EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        std::string answer;
        char buf[4096];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
            answer.append(buf, static_cast<size_t>(n));
            if (answer.find("\r\n") != std::string::npos) break;
        }
        ::close(fd);
        int status = -1;
        std::sscanf(answer.c_str(), "HTTP/1.%*d %d", &status);
        return status;
    }
    int raw_get(const std::string& target) {
        return raw("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    }

    // What the server has logged so far. Read with pread on the descriptor: the server's thread
    // writes through the stream meanwhile (a line and a flush per request), and moving the
    // stream's position under it would put its next line anywhere.
    std::string logged() {
        const int fd = ::fileno(log);
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0;)
            text.append(buf, static_cast<size_t>(n));
        return text;
    }

    testsupport::TempDir tmp{"view-api"};
    fs::path card = tmp.path() / "card";
    std::FILE* log = nullptr;
    std::unique_ptr<asd::view::Server> server;
    std::thread thread;
    int port = 0;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(Api, ThePageAndItsLibrariesAreServedFromTheProgram) {
    auto r = get("/");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_NE(r->body.find("assets/viewer.js"), std::string::npos);
    EXPECT_NE(r->get_header_value("Content-Security-Policy").find("default-src 'self'"),
              std::string::npos);
    for (const char* asset : {"viewer.js", "viewer.css", "leaflet.js", "leaflet.css",
                              "uPlot.iife.min.js", "uPlot.min.css"}) {
        r = get(std::string("/assets/") + asset);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200) << asset;
        EXPECT_GT(r->body.size(), 1000u) << asset;
    }
    EXPECT_EQ(get("/assets/../view_server.cpp")->status, 404);
}

TEST_F(Api, TheCardListsFilesEventsSnapshotsAndUse) {
    const json c = get_json("/api/card");
    ASSERT_EQ(c["files"].size(), 3u);
    const json& f = c["files"][0];
    EXPECT_EQ(f["name"], "rec00000000.asd");
    EXPECT_EQ(f["lock"]["typeName"], "impact");
    EXPECT_DOUBLE_EQ(f["start"].get<double>(), 1800000000.0);
    EXPECT_NEAR(f["seconds"].get<double>(), 1.85, 1e-6);
    EXPECT_EQ(c["files"][1]["next"], false);
    EXPECT_EQ(c["files"][2]["problem"], "leads out of the card");
    ASSERT_EQ(c["events"].size(), 1u);
    EXPECT_EQ(c["events"][0]["files"], json::array({"rec00000000.asd"}));
    EXPECT_EQ(c["index"]["next"], "rec00000002.asd");
    EXPECT_EQ(c["snapshots"], json::parse(R"([{"name":"001-1.jpg","size":14}])"));
    EXPECT_EQ(c["use"]["recordings"], 3);
    EXPECT_EQ(c["use"]["locked"], 1);
    EXPECT_GT(c["use"]["fsBytes"].get<uint64_t>(), 0u);
    EXPECT_EQ(c["tiles"], asd::view::kDefaultTiles);
}

TEST_F(Api, TheTimelineHoldsFramesTrackAccelerometerAndTheImpact) {
    const json d = get_json("/api/recordings/rec00000000.asd/details");
    EXPECT_EQ(d["cameras"], 2);
    EXPECT_EQ(d["gpsPoints"], 1);
    const json t = get_json("/api/recordings/rec00000000.asd/timeline");
    EXPECT_NEAR(t["duration"].get<double>(), 1.85, 1e-9);
    ASSERT_EQ(t["frames"]["front"].size(), 10u);
    EXPECT_NEAR(t["frames"]["front"][1].get<double>(), 0.25, 1e-9);
    EXPECT_NEAR(t["frames"]["rear"][9].get<double>(), 1.8, 1e-9);
    ASSERT_EQ(t["gps"].size(), 1u);
    EXPECT_NEAR(t["gps"][0]["lat"].get<double>(), 47.3742, 1e-6);
    EXPECT_NEAR(t["gps"][0]["lon"].get<double>(), 8.538600, 1e-6);
    EXPECT_EQ(t["gps"][0]["speed"], 52);
    EXPECT_EQ(t["gps"][0]["heading"], 90);
    EXPECT_EQ(t["accel"]["x"], json::array({0, 0, 1500, 0, 0}));
    EXPECT_NEAR(t["impact"].get<double>(), 0.8, 1e-9);
    EXPECT_EQ(t["lock"]["generation"], 1);
    const json e = get_json("/api/events/1");
    EXPECT_EQ(e["moment"]["file"], "rec00000000.asd");
    EXPECT_NEAR(e["moment"]["t"].get<double>(), 0.8, 1e-6);
}

TEST_F(Api, FramesAreServedByTime) {
    const auto frame = [&](const std::string& query) {
        return get("/api/recordings/rec00000000.asd/frame?" + query);
    };
    auto r = frame("cam=front&t=0.25");  // exactly the second front frame
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "image/jpeg");
    EXPECT_EQ(r->get_header_value("X-Frame-Number"), "1");
    const auto expected = jpeg(60, 51);
    EXPECT_EQ(r->body, std::string(expected.begin(), expected.end()));
    EXPECT_EQ(frame("cam=front&t=0.3499")->get_header_value("X-Frame-Number"), "1");
    EXPECT_EQ(frame("cam=rear&t=0")->get_header_value("X-Frame-Number"), "0");
    EXPECT_EQ(frame("cam=rear&t=-5")->get_header_value("X-Frame-Number"), "0");
    EXPECT_EQ(frame("cam=rear&t=1e9")->get_header_value("X-Frame-Number"), "9");
    EXPECT_EQ(get("/api/recordings/rec00000001.asd/frame?cam=rear&t=0")->status, 404);
    for (const char* bad : {"cam=side&t=1", "t=1", "cam=front", "cam=front&t=", "cam=front&t=abc",
                            "cam=front&t=1.5x", "cam=front&t=nan", "cam=front&t=inf"}) {
        EXPECT_EQ(frame(bad)->status, 400) << bad;
    }
}

TEST_F(Api, TheSoundIsAWavFileThatCanBeReadInRanges) {
    auto r = get("/api/recordings/rec00000000.asd/audio.wav");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "audio/wav");
    // 1.85 s on the time line: a block ending at 1.0 s, silence after it.
    ASSERT_EQ(r->body.size(), 44u + 14800u);
    EXPECT_EQ(r->body.substr(0, 4), "RIFF");
    EXPECT_EQ(r->body[44], 7);
    EXPECT_EQ(static_cast<uint8_t>(r->body[44 + 8000]), 0x80);
    r = get("/api/recordings/rec00000000.asd/audio.wav", {{"Range", "bytes=8040-8047"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 206);
    EXPECT_EQ(r->get_header_value("Content-Range"), "bytes 8040-8047/14844");
    EXPECT_EQ(r->body, std::string("\x07\x07\x07\x07\x80\x80\x80\x80"));
}

TEST_F(Api, SnapshotsAreServedAsTheyAre) {
    auto r = get("/api/snapshots/001-1.jpg");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, "snapshot bytes");
    EXPECT_EQ(r->get_header_value("Content-Type"), "image/jpeg");
}

// Requests go out on the wire exactly as written here: no client tidies them up.
TEST_F(Api, PathsOutOfTheCardAreRefusedAndLogged) {
    EXPECT_EQ(raw_get("/api/snapshots/../../secret.txt"), 400);
    EXPECT_EQ(raw_get("/api/snapshots/%2e%2e/%2e%2e/secret.txt"), 400);
    EXPECT_EQ(raw_get("/api/snapshots/..%2f..%2fsecret.txt"), 400);
    EXPECT_EQ(raw_get("/api/recordings/../../secret.txt/timeline"), 400);
    EXPECT_EQ(raw_get("/api/snapshots//etc/passwd"), 400);
    EXPECT_EQ(raw_get("/api/snapshots/%2fetc%2fpasswd"), 400);
    EXPECT_EQ(raw_get("/api/recordings/%2Fetc%2Fpasswd/details"), 400);
    EXPECT_EQ(raw_get("/api/snapshots/001-1.jpg%00.png"), 400);
    EXPECT_EQ(raw_get("/api/snapshots/002-1.jpg"), 403);                  // a link out
    EXPECT_EQ(raw_get("/api/recordings/rec00000002.asd/timeline"), 403);  // a link out
    EXPECT_EQ(raw_get("/api/recordings/rec00000009.asd/timeline"), 404);
    EXPECT_EQ(raw_get("/api/recordings/recinfo/details"), 400);  // not a recording
    // The server logs a request once it has answered it.
    std::string text;
    EXPECT_TRUE(testsupport::eventually([&] {
        text = logged();
        return testsupport::count(text, "asdtool view: 4") == 12;
    })) << text;
    EXPECT_EQ(testsupport::count(text, "asdtool view: 400 GET "), 9u) << text;
    EXPECT_EQ(testsupport::count(text, "asdtool view: 403 GET "), 2u) << text;
    EXPECT_NE(
        text.find("403 GET /api/snapshots/002-1.jpg: snapshot/002-1.jpg: leads out of the card"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("'..' in the path"), std::string::npos);
    EXPECT_NE(text.find("absolute path"), std::string::npos);
    EXPECT_NE(text.find("NUL in the path"), std::string::npos);
}

TEST_F(Api, MalformedAndForeignRequestsAreRefused) {
    EXPECT_EQ(raw("POST /api/card HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n"), 405);
    EXPECT_EQ(raw("DELETE /api/snapshots/001-1.jpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), 405);
    EXPECT_EQ(raw("GET /api/card HTTP/1.1\r\nHost: attacker.example:8080\r\n\r\n"), 421);
    EXPECT_EQ(raw("GARBAGE\r\n\r\n"), 400);
    EXPECT_EQ(raw_get("/api/events/x"), 400);
    EXPECT_EQ(raw_get("/api/events/0"), 400);
    EXPECT_EQ(raw_get("/api/events/99999999999"), 400);
    EXPECT_EQ(raw_get("/api/events/3"), 404);
    EXPECT_EQ(raw_get("/nothing"), 404);
    EXPECT_EQ(raw("GET /api/card HTTP/1.1\r\nHost: localhost:1\r\nConnection: close\r\n\r\n"), 200);
    std::string text;
    EXPECT_TRUE(testsupport::eventually([&] {
        text = logged();
        return testsupport::count(text, "asdtool view: 4") == 9;
    })) << text;
    EXPECT_NE(text.find("405 POST /api/card: read-only"), std::string::npos) << text;
    EXPECT_NE(text.find("421 GET /api/card"), std::string::npos) << text;
    EXPECT_NE(text.find("404 GET /nothing"), std::string::npos) << text;
}

TEST(ViewOptions, ArgumentsAreChecked) {
    testsupport::TempDir tmp{"view-options"};
    const auto parse = [&](std::vector<std::string> words, asd::view::Options& o) {
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        return asd::view::parse_options(argv, o);
    };
    asd::view::Options o;
    EXPECT_EQ(
        parse({tmp.path().string(), "--port", "0", "--listen", "0.0.0.0", "--tiles", "none"}, o),
        "");
    EXPECT_EQ(o.port, 0);
    EXPECT_EQ(o.listen, "0.0.0.0");
    EXPECT_EQ(o.tiles, "");
    EXPECT_EQ(parse({tmp.path().string(), "--tiles", "http://127.0.0.1:9/{z}/{x}/{y}.png"}, o), "");
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {},
             {"/nonexistent-card"},
             {tmp.path().string(), "--port", "65536"},
             {tmp.path().string(), "--port", "8x"},
             {tmp.path().string(), "--port"},
             {tmp.path().string(), "--tiles", "ftp://x/{z}/{x}/{y}"},
             {tmp.path().string(), "--tiles", "https://x/{z}/{x}"},
             {tmp.path().string(), "--tiles", "https://x/{z}/{x}/{y}'"},
             {tmp.path().string(), "--frobnicate"},
             {tmp.path().string(), tmp.path().string()}}) {
        asd::view::Options ignored;
        EXPECT_NE(parse(bad, ignored), "") << (bad.empty() ? "" : bad.back());
    }
    EXPECT_TRUE(asd::view::is_loopback("127.0.0.1"));
    EXPECT_TRUE(asd::view::is_loopback("::1"));
    EXPECT_FALSE(asd::view::is_loopback("0.0.0.0"));
}

}  // namespace
