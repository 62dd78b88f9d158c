#include "view_server.hpp"

#include <httplib.h>
#include <pthread.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "card_summary.hpp"
#include "recording_export.hpp"
#include "view_assets.hpp"

namespace asd::view {

namespace {

using nlohmann::json;

constexpr const char* kText = "text/plain; charset=utf-8";
constexpr const char* kJson = "application/json";
constexpr uint64_t kMaxSnapshot = 4u << 20;
constexpr size_t kWavChunk = 64 * 1024;

double unix_seconds(Time t) {
    return static_cast<double>(t.sec) + static_cast<double>(t.usec) / 1e6;
}

double seconds(int64_t us) {
    return static_cast<double>(us) / 1e6;
}

// Request text for the log: what is not printable ASCII as \xHH, cut at 300 characters.
std::string printable(std::string_view text) {
    std::string out;
    for (const char c : text.substr(0, 300)) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else {
            out += c;
        }
    }
    if (text.size() > 300) out += "...";
    return out;
}

constexpr const char* kRefusal = "X-Refused";

// A refusal: the status, and the reason as the answer's body and in a header for the log (the
// body may go out compressed).
void refuse(httplib::Response& res, int status, const std::string& why) {
    res.status = status;
    res.set_content(why + "\n", kText);
    res.set_header(kRefusal, printable(why));
}

int status_of(PathVerdict verdict) {
    switch (verdict) {
        case PathVerdict::Ok:
            return 200;
        case PathVerdict::Malformed:
            return 400;
        case PathVerdict::Outside:
            return 403;
        case PathVerdict::Missing:
            return 404;
    }
    return 400;
}

// Bytes sent as they are, with their length. httplib compresses what it sends with set_content()
// for every client that accepts it, brotli at its slowest setting: hundreds of milliseconds for
// the page's scripts or a big card's list, for a few milliseconds saved on a loopback link.
void send_as_is(httplib::Response& res, std::shared_ptr<const std::string> body, const char* type) {
    const size_t size = body->size();
    res.set_content_provider(size, type,
                             [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                 return sink.write(body->data() + offset, length);
                             });
}

void send_asset(httplib::Response& res, const Asset& a) {
    const std::string type(a.type);
    res.set_content_provider(
        a.bytes.size(), type.c_str(),
        [bytes = a.bytes](size_t offset, size_t length, httplib::DataSink& sink) {
            return sink.write(reinterpret_cast<const char*>(bytes.data()) + offset, length);
        });
    res.set_header("Cache-Control", "no-cache");
}

json damage_json(const std::optional<Damage>& d) {
    if (!d) return nullptr;
    return {{"offset", d->offset}, {"reason", d->reason}};
}

json lock_json(const std::optional<Lock>& lock) {
    if (!lock) return nullptr;
    return {{"generation", lock->generation},
            {"type", lock->type},
            {"typeName", lock_type_name(lock->type)}};
}

// The host part of a Host header: "127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "::1".
std::string host_part(const std::string& host) {
    if (!host.empty() && host.front() == '[') {
        const size_t end = host.find(']');
        return end == std::string::npos ? host : host.substr(1, end - 1);
    }
    return host.substr(0, host.find(':'));
}

// The origin of a tile URL template ("https://tile.example.org"), for the page's content policy.
std::string origin_of(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return "";
    const size_t end = url.find('/', scheme + 3);
    return url.substr(0, end);
}

class Api {
  public:
    Api(const Options& options, Card& card) : options_(options), card_(card) {}

