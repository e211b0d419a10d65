// The published outputs' figures (docs/performance.md): readings a second handed to each output
// by boards paced on deadlines, how long a board spends handing one over, whether any deadline
// was missed, and what the output got out (to the real broker or database, started here on
// 127.0.0.1, or to a client of the page and the metrics).
//
//   publish_bench OUTPUT [SECONDS] [RATE] [BOARDS]
//     OUTPUT: none (the boards alone, for the machine's own misses), mqtt (mosquitto), metrics
//     (scraped ten times a second), http (one page's event stream), influx (influxd); RATE readings
//     a second in all (default 10000) from BOARDS threads (default 4), for SECONDS (default 10).
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fd.hpp"
#include "http_client.hpp"
#include "influx_output.hpp"
#include "mqtt_output.hpp"
#include "served_output.hpp"

extern char** environ;

using namespace vantrel::publish;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

// No output: what the machine's own scheduling costs the same boards.
class NoOutput : public Publisher {
  public:
    void offer(const vantrel::acquire::Record&) noexcept override { ++taken_; }
    void stop() override {}
    const char* kind() const override { return "none"; }
    uint64_t sent() const override { return taken_.load(); }
    uint64_t dropped() const override { return 0; }

  private:
    std::atomic<uint64_t> taken_{0};
};

uint16_t freePort() {
    vantrel::Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), len);
    ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A server as a child process, its output to /dev/null; ended with SIGTERM.
