// A channel's alarm end to end, against the real servers from Debian started here on
// 127.0.0.1: the simulator's input swings over a limit and back; the recorder's file holds each
// alarm raised and cleared once, at the reading that did it; mosquitto keeps the limit's state
// retained; prometheus with the shipped rules scrapes `vantrel log --metrics` and the shipped
// Alertmanager configuration brings the alert to a webhook in this test, firing, then resolved.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "child_process.hpp"
#include "fd.hpp"
#include "http_client.hpp"
#include "sim/sim_thread.hpp"
#include "test_support.hpp"

using namespace std::chrono_literals;

namespace {
namespace alert_test {

using vantrel::testing::fileContents;
using vantrel::testing::within;

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

struct Server : vantrel::testing::ChildProcess {
    Server(const vantrel::testing::TempDir& dir, const std::string& name,
           std::vector<std::string> args)
        : ChildProcess(std::move(args), dir.file(name + ".out"), dir.file(name + ".err"),
                       {.endGently = true}) {}
};

// An HTTP listener that takes POSTs and keeps their bodies: Alertmanager's webhook receiver.
class Webhook {
  public:
    Webhook() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::listen(listener_.get(), 8) != 0 ||
            ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("webhook: cannot listen");
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Webhook() {
        stop_ = true;
        thread_.join();
    }
    std::vector<nlohmann::json> bodies() const {
        const std::lock_guard lock(mutex_);
        return bodies_;
    }
    uint16_t port = 0;

  private:
    void run() {
        while (!stop_) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (::poll(&p, 1, 100) != 1) continue;
            Fd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (client) serve(client.get());
        }
    }
    // One request a connection, read within a bound.
    void serve(int fd) {
        std::string in;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        std::size_t need = std::string::npos;
        while (std::chrono::steady_clock::now() < deadline && in.size() < (1u << 20)) {
            const std::size_t head = in.find("\r\n\r\n");
            if (head != std::string::npos && need == std::string::npos) {
                std::string lower = in.substr(0, head);
                for (char& c : lower) c = static_cast<char>(std::tolower(c));
                const std::size_t at = lower.find("content-length:");
                need = head + 4 + (at == std::string::npos ? 0 : std::stoul(lower.substr(at + 15)));
            }
            if (need != std::string::npos && in.size() >= need) break;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) != 1) continue;
            char buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return;
            in.append(buf, static_cast<std::size_t>(n));
        }
        if (need == std::string::npos || in.size() < need) return;
        const std::string body = in.substr(in.find("\r\n\r\n") + 4);
        {
            const std::lock_guard lock(mutex_);
            bodies_.push_back(nlohmann::json::parse(body, nullptr, false));
        }
        static constexpr char ok[] =
            "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        [[maybe_unused]] const ssize_t n = ::write(fd, ok, sizeof ok - 1);
    }

    Fd listener_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<nlohmann::json> bodies_;
    std::thread thread_;
};

// The status of the VantrelLimit alert in a notification, or "".
std::string limitAlert(const nlohmann::json& body) {
    if (!body.is_object() || !body.contains("alerts")) return "";
    for (const auto& a : body["alerts"])
        if (a["labels"].value("alertname", "") == "VantrelLimit" &&
            a["labels"].value("board", "") == "bench" && a["labels"].value("limit", "") == "high")
            return a.value("status", "");
    return "";
}

struct Row {
    double mono;
    std::string status;
    double value;
    std::string text;
};

std::vector<Row> csvRows(const std::string& path) {
    std::vector<Row> rows;
    std::istringstream in(fileContents(path));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream s(line);
        for (std::string x; std::getline(s, x, ',');) f.push_back(x);
        f.resize(11);
        rows.push_back({std::stod(f[1]), f[9], f[7].empty() ? NAN : std::stod(f[7]), f[10]});
    }
    return rows;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) throw std::runtime_error("not in the example: " + from);
    return text.replace(at, from.size(), to);
}

}  // namespace alert_test
}  // namespace