    void card(httplib::Response& res) {
        const Listing l = card_.list();
        json files = json::array();
        // The index's next entry, as a plain value: GCC 12's optimiser takes an optional's
        // value for possibly uninitialised here (-Wmaybe-uninitialized).
        const bool hasNext = l.index.has_value();
        const size_t next = hasNext ? l.index->next : 0;
        uint64_t lockedBytes = 0;
        size_t locked = 0;
        for (const ListedFile& f : l.files) {
            const double start = unix_seconds(f.start);
            const double end = unix_seconds(f.end);
            files.push_back({{"name", f.name},
                             {"index", f.index ? json(*f.index) : json(nullptr)},
                             {"size", f.size},
                             {"header", f.header},
                             {"closed", f.closed},
                             {"start", f.header ? json(start) : json(nullptr)},
                             {"seconds", f.header && f.closed ? json(std::max(0.0, end - start))
                                                              : json(nullptr)},
                             {"lock", lock_json(f.lock)},
                             {"next", f.index && hasNext && *f.index == next},
                             {"problem", f.problem}});
            if (f.lock) {
                ++locked;
                lockedBytes += f.size;
            }
        }
        json events = json::array();
        for (const EventInfo& e : l.events) {
            json names = json::array(), missing = json::array();
            for (const size_t i : e.files) {
                const std::string name = recording_name(i);
                const bool there = std::any_of(l.files.begin(), l.files.end(),
                                               [&](const ListedFile& f) { return f.index == i; });
                (there ? names : missing).push_back(name);
            }
            events.push_back({{"generation", e.generation},
                              {"type", e.type},
                              {"typeName", lock_type_name(e.type)},
                              {"files", names},
                              {"missing", missing}});
        }
        json snapshots = json::array();
        for (const Snapshot& s : l.snapshots) {
            snapshots.push_back({{"name", s.name}, {"size", s.size}});
        }
        json use = {{"recordings", l.files.size()},
                    {"bytes", l.bytes},
                    {"locked", locked},
                    {"lockedBytes", lockedBytes}};
        struct statvfs fs {};
        if (::statvfs(card_.root().c_str(), &fs) == 0) {
            use["fsBytes"] = uint64_t{fs.f_blocks} * fs.f_frsize;
            use["fsFree"] = uint64_t{fs.f_bavail} * fs.f_frsize;
        }
        json index = {{"error", l.indexError}};
        if (l.index) {
            index["next"] = recording_name(l.index->next);
            index["lockCount"] = l.index->lockCount;
        }
        json body = {{"card", options_.card.string()},
                     {"error", l.error},
                     {"files", files},
                     {"events", events},
                     {"index", index},
                     {"snapshots", snapshots},
                     {"use", use},
                     {"tiles", options_.tiles}};
        send(res, body);
    }

    void details(const std::string& name, httplib::Response& res) {
        CardPath where;
        if (!recording(name, res, where)) return;
        const auto d = card_.details(where);
        json body = {{"name", name},
                     {"problem", d->problem},
                     {"frames", {{"front", d->frames[1]}, {"rear", d->frames[0]}}},
                     {"cameras", (d->frames[0] > 0 ? 1 : 0) + (d->frames[1] > 0 ? 1 : 0)},
                     {"gps", d->gps},
                     {"gpsPoints", d->gpsPoints},
                     {"accel", d->accel},
                     {"audioSeconds", static_cast<double>(d->audioBytes) / WavTrack::kRate},
                     {"last", unix_seconds(d->last)},
                     {"ending", ending_name(d->ending)},
                     {"damage", damage_json(d->damage)},
                     {"cutShort", damage_json(d->cutShort)}};
        send(res, body);
    }