struct Server {
    pid_t pid = -1;
    explicit Server(std::vector<std::string> args) {
        posix_spawn_file_actions_t a;
        posix_spawn_file_actions_init(&a);
        posix_spawn_file_actions_addopen(&a, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&a, 2, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv;
        for (std::string& s : args) argv.push_back(s.data());
        argv.push_back(nullptr);
        if (::posix_spawnp(&pid, argv[0], &a, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error(args[0] + " cannot start");
        posix_spawn_file_actions_destroy(&a);
    }
    ~Server() {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
};

bool waitUntil(std::chrono::seconds limit, const std::function<bool()>& done) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

vantrel::acquire::LogConfig configOf(int boards) {
    vantrel::acquire::LogConfig c;
    for (int b = 0; b < boards; ++b) {
        vantrel::acquire::BoardConfig bc;
        bc.name = "board" + std::to_string(b);
        bc.device = "/dev/null";
        for (int ch = 0; ch < 4; ++ch) {
            vantrel::acquire::ChannelConfig cc;
            cc.bits = 12;
            cc.channel = ch;
            cc.name = "ch" + std::to_string(ch);
            cc.unit = "V";
            bc.channels.push_back(cc);
        }
        c.boards.push_back(bc);
    }
    return c;
}

struct Pace {
    uint64_t offered = 0;
    uint64_t missed = 0;         // rounds whose hand-over ended after the next deadline
    uint64_t byOffer = 0;        // of those, rounds whose hand-over alone took longer than a period
    std::vector<double> costUs;  // time inside offer()
};

// One board: reading k is due at t0 + k x period; it is handed over at its deadline.
Pace board(Publisher& out, int index, Clock::time_point t0, Clock::time_point end,
           Clock::duration period) {
    Pace p;
    vantrel::acquire::Record r;
    r.board = "board" + std::to_string(index);
    r.bits = 12;
    r.unit = "V";
    for (uint64_t k = 0;; ++k) {
        const auto due = t0 + k * period;
        if (due >= end) break;
        std::this_thread::sleep_until(due);
        r.channel = static_cast<int>(k % 4);
        r.name = "ch" + std::to_string(r.channel);
        r.time = std::chrono::system_clock::now();
        r.mono = std::chrono::duration<double>(Clock::now() - t0).count();
        r.raw = static_cast<double>(k % 4096);
        r.value = *r.raw * 0.001;
        const auto before = Clock::now();
        out.offer(r);
        const auto after = Clock::now();
        p.costUs.push_back(std::chrono::duration<double, std::micro>(after - before).count());
        if (after >= due + period) ++p.missed;
        if (after - before >= period) ++p.byOffer;
        ++p.offered;
    }
    return p;
}

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(
            stderr,
            "usage: publish_bench none|mqtt|metrics|http|influx [SECONDS] [RATE] [BOARDS]\n");
        return 2;
    }
    const std::string kind = argv[1];
    const double seconds = argc > 2 ? std::stod(argv[2]) : 10;
    const double rate = argc > 3 ? std::stod(argv[3]) : 10000;
    const int boards = argc > 4 ? std::stoi(argv[4]) : 4;
    const auto config = configOf(boards);
    std::string dir = (fs::temp_directory_path() / "vantrel-publish-bench-XXXXXX").string();
    if (!::mkdtemp(dir.data())) return 1;
    std::vector<std::string> messages;
    const auto say = [&messages](const std::string& m) { messages.push_back(m); };

    std::unique_ptr<Server> server;
    std::unique_ptr<Publisher> out;
    std::atomic<bool> stopClient{false};
    std::atomic<uint64_t> clientRequests{0}, clientBytes{0};
    std::thread client;
    const uint16_t port = freePort();
    if (kind == "none") {
        out = std::make_unique<NoOutput>();
    } else if (kind == "mqtt") {
        const std::string conf = dir + "/mosquitto.conf";
        std::ofstream(conf) << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
        server = std::make_unique<Server>(std::vector<std::string>{"mosquitto", "-c", conf});
        std::this_thread::sleep_for(300ms);
        auto m = std::make_unique<MqttOutput>(
            parseMqtt("mqtt://127.0.0.1:" + std::to_string(port) + "/bench"), config, false, say);
        if (!waitUntil(10s, [&] { return m->connected(); })) return 1;
        out = std::move(m);
    } else if (kind == "influx") {
        const uint16_t rpc = freePort();
        const std::string conf = dir + "/influxdb.conf";
        std::ofstream(conf)
            << "reporting-disabled = true\nbind-address = \"127.0.0.1:" << rpc
            << "\"\n[meta]\n  dir = \"" << dir << "/meta\"\n[data]\n  dir = \"" << dir
            << "/data\"\n  wal-dir = \"" << dir << "/wal\"\n  query-log-enabled = false\n"
            << "[monitor]\n  store-enabled = false\n[http]\n  bind-address = \"127.0.0.1:" << port
            << "\"\n  log-enabled = false\n";
        server = std::make_unique<Server>(std::vector<std::string>{"influxd", "-config", conf});
        if (!waitUntil(30s, [&] {
                return httpRequest({"127.0.0.1", port}, "GET", "/ping", "", "", 1s).status == 204;
            }))
            return 1;
        out = std::make_unique<InfluxOutput>(
            parseInflux("http://127.0.0.1:" + std::to_string(port) + "/bench"), say);
    } else if (kind == "metrics" || kind == "http") {
        const bool page = kind == "http";
        out = std::make_unique<ServedOutput>(
            page ? ServedOutput::Kind::Page : ServedOutput::Kind::Metrics,
            Endpoint{"127.0.0.1", port}, config, BoardsFn{});
        client = std::thread([&, page] {
            if (!page) {
                // A scraper ten times a second, as a busy Prometheus would be.
                while (!stopClient) {
                    const auto r = httpRequest({"127.0.0.1", port}, "GET", "/metrics", "", "", 5s);
                    ++clientRequests;
                    clientBytes += r.body.size();
                    std::this_thread::sleep_for(100ms);
                }
                return;
            }
            // One page: its event stream, read as it comes.
            vantrel::Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
            const std::string req = "GET /events HTTP/1.1\r\nHost: x\r\n\r\n";
            ::send(s.get(), req.data(), req.size(), 0);
            ++clientRequests;
            timeval tv{0, 200000};
            ::setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            char buf[65536];
            while (!stopClient) {
                const ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
                if (n > 0) clientBytes += static_cast<uint64_t>(n);
                if (n == 0) break;
            }
        });
    } else {
        std::fprintf(stderr, "publish_bench: unknown output %s\n", kind.c_str());
        return 2;
    }

    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(boards / rate));
    const auto t0 = Clock::now() + 50ms;
    const auto end =
        t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<Pace> paces(static_cast<std::size_t>(boards));
    std::vector<std::thread> threads;
    for (int b = 0; b < boards; ++b)
        threads.emplace_back(
            [&, b] { paces[static_cast<std::size_t>(b)] = board(*out, b, t0, end, period); });
    for (auto& t : threads) t.join();
    Pace all;
    for (const Pace& p : paces) {
        all.offered += p.offered;
        all.missed += p.missed;
        all.byOffer += p.byOffer;
        all.costUs.insert(all.costUs.end(), p.costUs.begin(), p.costUs.end());
    }
    // Until the output has dealt with every reading (sent or dropped), 60 s at most.
    waitUntil(60s, [&] { return out->sent() + out->dropped() >= all.offered; });
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    stopClient = true;
    if (client.joinable()) client.join();
    const uint64_t sent = out->sent(), dropped = out->dropped();
    out->stop();

    std::printf("output %s: %d boards, %.0f readings/s offered for %.1f s\n", kind.c_str(), boards,
                rate, seconds);
    std::printf(
        "  offered %llu, published %llu (%.0f/s until the last was out, %.1f s), dropped %llu\n",
        static_cast<unsigned long long>(all.offered), static_cast<unsigned long long>(sent),
        static_cast<double>(sent) / took, took, static_cast<unsigned long long>(dropped));
    std::printf("  hand-over on the board's thread: median %.2f us, p99 %.2f us, max %.1f us\n",
                percentile(all.costUs, 0.5), percentile(all.costUs, 0.99),
                percentile(all.costUs, 1.0));
    std::printf("  deadlines missed: %llu of %llu (%llu by the hand-over itself)\n",
                static_cast<unsigned long long>(all.missed),
                static_cast<unsigned long long>(all.offered),
                static_cast<unsigned long long>(all.byOffer));
    if (clientRequests > 0)
        std::printf("  client: %llu requests, %.1f MB taken\n",
                    static_cast<unsigned long long>(clientRequests.load()), clientBytes / 1e6);
    for (const std::string& m : messages) std::printf("  said: %s\n", m.c_str());
    fs::remove_all(dir);
    return 0;
}