TEST(AlertServers, ALimitCrossedRaisesOnceReachesTheWebhookAndResolves) {
    vantrel::testing::TempDir dir;
    const std::string dist = std::string(VANTREL_SOURCE_DIR) + "/dist/";
    alert_test::Webhook hook;
    const uint16_t broker = vantrel::testing::freeLoopbackPort();
    const uint16_t metrics = vantrel::testing::freeLoopbackPort();
    const uint16_t prom = vantrel::testing::freeLoopbackPort();
    const uint16_t am = vantrel::testing::freeLoopbackPort();
    const uint16_t page = vantrel::testing::freeLoopbackPort();

    // The shipped Alertmanager example, its waits made short and its receiver this test's.
    std::string amConfig =
        vantrel::testing::fileContents(dist + "alertmanager-vantrel.example.yml");
    amConfig = alert_test::replaced(amConfig, "group_wait: 10s", "group_wait: 1s");
    amConfig = alert_test::replaced(amConfig, "group_interval: 1m", "group_interval: 1s");
    amConfig = alert_test::replaced(amConfig, "http://127.0.0.1:5001/vantrel",
                                    "http://127.0.0.1:" + std::to_string(hook.port) + "/vantrel");
    alert_test::writeFile(dir.file("alertmanager.yml"), amConfig);
    alert_test::Server alertmanager(
        dir, "alertmanager",
        {"prometheus-alertmanager", "--config.file=" + dir.file("alertmanager.yml"),
         "--storage.path=" + dir.file("am"), "--web.listen-address=127.0.0.1:" + std::to_string(am),
         "--cluster.listen-address="});
    alert_test::writeFile(
        dir.file("prometheus.yml"),
        "global:\n  scrape_interval: 500ms\n  evaluation_interval: 500ms\n"
        "rule_files: ['" +
            dist +
            "vantrel-alerts.rules.yml']\n"
            "alerting:\n  alertmanagers:\n    - static_configs:\n        - targets: ['127.0.0.1:" +
            std::to_string(am) +
            "']\nscrape_configs:\n  - job_name: vantrel\n    static_configs:\n"
            "      - targets: ['127.0.0.1:" +
            std::to_string(metrics) + "']\n");
    alert_test::Server prometheus(dir, "prometheus",
                                  {"prometheus", "--config.file=" + dir.file("prometheus.yml"),
                                   "--storage.tsdb.path=" + dir.file("tsdb"),
                                   "--web.listen-address=127.0.0.1:" + std::to_string(prom)});
    alert_test::writeFile(
        dir.file("mosquitto.conf"),
        "listener " + std::to_string(broker) + " 127.0.0.1\nallow_anonymous true\nuser root\n");
    alert_test::Server mosquitto(dir, "broker", {"mosquitto", "-c", dir.file("mosquitto.conf")});
    ASSERT_TRUE(vantrel::testing::within(20s,
                                         [&] {
                                             return vantrel::testing::listeningOnLoopback(broker) &&
                                                    vantrel::testing::listeningOnLoopback(am) &&
                                                    vantrel::testing::listeningOnLoopback(prom);
                                         }))
        << alertmanager.err() << prometheus.err();
    alert_test::Server sub(dir, "sub",
                           {"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker), "-F",
                            "%r %t %p", "-t", "lab/bench/supply/alarm/#"});

    // 0.5 .. 3.5 V, rising from 2 V at the start, over 3 V for about 3 s of every 12.
    vantrel::sim::SimThread sim;
    sim.call([](vantrel::sim::PtyBoard& b) {
        vantrel::sim::setInputFromWords(b.engine(), {"12", "0", "sine", "2000", "1500", "12s"});
    });
    const std::string csv = dir.file("x.csv");
    alert_test::writeFile(
        dir.file("run.toml"),
        "out = \"" + csv + "\"\n[publish]\nmetrics = \"127.0.0.1:" + std::to_string(metrics) +
            "\"\nhttp = \"127.0.0.1:" + std::to_string(page) +
            "\"\nmqtt = \"mqtt://127.0.0.1:" + std::to_string(broker) +
            "/lab\"\n[[board]]\nname = \"bench\"\ndevice = \"" + sim.device() +
            "\"\nperiod = 0.05\n  [[board.channel]]\n  name = \"supply\"\n  bits = 12\n"
            "  channel = 0\n  unit = \"V\"\n  calibration = { gain = 0.001 }\n"
            "  high = 3.0\n  hysteresis = 0.3\n  for = 0.5\n");
    alert_test::Server tool(dir, "tool", {VANTREL_CLI, "log", "--config", dir.file("run.toml")});

    const auto seen = [&](const std::string& status) {
        for (const auto& b : hook.bodies())
            if (alert_test::limitAlert(b) == status) return true;
        return false;
    };
    ASSERT_TRUE(vantrel::testing::within(40s, [&] { return seen("firing"); }))
        << tool.err() << prometheus.err() << alertmanager.err();
    ASSERT_TRUE(vantrel::testing::within(40s, [&] { return seen("resolved"); }))
        << alertmanager.err();
    // The live page's marks as the recorder stopped: the alarms so far, the limit's state.
    const auto data = nlohmann::json::parse(
        vantrel::publish::httpRequest({"127.0.0.1", page}, "GET", "/data", "", "", 5s).body);
    tool.signal(SIGINT);
    EXPECT_EQ(tool.wait(20s), 130) << tool.err();

    // Each alarm in the file follows the reading that raised or cleared it: raised at the first
    // reading 0.5 s or more into a run of readings over 3 V, cleared at the first at or below
    // 2.7 V after, and nothing in between however the value wavers.
    const std::vector<alert_test::Row> rows = alert_test::csvRows(csv);
    std::vector<std::string> expected, found;
    double since = NAN;  // the first reading of a run over 3 V
    bool raised = false;
    const alert_test::Row* last = nullptr;
    for (const alert_test::Row& r : rows) {
        if (r.status == "alarm") {
            ASSERT_NE(last, nullptr);
            EXPECT_EQ(r.mono, last->mono);
            EXPECT_EQ(r.value, last->value);
            found.push_back(r.text + " at " + std::to_string(r.mono));
            continue;
        }
        // A failed reading leaves the alarm as it is.
        if (r.status != "ok") continue;
        last = &r;
        if (raised && r.value <= 2.7) {
            raised = false;
            expected.push_back("high cleared 3 at " + std::to_string(r.mono));
        } else if (!raised && r.value > 3.0) {
            if (std::isnan(since)) since = r.mono;
            if (r.mono - since >= 0.5) {
                raised = true;
                since = NAN;
                expected.push_back("high raised 3 at " + std::to_string(r.mono));
            }
        } else if (!raised) {
            since = NAN;
        }
    }
    ASSERT_GE(found.size(), 2u);
    EXPECT_EQ(found, expected);

    const auto& channel = data["channels"].at(0);
    std::vector<std::string> marks;
    for (const auto& m : channel["marks"])
        if (m[1] == "alarm") marks.push_back(m[2]);
    ASSERT_GE(marks.size(), 2u);
    ASSERT_LE(marks.size(), found.size());
    for (std::size_t i = 0; i < marks.size(); ++i)
        EXPECT_EQ(found[i].substr(0, found[i].find(" at ")), marks[i]);
    EXPECT_EQ(channel["limits"].at(0)["raised"], marks.back().starts_with("high raised"));

    // The broker holds the last state retained, and the subscriber saw the run's first state
    // (clear) then each change in order.
    const std::string late = "mosquitto_sub -h 127.0.0.1 -p " + std::to_string(broker) +
                             " -C 1 -W 10 -t lab/bench/supply/alarm/high > " +
                             dir.file("late.out") + " 2>&1";
    ASSERT_EQ(std::system(late.c_str()), 0) << vantrel::testing::fileContents(dir.file("late.out"));
    const auto state = nlohmann::json::parse(vantrel::testing::fileContents(dir.file("late.out")));
    EXPECT_EQ(state["state"], found.back().starts_with("high raised") ? "raised" : "clear");
    EXPECT_EQ(state["limit"], 3);
    std::vector<std::string> states;
    std::istringstream lines(sub.out());
    for (std::string line; std::getline(lines, line);) {
        const std::size_t payload = line.find('{');
        ASSERT_NE(payload, std::string::npos) << line;
        states.push_back(nlohmann::json::parse(line.substr(payload))["state"]);
    }
    std::vector<std::string> want{"clear"};
    for (const std::string& f : found)
        want.push_back(f.starts_with("high raised") ? "raised" : "clear");
    EXPECT_EQ(states, want) << sub.out();
}