    void timeline(const std::string& name, httplib::Response& res) {
        CardPath where;
        std::shared_ptr<const Playable> p;
        if (!playable(name, res, where, p)) return;
        json frames = json::object();
        for (const int channel : {1, 0}) {
            json times = json::array();
            for (const Playable::Frame& f : p->frames[channel]) times.push_back(seconds(f.us));
            frames[channel == 1 ? "front" : "rear"] = times;
        }
        json gps = json::array();
        json accel = {
            {"t", json::array()}, {"x", json::array()}, {"y", json::array()}, {"z", json::array()}};
        for (const Record& r : p->rec.records) {
            if (const auto* g = std::get_if<GpsRecord>(&r.body)) {
                const auto lat = gps_degrees(g->latitude, g->latHemisphere, false);
                const auto lon = gps_degrees(g->longitude, g->lonHemisphere, true);
                if (g->status != 'A' || !lat || !lon) continue;
                gps.push_back({{"t", seconds(p->at(g->received))},
                               {"lat", *lat},
                               {"lon", *lon},
                               {"speed", g->headingGate},
                               {"heading", g->heading},
                               {"satellites", g->field8}});
            } else if (const auto* a = std::get_if<AccelRecord>(&r.body)) {
                accel["t"].push_back(seconds(p->at(a->time)));
                accel["x"].push_back(a->x);
                accel["y"].push_back(a->y);
                accel["z"].push_back(a->z);
            }
        }
        std::optional<Lock> lock;
        const Listing l = card_.list();
        for (const ListedFile& f : l.files) {
            if (f.name == name) lock = f.lock;
        }
        json impact = nullptr;
        if (lock && lock->type == kImpactType) {
            if (const auto moment = impact_of(l, lock->generation); moment && moment->first == name)
                impact = seconds(p->at(moment->second));
        }
        uint64_t audioBytes = 0;
        for (const Record& r : p->rec.records) {
            if (const auto* a = std::get_if<AudioRecord>(&r.body)) audioBytes += a->length;
        }
        const VideoRecord* first = p->frame_at(1, 0);
        if (first == nullptr) first = p->frame_at(0, 0);
        json body = {{"name", name},
                     {"start", unix_seconds(p->origin)},
                     {"duration", seconds(p->durationUs)},
                     {"ending", ending_name(p->rec.ending())},
                     {"damage", damage_json(p->rec.damage)},
                     {"cutShort", damage_json(p->rec.cutShort)},
                     {"width", first ? first->width : 640},
                     {"height", first ? first->height : 480},
                     {"frames", frames},
                     {"gps", gps},
                     {"accel", accel},
                     {"audioSeconds", static_cast<double>(audioBytes) / WavTrack::kRate},
                     {"trackSeconds", p->wav.seconds()},
                     {"lock", lock_json(lock)},
                     {"impact", impact}};
        send(res, body);
    }

    void frame(const std::string& name, const httplib::Request& req, httplib::Response& res) {
        const std::string cam = req.get_param_value("cam");
        if (cam != "front" && cam != "rear") {
            refuse(res, 400, "cam: front or rear, not '" + printable(cam) + "'");
            return;
        }
        const std::string t = req.get_param_value("t");
        double at = 0;
        const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), at);
        if (t.empty() || ec != std::errc() || ptr != t.data() + t.size() || !std::isfinite(at)) {
            refuse(res, 400, "t: seconds after the recording's start, not '" + printable(t) + "'");
            return;
        }
        CardPath where;
        std::shared_ptr<const Playable> p;
        if (!playable(name, res, where, p)) return;
        // The page asks with the times it was given: half a millisecond absorbs their rounding.
        const int64_t us = static_cast<int64_t>(std::clamp(at, -1.0, 1e7) * 1e6) + 500;
        size_t number = 0;
        const VideoRecord* v = p->frame_at(cam == "front" ? 1 : 0, us, &number);
        if (v == nullptr) {
            refuse(res, 404, name + " has no frame of the " + cam + " camera");
            return;
        }
        res.set_header("X-Frame-Number", std::to_string(number));
        res.set_header("X-Frame-Time", std::to_string(seconds(p->at(v->time))));
        res.set_header("Cache-Control", "private, max-age=60");
        res.set_content(std::string(v->jpeg.begin(), v->jpeg.end()), "image/jpeg");
    }

    void audio(const std::string& name, httplib::Response& res) {
        CardPath where;
        std::shared_ptr<const Playable> p;
        if (!playable(name, res, where, p)) return;
        res.set_header("Cache-Control", "private, max-age=60");
        res.set_content_provider(static_cast<size_t>(p->wav.size()), "audio/wav",
                                 [p](size_t offset, size_t length, httplib::DataSink& sink) {
                                     std::vector<uint8_t> chunk(std::min(length, kWavChunk));
                                     p->wav.read(offset, chunk);
                                     return sink.write(reinterpret_cast<const char*>(chunk.data()),
                                                       chunk.size());
                                 });
    }

    void event(const std::string& number, httplib::Response& res) {
        uint32_t generation = 0;
        const auto [ptr, ec] =
            std::from_chars(number.data(), number.data() + number.size(), generation);
        if (number.empty() || ec != std::errc() || ptr != number.data() + number.size() ||
            generation == 0 || generation > 0xFFFF) {
            refuse(res, 400, "an event is a number 1..65535, not '" + printable(number) + "'");
            return;
        }
        const Listing l = card_.list();
        const auto e = std::find_if(l.events.begin(), l.events.end(),
                                    [&](const EventInfo& x) { return x.generation == generation; });
        if (e == l.events.end()) {
            refuse(res, 404, "no event " + number + " in the recording index");
            return;
        }
        json files = json::array();
        for (const ListedFile& f : l.files) {
            if (f.index && std::binary_search(e->files.begin(), e->files.end(), *f.index))
                files.push_back(f.name);  // in recording order
        }
        json moment = nullptr;
        if (e->type == kImpactType) {
            if (const auto m = impact_of(l, e->generation)) {
                const ListedFile* f = nullptr;
                for (const ListedFile& x : l.files) {
                    if (x.name == m->first) f = &x;
                }
                if (f != nullptr)
                    moment = {
                        {"file", m->first},
                        {"t", std::max(0.0, unix_seconds(m->second) - unix_seconds(f->start))}};
            }
        }
        send(res, {{"generation", e->generation},
                   {"type", e->type},
                   {"typeName", lock_type_name(e->type)},
                   {"files", files},
                   {"moment", moment}});
    }

    void snapshot(const std::string& name, httplib::Response& res) {
        const CardPath where = card_.resolve("snapshot", name);
        if (where.verdict != PathVerdict::Ok) {
            refuse(res, status_of(where.verdict), "snapshot/" + printable(name) + ": " + where.why);
            return;
        }
        if (where.path.extension() != ".jpg") {
            refuse(res, 400, "snapshot/" + printable(name) + ": not a snapshot");
            return;
        }
        std::error_code ec;
        const uint64_t size = fs::file_size(where.path, ec);
        if (ec || size > kMaxSnapshot) {
            refuse(res, 404, "snapshot/" + printable(name) + ": cannot be read");
            return;
        }
        std::string bytes(size, '\0');
        std::FILE* f = std::fopen(where.path.c_str(), "rb");
        const size_t got = f != nullptr ? std::fread(bytes.data(), 1, bytes.size(), f) : 0;
        if (f != nullptr) std::fclose(f);
        bytes.resize(got);
        res.set_header("Cache-Control", "private, max-age=60");
        res.set_content(std::move(bytes), "image/jpeg");
    }

  private:
    static constexpr uint8_t kImpactType = 1;

    static void send(httplib::Response& res, const json& body) {
        res.set_header("Cache-Control", "no-cache");
        send_as_is(res, std::make_shared<const std::string>(body.dump()), kJson);
    }

    // Resolves a recording's name (in data/); false after answering the refusal.
    bool recording(const std::string& name, httplib::Response& res, CardPath& where) {
        where = card_.resolve("data", name);
        if (where.verdict != PathVerdict::Ok) {
            refuse(res, status_of(where.verdict), "data/" + printable(name) + ": " + where.why);
            return false;
        }
        if (where.path.extension() != ".asd") {
            refuse(res, 400, "data/" + printable(name) + ": not a recording (.asd)");
            return false;
        }
        return true;
    }

    bool playable(const std::string& name, httplib::Response& res, CardPath& where,
                  std::shared_ptr<const Playable>& p) {
        if (!recording(name, res, where)) return false;
        std::string why;
        p = card_.playable(where, why);
        if (!p) {
            refuse(res, 422, "data/" + name + ": nothing to play: " + why);
            return false;
        }
        return true;
    }

    // The file and time of an impact event's strongest jolt among the files it locked.
    std::optional<std::pair<std::string, Time>> impact_of(const Listing& l, uint16_t generation) {
        std::optional<std::pair<std::string, Jolt>> best;
        for (const ListedFile& f : l.files) {
            if (!f.lock || f.lock->generation != generation) continue;
            const CardPath where = card_.resolve("data", f.name);
            if (where.verdict != PathVerdict::Ok) continue;
            const auto d = card_.details(where);
            if (d->jolt && (!best || d->jolt->step > best->second.step))
                best = {{f.name, *d->jolt}};
        }
        if (!best) return std::nullopt;
        return std::pair{best->first, best->second.time};
    }

    const Options& options_;
    Card& card_;
};

}  // namespace

std::string parse_options(std::span<char* const> args, Options& options) {
    bool haveCard = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--port" || arg == "--listen" || arg == "--tiles") {
            if (!hasValue) return std::string(arg) + " needs a value";
            const std::string value = args[++i];
            if (arg == "--port") {
                int port = -1;
                const auto [ptr, ec] =
                    std::from_chars(value.data(), value.data() + value.size(), port);
                if (ec != std::errc() || ptr != value.data() + value.size() || port < 0 ||
                    port > 65535)
                    return "--port: a port number 0..65535 (0: any free port), not '" + value + "'";
                options.port = port;
            } else if (arg == "--listen") {
                if (value.empty()) return "--listen: an address to listen on";
                options.listen = value;
            } else if (value == "none") {
                options.tiles.clear();
            } else {
                const bool web = value.rfind("http://", 0) == 0 || value.rfind("https://", 0) == 0;
                const bool plain = std::none_of(value.begin(), value.end(), [](char c) {
                    return c <= ' ' || c == '"' || c == '\'' || c == ';' || c == ',' || c >= 0x7F;
                });
                if (!web || !plain || value.find("{z}") == std::string::npos ||
                    value.find("{x}") == std::string::npos ||
                    value.find("{y}") == std::string::npos)
                    return "--tiles: an http(s) URL with {z}, {x} and {y}, or none";
                options.tiles = value;
            }
        } else if (!arg.empty() && arg.front() == '-') {
            return "unknown option " + std::string(arg);
        } else if (haveCard) {
            return "one card directory only";
        } else {
            options.card = std::string(arg);
            haveCard = true;
        }
    }
    if (!haveCard) return "which card? asdtool view CARD_DIR";
    std::error_code ec;
    if (!fs::is_directory(options.card, ec)) return options.card.string() + " is not a directory";
    return "";
}

bool is_loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

Server::Server(const Options& options, std::FILE* log)
    : options_(options),
      log_(log),
      card_(options.card),
      http_(std::make_unique<httplib::Server>()) {
    routes();
}

Server::~Server() = default;

void Server::routes() {
    auto api = std::make_shared<Api>(options_, card_);
    httplib::Server& http = *http_;
    const bool loopback = is_loopback(options_.listen);

    http.set_pre_routing_handler([loopback](const httplib::Request& req, httplib::Response& res) {
        if (req.method != "GET" && req.method != "HEAD") {
            refuse(res, 405, "read-only: GET and HEAD only");
            return httplib::Server::HandlerResponse::Handled;
        }
        // A page of another site that renamed itself to this address must not read the card.
        const std::string host = host_part(req.get_header_value("Host"));
        if (loopback && req.has_header("Host") && !is_loopback(host)) {
            refuse(res, 421, "this viewer answers for the loopback address only, not " + host);
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    std::string policy =
        "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' blob: data:";
    if (!options_.tiles.empty()) policy += " " + origin_of(options_.tiles);
    policy += "; media-src 'self'; connect-src 'self'; frame-ancestors 'none'";
    http.set_post_routing_handler([policy](const httplib::Request&, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Content-Security-Policy", policy);
    });
    http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.has_header(kRefusal)) {
            refuse(res, res.status,
                   res.status == 404 ? "no such page: " + printable(req.path) : "bad request");
        }
    });
    http.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        if (res.status < 400) return;
        const std::string why = res.get_header_value(kRefusal);
        std::fprintf(log_, "asdtool view: %d %s %s: %s\n", res.status,
                     printable(req.method).c_str(),
                     printable(req.target.empty() ? req.path : req.target).c_str(), why.c_str());
        std::fflush(log_);
    });

    http.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) {
        res.status = 204;  // none: browsers ask for it anyway
    });
    http.Get("/", [](const httplib::Request&, httplib::Response& res) {
        for (const Asset& a : assets()) {
            if (a.name == "index.html") send_asset(res, a);
        }
    });
    http.Get("/assets/(.*)", [](const httplib::Request& req, httplib::Response& res) {
        const std::string name = req.matches[1];
        for (const Asset& a : assets()) {
            if (a.name == name) {
                send_asset(res, a);
                return;
            }
        }
        refuse(res, 404, "no asset " + printable(name));
    });
    http.Get("/api/card",
             [api](const httplib::Request&, httplib::Response& res) { api->card(res); });
    http.Get("/api/recordings/(.*)/details",
             [api](const httplib::Request& req, httplib::Response& res) {
                 api->details(req.matches[1], res);
             });
    http.Get("/api/recordings/(.*)/timeline",
             [api](const httplib::Request& req, httplib::Response& res) {
                 api->timeline(req.matches[1], res);
             });
    http.Get("/api/recordings/(.*)/frame",
             [api](const httplib::Request& req, httplib::Response& res) {
                 api->frame(req.matches[1], req, res);
             });
    http.Get("/api/recordings/(.*)/audio\\.wav",
             [api](const httplib::Request& req, httplib::Response& res) {
                 api->audio(req.matches[1], res);
             });
    http.Get("/api/events/(.*)", [api](const httplib::Request& req, httplib::Response& res) {
        api->event(req.matches[1], res);
    });
    http.Get("/api/snapshots/(.*)", [api](const httplib::Request& req, httplib::Response& res) {
        api->snapshot(req.matches[1], res);
    });
}

int Server::bind(std::string& why) {
    int port = options_.port;
    if (port == 0) {
        port = http_->bind_to_any_port(options_.listen);
    } else if (!http_->bind_to_port(options_.listen.c_str(), port)) {
        port = -1;
    }
    if (port < 0) {
        why = "cannot listen on " + options_.listen + " port " + std::to_string(options_.port) +
              " (in use, or not an address of this machine): give another with --port or --listen";
    }
    return port;
}

bool Server::run() {
    return http_->listen_after_bind();
}

void Server::stop() {
    http_->stop();
}

int view_main(std::span<char* const> args) {
    Options options;
    if (const std::string why = parse_options(args, options); !why.empty()) {
        std::fprintf(stderr, "asdtool view: %s\n", why.c_str());
        std::fprintf(
            stderr,
            "usage: asdtool view CARD_DIR [--port N] [--listen ADDRESS] [--tiles URL|none]\n");
        return 2;
    }
    // SIGINT and SIGTERM end the server from a thread of their own; the server's threads inherit
    // the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Server server(options, stderr);
    std::string why;
    const int port = server.bind(why);
    if (port < 0) {
        std::fprintf(stderr, "asdtool view: %s\n", why.c_str());
        return 1;
    }
    const Listing l = server.card().list();
    const std::string host =
        options.listen.find(':') != std::string::npos ? "[" + options.listen + "]" : options.listen;
    std::printf("asdtool view: %s: %zu recordings, %zu events, %zu snapshots%s\n",
                options.card.c_str(), l.files.size(), l.events.size(), l.snapshots.size(),
                l.error.empty() ? "" : (" (" + l.error + ")").c_str());
    std::printf("asdtool view: open http://%s:%d/ in a browser; Ctrl-C stops\n",
                host == "0.0.0.0" ? "127.0.0.1" : host.c_str(), port);
    if (!is_loopback(options.listen)) {
        std::printf(
            "asdtool view: listening on %s: whoever reaches this machine on port %d can "
            "watch the card\n",
            options.listen.c_str(), port);
    }
    std::fflush(stdout);

    std::thread waiter([&server, &stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.stop();
    });
    const bool ok = server.run();
    pthread_kill(waiter.native_handle(), SIGTERM);  // wakes it when the server ended by itself
    waiter.join();
    return ok ? 0 : 1;
}

}  // namespace asd::view
