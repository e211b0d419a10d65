// The recorder's published outputs against the real servers from Debian, each started here on
// 127.0.0.1: mosquitto (and mosquitto_sub), prometheus (and promtool), influxd, and headless
// chromium reading the live page over its DevTools pipe.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "child_process.hpp"
#include "fd.hpp"
#include "http_client.hpp"
#include "sim/sim_thread.hpp"
#include "sqlite_output.hpp"
#include "test_support.hpp"

extern char** environ;

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;
using vantrel::publish::Endpoint;
using vantrel::publish::httpRequest;
using vantrel::publish::urlEncode;

using vantrel::testing::listeningOnLoopback;

namespace {

using Scratch = vantrel::testing::TempDir;
using vantrel::testing::fileContents;

void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

using vantrel::testing::within;

// A program as a child process, its output added to files of the scratch folder; asked to end
// (TERM, then KILL after a bound) when it goes out of scope. `pipes` become its descriptors 3
// and 4.
struct Child : vantrel::testing::ChildProcess {
    Child(const Scratch& dir, const std::string& name, std::vector<std::string> args,
          std::pair<int, int> pipes = {-1, -1})
        : ChildProcess(std::move(args), dir.file(name + ".out"), dir.file(name + ".err"),
                       {.pipes = pipes, .append = true, .endGently = true}) {}
};

// A simulated board whose 12-bit channel 0 reads `raw`; the run file gives it 0.001 V a count.
struct Bench {
    vantrel::sim::SimThread sim;
    explicit Bench(double raw) { set(raw); }
    void set(double raw) {
        sim.call([raw](vantrel::sim::PtyBoard& b) { b.engine().setReading(12, 0, raw); });
    }
    std::string runFile(const Scratch& dir, const std::string& publish, double duration = 0,
                        const std::string& out = "x.csv") const {
        const std::string path = dir.file("run.toml");
        write(path, "out = \"" + dir.file(out) + "\"\nduration = " + std::to_string(duration) +
                        "\n[publish]\n" + publish + "\n[[board]]\nname = \"bench\"\ndevice = \"" +
                        sim.device() +
                        "\"\nperiod = 0.05\n  [[board.channel]]\n  name = \"supply\"\n"
                        "  bits = 12\n  channel = 0\n  unit = \"V\"\n"
                        "  calibration = { gain = 0.001 }\n");
        return path;
    }
};

// The fields of each record of a CSV text (header first) with at least the ten of a reading.
std::vector<std::vector<std::string>> csvRecords(const std::string& text) {
    std::vector<std::vector<std::string>> out;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream s(line);
        for (std::string x; std::getline(s, x, ',');) f.push_back(x);
        if (f.size() >= 10) out.push_back(std::move(f));
    }
    return out;
}

// The CSV's good records: mono in microseconds -> value.
std::map<int64_t, double> recorded(const std::string& csv) {
    std::map<int64_t, double> out;
    for (const auto& f : csvRecords(fileContents(csv)))
        if (f[9] == "ok") out[std::llround(std::stod(f[1]) * 1e6)] = std::stod(f[7]);
    return out;
}

// A real influxd on free loopback ports, its files in the scratch folder, answering /ping;
// `httpExtra` adds lines to its [http] section.
struct Influx {
    Influx(const Scratch& dir, const std::string& httpExtra = "")
        : http(vantrel::testing::freeLoopbackPort()),
          rpc(vantrel::testing::freeLoopbackPort()),
          at{"127.0.0.1", http} {
        configure(dir, httpExtra);
        start(dir);
    }
    // Again on the same ports and files, after stop().
    void start(const Scratch& dir) {
        server.emplace(dir, "influxd",
                       std::vector<std::string>{"influxd", "-config", dir.file("influxdb.conf")});
    }
    int stop() {
        server->signal(SIGTERM);
        const int status = server->wait(30s);
        server.reset();
        return status;
    }
    void configure(const Scratch& dir, const std::string& httpExtra) const {
        write(dir.file("influxdb.conf"),
              "reporting-disabled = true\nbind-address = \"127.0.0.1:" + std::to_string(rpc) +
                  "\"\n[meta]\n  dir = \"" + dir.file("meta") + "\"\n[data]\n  dir = \"" +
                  dir.file("data") + "\"\n  wal-dir = \"" + dir.file("wal") +
                  "\"\n  query-log-enabled = false\n[monitor]\n  store-enabled = false\n"
                  "[http]\n  bind-address = \"127.0.0.1:" +
                  std::to_string(http) + "\"\n  log-enabled = false\n" + httpExtra);
    }
    bool up() {
        return within(30s,
                      [&] { return httpRequest(at, "GET", "/ping", "", "", 2s).status == 204; });
    }
    uint16_t http;
    uint16_t rpc;
    Endpoint at;
    std::optional<Child> server;
};

std::string get(uint16_t port, const std::string& target) {
    const auto r = httpRequest(Endpoint{"127.0.0.1", port}, "GET", target, "", "", 5s);
    return r.status == 200 ? r.body : "";
}

// A mosquitto configuration on `port` that keeps its sessions in `dir` (a subscriber's
// lasting session outlives a restart); its path.
std::string persistentBroker(const Scratch& dir, uint16_t port) {
    const std::string conf = dir.file("mosquitto.conf");
    // Run as root, the broker would switch to its own user, which cannot save the sessions
    // into this private folder.
    write(conf, "listener " + std::to_string(port) +
                    " 127.0.0.1\nallow_anonymous true\npersistence true\npersistence_location " +
                    dir.path.string() + "/\nlog_dest stderr\nlog_type all\nuser root\n");
    return conf;
}

}  // namespace

// mosquitto_sub sees each reading with its unit; the broker stopped and started again mid-run
// costs no reading (they wait in the queue), and the status topic says online, online again,
// then offline at the end and as the last will of a recorder killed outright.
TEST(PublishServers, MqttKeepsEveryReadingAcrossABrokerRestart) {
    Scratch dir;
    Bench bench(1000);
    const uint16_t port = vantrel::testing::freeLoopbackPort();
    const std::string conf = persistentBroker(dir, port);
    auto broker =
        std::make_unique<Child>(dir, "broker", std::vector<std::string>{"mosquitto", "-c", conf});
    ASSERT_TRUE(within(10s, [&] { return listeningOnLoopback(port); })) << broker->err();
    // A lasting session, so that what comes while it reconnects waits for it at the broker.
    Child sub(dir, "sub",
              {"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1", "-c",
               "-i", "vantrel-test-sub", "-v", "-t", "lab/#", "-t", "homeassistant/#"});
    ASSERT_TRUE(within(
        10s, [&] { return broker->err().find("as vantrel-test-sub") != std::string::npos; }));

    const std::string run = bench.runFile(
        dir, "mqtt = \"mqtt://127.0.0.1:" + std::to_string(port) + "/lab\"\nmqtt_discovery = true");
    Child tool(dir, "tool", {VANTREL_CLI, "log", "--config", run});
    const auto subLines = [&] { return sub.out(); };
    ASSERT_TRUE(within(15s,
                       [&] {
                           const std::string s = subLines();
                           return s.find("lab/status online") != std::string::npos &&
                                  s.find("lab/bench/supply {") != std::string::npos;
                       }))
        << sub.out() << tool.err();
    const std::string first = subLines();
    EXPECT_NE(first.find("\"value\":1,\"unit\":\"V\""), std::string::npos) << first;
    EXPECT_NE(first.find("homeassistant/sensor/vantrel_lab_bench_supply/config {"),
              std::string::npos);

    broker->signal(SIGTERM);
    EXPECT_EQ(broker->wait(10s), 0);
    ASSERT_TRUE(within(15s, [&] {
        return tool.err().find("mqtt: broker 127.0.0.1") != std::string::npos;
    })) << tool.err();
    // Readings of another value while the broker is away.
    bench.set(2000);
    const std::string csv = dir.file("x.csv");
    ASSERT_TRUE(within(15s, [&] {
        int away = 0;
        for (const auto& [mono, v] : recorded(csv)) away += v == 2;
        return away >= 10;
    }));
    broker =
        std::make_unique<Child>(dir, "broker", std::vector<std::string>{"mosquitto", "-c", conf});
    ASSERT_TRUE(within(20s, [&] {
        return tool.err().find("connected to 127.0.0.1") != std::string::npos;
    })) << tool.err();
    // Enough readings for the comparison below, however quickly the broker came back.
    ASSERT_TRUE(within(15s, [&] { return recorded(csv).size() > 20; }));
    tool.signal(SIGINT);
    EXPECT_EQ(tool.wait(20s), 130) << tool.err();
    EXPECT_EQ(tool.err().find("dropped"), std::string::npos) << tool.err();

    // Every reading the file has, the subscriber has: same time on the run's clock, same value.
    const auto inFile = recorded(csv);
    ASSERT_GT(inFile.size(), 20u);
    std::map<int64_t, double> got;
    std::vector<std::string> statuses;
    ASSERT_TRUE(within(20s,
                       [&] {
                           got.clear();
                           statuses.clear();
                           std::istringstream in(subLines());
                           for (std::string line; std::getline(in, line);) {
                               if (line.rfind("lab/status ", 0) == 0)
                                   statuses.push_back(line.substr(11));
                               if (line.rfind("lab/bench/supply ", 0) != 0) continue;
                               const json j = json::parse(line.substr(17));
                               if (j["status"] == "ok")
                                   got[std::llround(j["mono"].get<double>() * 1e6)] = j["value"];
                           }
                           return got.size() >= inFile.size() && !statuses.empty() &&
                                  statuses.back() == "offline";
                       }))
        << got.size() << " of " << inFile.size() << "\n"
        << tool.err() << "\n"
        << fileContents(csv).substr(0, 3000) << subLines() << "BROKER\n"
        << broker->err();
    for (const auto& [mono, value] : inFile) {
        const auto it = got.find(mono);
        ASSERT_NE(it, got.end()) << "reading at " << mono << " not received";
        EXPECT_EQ(it->second, value) << mono;
    }
    // Online at the start; offline (the broker, stopping, gives the recorder's will) and
    // online again after the restart, offline at the end (a retained one may come twice).
    statuses.erase(std::unique(statuses.begin(), statuses.end()), statuses.end());
    EXPECT_EQ(statuses, (std::vector<std::string>{"online", "offline", "online", "offline"}));

    // Killed outright, the recorder leaves its last will.
    Child killed(dir, "tool2", {VANTREL_CLI, "log", "--config", run});
    ASSERT_TRUE(within(15s, [&] {
        const std::string s = subLines();
        return std::count(s.begin() + static_cast<std::ptrdiff_t>(first.size()), s.end(), '\n') >
                   0 &&
               s.rfind("lab/status online") > s.rfind("lab/status offline");
    }));
    killed.signal(SIGKILL);
    EXPECT_EQ(killed.wait(10s), -SIGKILL);
    EXPECT_TRUE(within(15s, [&] {
        const std::string s = subLines();
        return s.rfind("lab/status offline") > s.rfind("lab/status online");
    })) << subLines();
}

// A broker that is not there yet when the recorder starts is tried again until it is: every
// reading recorded meanwhile reaches a subscriber once it comes up.
TEST(PublishServers, MqttBrokerAwayAtTheStartIsTriedAgain) {
    Scratch dir;
    Bench bench(1250);
    const uint16_t port = vantrel::testing::freeLoopbackPort();
    const std::string conf = persistentBroker(dir, port);
    // A lasting session at the broker first (kept while it is down), so that nothing the
    // recorder sends later goes past the subscriber.
    auto broker =
        std::make_unique<Child>(dir, "broker", std::vector<std::string>{"mosquitto", "-c", conf});
    ASSERT_TRUE(within(10s, [&] { return listeningOnLoopback(port); })) << broker->err();
    Child sub(dir, "sub",
              {"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1", "-c",
               "-i", "vantrel-test-late", "-v", "-t", "lab/bench/#"});
    ASSERT_TRUE(within(
        10s, [&] { return broker->err().find("as vantrel-test-late") != std::string::npos; }));
    broker->signal(SIGTERM);
    EXPECT_EQ(broker->wait(10s), 0);

    const std::string run =
        bench.runFile(dir, "mqtt = \"mqtt://127.0.0.1:" + std::to_string(port) + "/lab\"");
    Child tool(dir, "tool", {VANTREL_CLI, "log", "--config", run});
    ASSERT_TRUE(within(15s, [&] { return tool.err().find("not reached") != std::string::npos; }))
        << tool.err();
    const std::string csv = dir.file("x.csv");
    ASSERT_TRUE(within(15s, [&] { return recorded(csv).size() >= 10; }));
    broker =
        std::make_unique<Child>(dir, "broker", std::vector<std::string>{"mosquitto", "-c", conf});
    ASSERT_TRUE(
        within(30s, [&] { return sub.out().find("lab/bench/supply {") != std::string::npos; }))
        << tool.err() << broker->err();
    tool.signal(SIGINT);
    EXPECT_EQ(tool.wait(20s), 130) << tool.err();
    EXPECT_EQ(tool.err().find("not sent"), std::string::npos) << tool.err();
    const auto inFile = recorded(csv);
    std::set<int64_t> got;
    ASSERT_TRUE(within(20s,
                       [&] {
                           got.clear();
                           std::istringstream in(sub.out());
                           for (std::string line; std::getline(in, line);) {
                               if (line.rfind("lab/bench/supply ", 0) != 0) continue;
                               const json j = json::parse(line.substr(17));
                               if (j["status"] == "ok")
                                   got.insert(std::llround(j["mono"].get<double>() * 1e6));
                           }
                           return got.size() >= inFile.size();
                       }))
        << got.size() << " of " << inFile.size() << "\n"
        << tool.err();
    for (const auto& [mono, value] : inFile) EXPECT_TRUE(got.count(mono)) << mono;
}

// A program run to its end; whether it ended well.
bool ran(const Scratch& dir, const std::string& name, std::vector<std::string> args) {
    Child c(dir, name, std::move(args));
    return c.wait(60s) == 0;
}

// A broker that takes only a user with its password, over TLS with a certificate of a CA made
// here: the recorder reaches it with the credentials file alone, and says why it does not
// with a wrong password or a file others may read.
TEST(PublishServers, MqttWithAPasswordOverTls) {
    Scratch dir;
    Bench bench(1500);
    const uint16_t port = vantrel::testing::freeLoopbackPort();
    const auto f = [&](const char* name) { return dir.file(name); };
    write(f("ext.cnf"), "subjectAltName=IP:127.0.0.1\n");
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt",
                                         "ec_paramgen_curve:prime256v1", "-nodes"};
    auto req = [&](std::vector<std::string> head, std::vector<std::string> tail) {
        head.insert(head.end(), ec.begin(), ec.end());
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    ASSERT_TRUE(
        ran(dir, "ca",
            req({"openssl", "req", "-x509"}, {"-keyout", f("ca.key"), "-out", f("ca.pem"), "-days",
                                              "2", "-subj", "/CN=vantrel test CA"})));
    ASSERT_TRUE(ran(dir, "csr",
                    req({"openssl", "req"}, {"-keyout", f("server.key"), "-out", f("server.csr"),
                                             "-subj", "/CN=127.0.0.1"})));
    ASSERT_TRUE(ran(dir, "sign",
                    {"openssl", "x509", "-req", "-in", f("server.csr"), "-CA", f("ca.pem"),
                     "-CAkey", f("ca.key"), "-CAcreateserial", "-out", f("server.pem"), "-days",
                     "2", "-extfile", f("ext.cnf")}));
    ASSERT_TRUE(ran(dir, "passwd", {"mosquitto_passwd", "-c", "-b", f("pw"), "lab", "s3cret"}));
    write(f("mosquitto.conf"),
          "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous false\npassword_file " +
              f("pw") + "\ncafile " + f("ca.pem") + "\ncertfile " + f("server.pem") + "\nkeyfile " +
              f("server.key") + "\nlog_dest stderr\nlog_type all\nuser root\n");
    Child broker(dir, "broker", {"mosquitto", "-c", f("mosquitto.conf")});
    ASSERT_TRUE(within(10s, [&] { return listeningOnLoopback(port); })) << broker.err();
    Child sub(dir, "sub",
              {"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "--cafile",
               f("ca.pem"), "-u", "lab", "-P", "s3cret", "-q", "1", "-v", "-t", "lab/#"});
    ASSERT_TRUE(within(10s, [&] { return broker.err().find("u'lab'") != std::string::npos; }))
        << broker.err() << sub.err();

    const auto credentials = [&](const std::string& password, mode_t mode) {
        const std::string path = f("credentials.toml");
        std::filesystem::remove(path);
        write(path, "[mqtt]\nuser = \"lab\"\npassword = \"" + password + "\"\nca_file = \"" +
                        f("ca.pem") + "\"\n");
        ::chmod(path.c_str(), mode);
        return path;
    };
    const std::string run =
        bench.runFile(dir, "mqtt = \"mqtt://127.0.0.1:" + std::to_string(port) +
                               "/lab\"\ncredentials = \"" + f("credentials.toml") + "\"");
    {
        credentials("s3cret", 0644);
        Child tool(dir, "loose", {VANTREL_CLI, "log", "--config", run});
        EXPECT_NE(tool.wait(20s), 0);
        EXPECT_NE(tool.err().find("group or others may reach it (mode 644)"), std::string::npos)
            << tool.err();
    }
    {
        credentials("wrong", 0600);
        Child tool(dir, "wrong", {VANTREL_CLI, "log", "--config", run});
        EXPECT_TRUE(within(20s, [&] {
            return tool.err().find("mqtt: broker 127.0.0.1:" + std::to_string(port) + " refused") !=
                   std::string::npos;
        })) << tool.err();
        tool.signal(SIGINT);
        EXPECT_EQ(tool.wait(20s), 130) << tool.err();
        EXPECT_EQ(sub.out().find("lab/bench/supply {"), std::string::npos) << sub.out();
    }
    credentials("s3cret", 0600);
    Child tool(dir, "tool", {VANTREL_CLI, "log", "--config", run});
    ASSERT_TRUE(
        within(20s, [&] { return sub.out().find("lab/bench/supply {") != std::string::npos; }))
        << sub.out() << tool.err() << broker.err();
    EXPECT_NE(sub.out().find("\"value\":1.5,\"unit\":\"V\""), std::string::npos) << sub.out();
    bench.set(2500);
    EXPECT_TRUE(within(20s, [&] {
        return sub.out().find("\"value\":2.5,\"unit\":\"V\"") != std::string::npos;
    })) << sub.out();
    tool.signal(SIGINT);
    EXPECT_EQ(tool.wait(20s), 130) << tool.err();
    EXPECT_EQ(tool.err().find("s3cret"), std::string::npos) << tool.err();
}

// A real prometheus scrapes --metrics and answers a query with the channel's value; promtool
// finds nothing wrong with the exposition.
TEST(PublishServers, PrometheusScrapesTheChannelsValue) {
    Scratch dir;
    Bench bench(1500);
    const uint16_t metrics = vantrel::testing::freeLoopbackPort();
    const uint16_t prom = vantrel::testing::freeLoopbackPort();
    const std::string run =
        bench.runFile(dir, "metrics = \"127.0.0.1:" + std::to_string(metrics) + "\"");
    Child tool(dir, "tool", {VANTREL_CLI, "log", "--config", run});
    ASSERT_TRUE(within(10s, [&] {
        return get(metrics, "/metrics").find("vantrel_value{") != std::string::npos;
    })) << tool.err();

    const std::string text = get(metrics, "/metrics");
    write(dir.file("metrics.txt"), text);
    const std::string check = "promtool check metrics < " + dir.file("metrics.txt") + " > " +
                              dir.file("promtool.out") + " 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0) << fileContents(dir.file("promtool.out")) << text;

    write(dir.file("prometheus.yml"),
          "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: vantrel\n"
          "    static_configs:\n      - targets: ['127.0.0.1:" +
              std::to_string(metrics) + "']\n");
    Child server(dir, "prometheus",
                 {"prometheus", "--config.file=" + dir.file("prometheus.yml"),
                  "--storage.tsdb.path=" + dir.file("tsdb"),
                  "--web.listen-address=127.0.0.1:" + std::to_string(prom)});
    const std::string query =
        "/api/v1/query?query=" +
        urlEncode("vantrel_value{board=\"bench\",name=\"supply\",unit=\"V\"}");
    json answer;
    ASSERT_TRUE(within(45s, [&] {
        const std::string body = get(prom, query);
        if (body.empty()) return false;
        answer = json::parse(body);
        return !answer["data"]["result"].empty();
    })) << server.err();
    EXPECT_EQ(answer["status"], "success");
    EXPECT_EQ(answer["data"]["result"][0]["value"][1], "1.5");
    EXPECT_EQ(answer["data"]["result"][0]["metric"]["bits"], "12");
}

// InfluxDB 1.x gets the readings (the database is made on first use) and gives back those of a
// time range.
TEST(PublishServers, InfluxHoldsTheReadingsByTimeRange) {
    Scratch dir;
    Bench bench(2500);
    Influx influxd(dir);
    const uint16_t http = influxd.http;
    const Endpoint at = influxd.at;
    Child& server = *influxd.server;
    ASSERT_TRUE(influxd.up()) << server.err();

    const std::string run =
        bench.runFile(dir, "influx = \"http://127.0.0.1:" + std::to_string(http) + "/lab\"", 1.5);
    Child tool(dir, "tool", {VANTREL_CLI, "log", "--config", run});
    ASSERT_EQ(tool.wait(30s), 0) << tool.err();
    EXPECT_NE(tool.err().find("influx: "), std::string::npos);

    // The file's times, to the millisecond, in order.
    std::vector<std::string> times;
    {
        std::istringstream in(fileContents(dir.file("x.csv")));
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) times.push_back(line.substr(0, line.find(',')));
    }
    ASSERT_GE(times.size(), 20u);
    const auto count = [&](const std::string& where) {
        const std::string q =
            "SELECT count(value), mean(value) FROM vantrel WHERE board = 'bench' AND " + where;
        const auto r = httpRequest(at, "GET", "/query?db=lab&q=" + urlEncode(q), "", "", 5s);
        const json j = json::parse(r.body);
        const auto& series = j["results"][0]["series"];
        return series.is_null()
                   ? std::pair<int, double>{0, 0}
                   : std::pair<int, double>{series[0]["values"][0][1], series[0]["values"][0][2]};
    };
    const auto all = count("time >= '" + times.front() + "' AND time <= now()");
    EXPECT_EQ(all.first, static_cast<int>(times.size()));
    EXPECT_DOUBLE_EQ(all.second, 2.5);
    // Readings 5 to 14: from the 5th one's millisecond to before the 15th one's.
    const auto part = count("time >= '" + times[4] + "' AND time < '" + times[14] + "'");
    EXPECT_EQ(part.first, 10);
}

// InfluxDB with auth-enabled: without credentials every batch is refused (and said); with the
// credentials file's user and password it holds every reading of the file.
TEST(PublishServers, InfluxWithAUserAndPassword) {
    Scratch dir;
    Bench bench(1750);
    Influx influxd(dir, "  auth-enabled = true\n");
    const uint16_t http = influxd.http;
    const Endpoint at = influxd.at;
    Child& server = *influxd.server;
    ASSERT_TRUE(influxd.up()) << server.err();
    // The first user may be made without one.
    ASSERT_EQ(httpRequest(at, "POST", "/query",
                          "q=" + urlEncode("CREATE USER lab WITH PASSWORD 's3cret' WITH ALL "
                                           "PRIVILEGES"),
                          "application/x-www-form-urlencoded", 5s)
                  .status,
              200);
    const std::string influx = "influx = \"http://127.0.0.1:" + std::to_string(http) + "/lab\"\n";
    {
        Child tool(dir, "anonymous",
                   {VANTREL_CLI, "log", "--config", bench.runFile(dir, influx, 1)});
        ASSERT_EQ(tool.wait(30s), 0) << tool.err();
        EXPECT_NE(tool.err().find("HTTP 401"), std::string::npos) << tool.err();
    }
    write(dir.file("credentials.toml"), "[influx]\nuser = \"lab\"\npassword = \"s3cret\"\n");
    ::chmod(dir.file("credentials.toml").c_str(), 0600);
    std::filesystem::remove(dir.file("x.csv"));
    const std::string run =
        bench.runFile(dir, influx + "credentials = \"" + dir.file("credentials.toml") + "\"", 1.5);
    Child tool(dir, "tool", {VANTREL_CLI, "log", "--config", run});
    ASSERT_EQ(tool.wait(30s), 0) << tool.err();
    EXPECT_EQ(tool.err().find("HTTP 401"), std::string::npos) << tool.err();
    const std::size_t inFile = recorded(dir.file("x.csv")).size();
    ASSERT_GE(inFile, 10u);
    const std::string q = "SELECT count(value), mean(value) FROM vantrel WHERE board = 'bench'";
    const auto r =
        httpRequest(at, "GET", "/query?db=lab&u=lab&p=s3cret&q=" + urlEncode(q), "", "", 5s);
    ASSERT_EQ(r.status, 200) << r.body;
    const json j = json::parse(r.body);
    EXPECT_EQ(j["results"][0]["series"][0]["values"][0][1].get<std::size_t>(), inFile) << r.body;
    EXPECT_DOUBLE_EQ(j["results"][0]["series"][0]["values"][0][2].get<double>(), 1.75);
}

namespace {

// Headless chromium driven over its DevTools pipe (descriptors 3 and 4, messages ended by NUL).
class Browser {
  public:
    explicit Browser(const Scratch& dir) {
        int toBrowser[2], fromBrowser[2];
        if (::pipe2(toBrowser, O_CLOEXEC) != 0 || ::pipe2(fromBrowser, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        // Out of the way of 3 and 4, which the child's own copies take.
        const auto high = [](int fd) {
            const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
            ::close(fd);
            return moved;
        };
        vantrel::Fd theirIn(high(toBrowser[0])), theirOut(high(fromBrowser[1]));
        in_.reset(high(fromBrowser[0]));
        out_.reset(high(toBrowser[1]));
        child_ = std::make_unique<Child>(
            dir, "chromium",
            std::vector<std::string>{"chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
                                     "--remote-debugging-pipe", "--no-first-run",
                                     "--user-data-dir=" + dir.file("profile"),
                                     "--window-size=1200,800", "about:blank"},
            std::pair{theirIn.get(), theirOut.get()});
    }
    ~Browser() {
        try {
            call("Browser.close", json::object());
        } catch (const std::exception&) {
        }
        child_->wait(10s);
    }
    json call(const std::string& method, json params, const std::string& session = "") {
        json m = {{"id", ++id_}, {"method", method}, {"params", std::move(params)}};
        if (!session.empty()) m["sessionId"] = session;
        const std::string text = m.dump() + '\0';
        if (::write(out_.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("DevTools pipe closed");
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            for (auto end = buffer_.find('\0'); end != std::string::npos;
                 end = buffer_.find('\0')) {
                const json reply = json::parse(buffer_.substr(0, end));
                buffer_.erase(0, end + 1);
                if (reply.value("id", 0) != id_) continue;
                if (reply.contains("error")) throw std::runtime_error(reply["error"].dump());
                return reply["result"];
            }
            pollfd p{in_.get(), POLLIN, 0};
            if (::poll(&p, 1, 500) == 1) {
                char buf[65536];
                const ssize_t n = ::read(in_.get(), buf, sizeof buf);
                if (n <= 0) throw std::runtime_error("DevTools pipe closed");
                buffer_.append(buf, static_cast<std::size_t>(n));
            }
        }
        throw std::runtime_error(method + ": no answer");
    }

  private:
    vantrel::Fd in_, out_;
    std::unique_ptr<Child> child_;
    std::string buffer_;
    int id_ = 0;
};

}  // namespace

// Chromium loads the live page; the shown value and the plotted series follow the board's
// value as it changes. The screenshot stays in the build's tests folder.
TEST(PublishServers, LivePageFollowsTheBoard) {
    Scratch dir;
    Bench bench(1000);
    const uint16_t port = vantrel::testing::freeLoopbackPort();
    const std::string run =
        bench.runFile(dir, "http = \"" + std::to_string(port) + "\"\nhttp_minutes = 1");
    Child tool(dir, "tool", {VANTREL_CLI, "log", "--config", run});
    ASSERT_TRUE(within(10s, [&] { return listeningOnLoopback(port); })) << tool.err();

    Browser browser(dir);
    const json target = browser.call("Target.createTarget",
                                     {{"url", "http://127.0.0.1:" + std::to_string(port) + "/"}});
    const std::string session =
        browser.call("Target.attachToTarget",
                     {{"targetId", target["targetId"]}, {"flatten", true}})["sessionId"];
    // [shown value, unit, points plotted, last point plotted, the board's state]
    const auto page = [&] {
        const json r = browser.call(
            "Runtime.evaluate",
            {{"expression",
              "(() => { const c = document.querySelector('#channel-0'); if (!c) return null;"
              " const k = c.querySelector('canvas').dataset;"
              " const s = document.querySelector('#boards tbody td:nth-child(2)');"
              " return [c.querySelector('.value').textContent, "
              "c.querySelector('.unit').textContent,"
              " Number(k.points || 0), k.last || '', s ? s.textContent : '']; })()"},
             {"returnByValue", true}},
            session);
        return r["result"].value("value", json());
    };
    json shown;
    ASSERT_TRUE(within(30s, [&] {
        shown = page();
        return shown.is_array() && shown[0] == "1" && shown[3] == "1" && shown[4] == "recording";
    })) << shown.dump();
    EXPECT_EQ(shown[1], "V");
    const int before = shown[2];

    bench.set(2500);
    ASSERT_TRUE(within(30s, [&] {
        shown = page();
        return shown[0] == "2.5" && shown[3] == "2.5";
    })) << shown.dump();
    EXPECT_GT(shown[2].get<int>(), before);

    const json shot = browser.call("Page.captureScreenshot", {{"format", "png"}}, session);
    const std::string data = shot["data"];
    ASSERT_GT(data.size(), 1000u);
    // The artefact, in the build's tests folder (coreutils decodes it).
    write(dir.file("shot.b64"), data);
    const std::string decode = "base64 -d " + dir.file("shot.b64") + " > publish-live-page.png";
    ASSERT_EQ(std::system(decode.c_str()), 0);
    EXPECT_EQ(fileContents("publish-live-page.png").substr(1, 3), "PNG");
}

namespace {

// A week of a bench, a reading a minute of two channels, written as the recorder writes them and
// ending a minute ago: the board away for three hours on the third day, and two notes.
struct RecordedWeek {
    static constexpr int64_t kMinute = 60'000;
    int64_t end = 0, start = 0, gap = 0;
    std::vector<std::pair<int64_t, std::string>> notes;

    static double supply(int64_t t) {
        return 2 + 1.5 * std::sin(2 * M_PI * static_cast<double>(t % 86'400'000) / 86'400'000);
    }
    static double temp(int64_t t) {
        return 21 + 3 * std::sin(2 * M_PI * static_cast<double>(t % 21'600'000) / 21'600'000);
    }
    bool away(int64_t t) const { return t >= gap && t < gap + 3 * 3'600'000; }

    explicit RecordedWeek(const std::string& path) {
        using vantrel::acquire::Record;
        using vantrel::acquire::Status;
        const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        end = now - now % kMinute - kMinute;
        start = end - 7 * 86'400'000;
        gap = start + 2 * 86'400'000 + 10 * 3'600'000;
        notes = {{start + 86'400'000 + 9 * 3'600'000, "sample B in"},
                 {start + 4 * 86'400'000 + 15 * 3'600'000, "pump serviced"}};
        const auto at = [](int64_t ms, const char* name, const char* unit) {
            Record r;
            r.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
            r.board = "bench";
            r.bits = 12;
            r.name = name;
            r.unit = unit;
            return r;
        };
        vantrel::acquire::SqliteOutput out(path);
        std::vector<Record> batch;
        for (int64_t t = start; t <= end; t += kMinute) {
            for (const auto& [when, text] : notes)
                if (when == t) {
                    Record n = at(t, "", "");
                    n.board.clear();
                    n.status = Status::Note;
                    n.text = text;
                    batch.push_back(n);
                }
            if (t == gap)
                for (const char* name : {"supply", "temp"}) {
                    Record g = at(t, name, "");
                    g.status = Status::Gap;
                    g.text = "unplugged";
                    batch.push_back(g);
                }
            if (away(t)) continue;
            Record v = at(t, "supply", "V");
            v.value = supply(t);
            v.raw = std::round(*v.value * 1000);
            batch.push_back(v);
            Record c = at(t, "temp", "°C");
            c.value = temp(t);
            batch.push_back(c);
        }
        out.write(batch);
        out.close();
    }
};

// The page in a browser tab; evaluate() gives an expression's value.
struct Tab {
    Browser& browser;
    std::string session;
    Tab(Browser& b, uint16_t port) : browser(b) {
        const json target = browser.call(
            "Target.createTarget", {{"url", "http://127.0.0.1:" + std::to_string(port) + "/"}});
        session = browser.call("Target.attachToTarget",
                               {{"targetId", target["targetId"]}, {"flatten", true}})["sessionId"];
    }
    json evaluate(const std::string& expression) {
        const json r = browser.call(
            "Runtime.evaluate",
            {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}}, session);
        return r["result"].value("value", json());
    }
    // The whole page, its channels' plots below the history too.
    void screenshot(const Scratch& dir, const std::string& name) {
        browser.call(
            "Emulation.setDeviceMetricsOverride",
            {{"width", 1200}, {"height", 1100}, {"deviceScaleFactor", 1}, {"mobile", false}},
            session);
        const json shot = browser.call("Page.captureScreenshot", {{"format", "png"}}, session);
        write(dir.file("shot.b64"), shot["data"].get<std::string>());
        const std::string decode = "base64 -d " + dir.file("shot.b64") + " > " + name;
        ASSERT_EQ(std::system(decode.c_str()), 0);
        EXPECT_EQ(fileContents(name).substr(1, 3), "PNG");
    }
};

}  // namespace

// A week written into the recording before the recorder starts, read by the page through the
// recorder: both channels on one plot with their units, the gap and the notes marked, the
// converter's limits drawn; zoomed into minutes, the readings as written; a CSV of what is
// shown; a note from the page's field lands in the file; and the gap of a board that was away
// before the page opened is drawn on its plot. The screenshots stay in the build's tests folder.
TEST(PublishServers, LivePageShowsTheRecordingsHistory) {
    Scratch dir;
    Bench bench(1500);
    const std::string db = dir.file("lab.sqlite");
    const RecordedWeek week(db);
    const uint16_t port = vantrel::testing::freeLoopbackPort();
    const std::string run = dir.file("run.toml");
    write(run, "out = \"" + db + "\"\n[publish]\nhttp = \"" + std::to_string(port) +
                   "\"\n[[board]]\nname = \"bench\"\ndevice = \"" + bench.sim.device() +
                   "\"\nperiod = 0.2\n  [[board.channel]]\n  name = \"supply\"\n  bits = 12\n"
                   "  channel = 0\n  unit = \"V\"\n  calibration = { gain = 0.001 }\n"
                   "[[board]]\nname = \"spare\"\ndevice = \"" +
                   dir.file("absent") +
                   "\"\n  [[board.channel]]\n  name = \"aux\"\n  bits = 10\n  channel = 1\n");
    Child tool(dir, "tool", {VANTREL_CLI, "log", "--config", run});
    ASSERT_TRUE(within(10s, [&] { return listeningOnLoopback(port); })) << tool.err();
    // The spare board's gap is there before the page opens.
    ASSERT_TRUE(within(10s, [&] {
        return get(port, "/data").find("\"status\":\"gap\"") != std::string::npos;
    })) << tool.err();

    Browser browser(dir);
    Tab tab(browser, port);
    json shown;
    ASSERT_TRUE(within(30s, [&] {
        shown = tab.evaluate(
            "document.body.dataset.ready === '1' ? document.querySelector('#channel-1 "
            "canvas').dataset.marks : null");
        return shown == "1";
    })) << shown.dump();

    // The week, from the hours.
    tab.evaluate(
        "(() => { const s = document.getElementById('range'); s.selectedIndex = 4;"
        " s.dispatchEvent(new Event('change')); })()");
    const std::string plotState =
        "(() => { const k = document.getElementById('history-plot').dataset;"
        " return [document.body.dataset.history, Number(k.series), k.axes, Number(k.points),"
        " Number(k.marks), Number(k.limits)]; })()";
    ASSERT_TRUE(within(20s, [&] {
        shown = tab.evaluate(plotState);
        return shown.is_array() && shown[0] == "hour" && shown[3].get<int>() > 0;
    })) << shown.dump();
    EXPECT_EQ(shown[1], 2);
    EXPECT_EQ(shown[2], "V,°C");
    EXPECT_GE(shown[3].get<int>(), 2 * 7 * 24 - 2 * 3);
    EXPECT_EQ(shown[4], 3);  // the gap and the two notes
    EXPECT_EQ(shown[5], 2);  // the supply's converter, low and high
    tab.screenshot(dir, "publish-history-week.png");

    // Ten minutes of the week: the readings, each as written.
    const int64_t from = week.start + 3 * 86'400'000 + 7 * 3'600'000;
    tab.evaluate("setRange(" + std::to_string(from) + ", " + std::to_string(from + 600'000) + ")");
    ASSERT_TRUE(within(20s, [&] {
        shown = tab.evaluate(
            "document.body.dataset.history === 'readings' ? plot.data.datasets.filter((d) => "
            "!d.band).map((d) => [d.label, d.data.filter((p) => p.y !== null).map((p) => "
            "[p.x, p.y])]) : null");
        return shown.is_array();
    })) << shown.dump();
    ASSERT_EQ(shown.size(), 2u) << shown.dump();
    EXPECT_EQ(shown[0][0], "bench / supply (V)");
    ASSERT_EQ(shown[0][1].size(), 10u) << shown.dump();
    for (const json& p : shown[0][1])
        EXPECT_DOUBLE_EQ(p[1].get<double>(), RecordedWeek::supply(p[0].get<int64_t>()));
    for (const json& p : shown[1][1])
        EXPECT_DOUBLE_EQ(p[1].get<double>(), RecordedWeek::temp(p[0].get<int64_t>()));
    tab.screenshot(dir, "publish-history-minutes.png");

    // What is shown, as CSV: the two channels' readings in order.
    const json csv = tab.evaluate(
        "(() => { document.getElementById('download').click(); return document.body.dataset.csv;"
        " })()");
    std::vector<std::string> rows;
    std::istringstream in(csv.get<std::string>());
    for (std::string line; std::getline(in, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), 21u) << csv.dump();
    EXPECT_EQ(rows[0], "time,board,name,unit,value");
    const auto iso = [](int64_t ms) {
        return vantrel::acquire::isoTime(
            std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)));
    };
    EXPECT_EQ(rows[1], iso(from) + ",bench,supply,V," +
                           vantrel::acquire::numberText(RecordedWeek::supply(from)));

    // A note from the page's field, back through the recorder's history.
    tab.evaluate(
        "(async () => { document.getElementById('note-text').value = 'valve 3 open';"
        " await addNote(); })()");
    ASSERT_TRUE(within(20s, [&] {
        return get(port, "/history?from=" + std::to_string(week.end)).find("valve 3 open") !=
               std::string::npos;
    }));
    tool.signal(SIGTERM);
    EXPECT_EQ(tool.wait(20s), 128 + SIGTERM) << tool.err();
}

// A listener on another interface than loopback needs --allow-remote; a broken address or an
// unknown key of the run file starts nothing.
TEST(PublishServers, AddressesAreCheckedBeforeAnythingStarts) {
    Scratch dir;
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const std::string toml = dir.file("bad.toml");
    write(toml,
          "[publish]\nhttp = \"8080\"\nwebsocket = true\n[[board]]\ndevice = \"/dev/null\"\n"
          "  [[board.channel]]\n  bits = 10\n  channel = 3\n");
    for (const Case& c :
         {Case{{"--http", "0.0.0.0:8080"}, "--http: 0.0.0.0 is not the loopback interface"},
          Case{{"--metrics", "[::]:9100"}, "--allow-remote"},
          Case{{"--mqtt", "mqtt://h/a/#"}, "--mqtt: \"mqtt://h/a/#\": the prefix must not hold"},
          Case{{"--influx", "http://127.0.0.1:8086"}, "--influx: "},
          Case{{"--mqtt-discovery"}, "--mqtt-discovery: needs --mqtt"}}) {
        std::vector<std::string> args = {VANTREL_CLI, "log",  "--device", "/dev/null",
                                         "--channel", "10:3", "--out",    dir.file("x.csv")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Child tool(dir, "tool", args);
        EXPECT_EQ(tool.wait(10s), 2) << c.args[0];
        EXPECT_NE(tool.err().find(c.says), std::string::npos) << tool.err();
        EXPECT_FALSE(fs::exists(dir.file("x.csv")));
    }
    Child tool(dir, "file", {VANTREL_CLI, "log", "--config", toml});
    EXPECT_EQ(tool.wait(10s), 2);
    EXPECT_NE(tool.err().find("bad.toml:3:1: publish.websocket: unknown key"), std::string::npos)
        << tool.err();
}

// The recorder inside `vantrel serve --config` publishes from the same [publish] table.
TEST(PublishServers, ServeRecordingPublishesToo) {
    Scratch dir;
    Bench bench(3000);
    const uint16_t metrics = vantrel::testing::freeLoopbackPort();
    const std::string run = bench.runFile(dir, "metrics = \"" + std::to_string(metrics) + "\"");
    Child daemon(dir, "serve", {VANTREL_CLI, "serve", "--config", run, "--socket", dir.file("s")});
    const std::string sample =
        "vantrel_value{board=\"bench\",channel=\"0\",bits=\"12\",name=\"supply\",unit=\"V\"} 3\n";
    EXPECT_TRUE(within(15s, [&] {
        return get(metrics, "/metrics").find(sample) != std::string::npos;
    })) << daemon.err();
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(15s), 128 + SIGTERM);
    EXPECT_NE(daemon.err().find("vantrel: serve: log: metrics: "), std::string::npos)
        << daemon.err();
}

namespace {

// "2026-12-08T06:33:46.123Z" as milliseconds since the epoch.
int64_t msOf(const std::string& iso) {
    tm p{};
    int millis = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &p.tm_year, &p.tm_mon, &p.tm_mday,
                    &p.tm_hour, &p.tm_min, &p.tm_sec, &millis) != 7)
        return -1;
    p.tm_year -= 1900;
    p.tm_mon -= 1;
    return static_cast<int64_t>(::timegm(&p)) * 1000 + millis;
}

struct Row {
    int64_t ms;
    std::string status;
    double value;
};

// The records of a CSV text (header first), in the file's order.
std::vector<Row> rowsOf(const std::string& csv) {
    std::vector<Row> out;
    for (const auto& f : csvRecords(csv))
        out.push_back({msOf(f[0]), f[9], f[9] == "ok" ? std::stod(f[7]) : 0});
    return out;
}

// The good readings of an SQLite recording, read while a recorder may be writing it.
std::vector<Row> okRows(const std::string& database) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    try {
        vantrel::acquire::exportRecords(database, "", "", vantrel::acquire::ExportFormat::Csv, out);
    } catch (const std::exception&) {
        // Not made yet: no rows.
    }
    std::fclose(out);
    const std::string csv(text, size);
    std::free(text);
    std::vector<Row> rows = rowsOf(csv);
    std::erase_if(rows, [](const Row& r) { return r.status != "ok"; });
    return rows;
}

// InfluxDB's points of the bench board: time in ms -> the field `field` (as text).
std::map<int64_t, std::string> influxPoints(const Endpoint& at, const std::string& field) {
    const std::string q = "SELECT " + field + " FROM vantrel WHERE board = 'bench'";
    const auto r = httpRequest(at, "GET", "/query?db=lab&epoch=ms&q=" + urlEncode(q), "", "", 5s);
    std::map<int64_t, std::string> out;
    if (r.status != 200) return out;
    const json j = json::parse(r.body, nullptr, false);
    if (j.is_discarded() || !j["results"][0].contains("series")) return out;
    for (const auto& v : j["results"][0]["series"][0]["values"])
        if (!v[1].is_null()) out[v[0].get<int64_t>()] = v[1].dump();
    return out;
}

std::size_t countValue(const std::vector<Row>& rows, double value) {
    return static_cast<std::size_t>(
        std::count_if(rows.begin(), rows.end(), [&](const Row& r) { return r.value == value; }));
}

}  // namespace

// InfluxDB away for longer than the output's queue holds, and the recorder killed outright and
// started again meanwhile: once the server is back it holds every reading of the recording, each
// once, with its value and time; those of both outages came from the file.
TEST(PublishServers, InfluxGetsTheBacklogFromTheRecording) {
    Scratch dir;
    Bench bench(1000);
    Influx influxd(dir);
    ASSERT_TRUE(influxd.up()) << influxd.server->err();
    const std::string db = dir.file("x.sqlite");
    const std::string run = bench.runFile(
        dir, "influx = \"http://127.0.0.1:" + std::to_string(influxd.http) + "/lab\"\nqueue = 50",
        0, "x.sqlite");
    const auto start = [&](const char* name) {
        return std::make_unique<Child>(
            dir, name, std::vector<std::string>{VANTREL_CLI, "log", "--config", run});
    };
    auto tool = start("tool");
    ASSERT_TRUE(within(20s, [&] { return !influxPoints(influxd.at, "value").empty(); }))
        << tool->err();
    ASSERT_EQ(influxd.stop(), 0);
    // Each run records three times what the queue holds (at 20 readings a second, more than a
    // second's worth, so that the queue holds what comes between batches) while the server is
    // away, at its own value.
    const auto recordAway = [&](double raw) {
        bench.set(raw);
        return within(30s, [&] { return countValue(okRows(db), raw / 1000) >= 150; });
    };
    ASSERT_TRUE(recordAway(2000));
    tool->signal(SIGKILL);
    EXPECT_EQ(tool->wait(10s), -SIGKILL);
    tool = start("tool2");
    ASSERT_TRUE(recordAway(3000));
    bench.set(4000);
    influxd.start(dir);
    ASSERT_TRUE(influxd.up()) << influxd.server->err();
    // Caught up: the readings taken since are there too.
    ASSERT_TRUE(within(40s, [&] {
        std::size_t now = 0;
        for (const auto& [ms, v] : influxPoints(influxd.at, "value")) now += v == "4";
        return now >= 10;
    })) << tool->err();
    tool->signal(SIGINT);
    EXPECT_EQ(tool->wait(20s), 130) << tool->err();
    EXPECT_EQ(tool->err().find("could not be sent"), std::string::npos) << tool->err();

    const std::vector<Row> rows = okRows(db);
    const auto points = influxPoints(influxd.at, "value");
    EXPECT_EQ(points.size(), rows.size());
    for (const Row& r : rows) {
        const auto it = points.find(r.ms);
        ASSERT_NE(it, points.end()) << "the reading at " << r.ms << " is not in InfluxDB";
        EXPECT_EQ(std::stod(it->second), r.value) << r.ms;
    }
    EXPECT_GE(countValue(rows, 2), 150u);
    EXPECT_GE(countValue(rows, 3), 150u);
}

// An MQTT broker away for longer than the queue holds: a subscriber with a lasting session gets
// every reading of the recording, in order, each with the time it was taken.
TEST(PublishServers, MqttGetsTheBacklogFromTheRecordingInOrder) {
    Scratch dir;
    Bench bench(1000);
    const uint16_t port = vantrel::testing::freeLoopbackPort();
    const std::string conf = persistentBroker(dir, port);
    const auto startBroker = [&] {
        return std::make_unique<Child>(dir, "broker",
                                       std::vector<std::string>{"mosquitto", "-c", conf});
    };
    auto broker = startBroker();
    ASSERT_TRUE(within(10s, [&] { return listeningOnLoopback(port); })) << broker->err();
    Child sub(dir, "sub",
              {"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1", "-c",
               "-i", "vantrel-backlog-sub", "-v", "-t", "lab/bench/#"});
    ASSERT_TRUE(within(
        10s, [&] { return broker->err().find("as vantrel-backlog-sub") != std::string::npos; }));
    const std::string db = dir.file("x.sqlite");
    Child tool(dir, "tool",
               {VANTREL_CLI, "log", "--config",
                bench.runFile(
                    dir, "mqtt = \"mqtt://127.0.0.1:" + std::to_string(port) + "/lab\"\nqueue = 50",
                    0, "x.sqlite")});
    // The subscriber's readings in the order they came: time in ms, value.
    const auto received = [&] {
        std::vector<std::pair<int64_t, double>> out;
        std::istringstream in(sub.out());
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("lab/bench/supply {", 0) != 0) continue;
            const json j = json::parse(line.substr(17));
            if (j["status"] == "ok") out.emplace_back(msOf(j["time"]), j["value"].get<double>());
        }
        return out;
    };
    ASSERT_TRUE(within(20s, [&] { return !received().empty(); })) << tool.err();
    broker->signal(SIGTERM);
    ASSERT_EQ(broker->wait(10s), 0);
    bench.set(2000);
    ASSERT_TRUE(within(30s, [&] { return countValue(okRows(db), 2) >= 150; }));
    bench.set(3000);
    broker = startBroker();
    ASSERT_TRUE(within(20s, [&] {
        return tool.err().find("connected to 127.0.0.1") != std::string::npos;
    })) << tool.err();
    ASSERT_TRUE(within(40s, [&] {
        const auto got = received();
        return std::count_if(got.begin(), got.end(), [](const auto& g) { return g.second == 3; }) >=
               10;
    })) << tool.err();
    tool.signal(SIGINT);
    EXPECT_EQ(tool.wait(20s), 130) << tool.err();

    const std::vector<Row> rows = okRows(db);
    ASSERT_TRUE(within(20s, [&] { return received().size() >= rows.size(); }))
        << received().size() << " of " << rows.size() << "\n"
        << tool.err();
    // QoS 1 lets a message the broker took but had not acknowledged when it stopped come again:
    // only those (of the value before the outage) may, never one of the backlog or after.
    std::vector<std::pair<int64_t, double>> got;
    std::set<int64_t> seen;
    for (const auto& g : received()) {
        if (seen.insert(g.first).second)
            got.push_back(g);
        else
            EXPECT_EQ(g.second, 1) << "more than once: the reading at " << g.first;
    }
    ASSERT_EQ(got.size(), rows.size()) << tool.err();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(got[i].first, rows[i].ms) << i;
        EXPECT_EQ(got[i].second, rows[i].value) << i;
    }
    EXPECT_GE(countValue(rows, 2), 150u);
}

// A CSV recording cannot give back what the queue could not hold: the output says once how many
// and from when to when, and those are exactly the records InfluxDB lacks.
TEST(PublishServers, InfluxSaysWhatACsvRecordingCouldNotSend) {
    Scratch dir;
    Bench bench(1000);
    Influx influxd(dir);
    ASSERT_TRUE(influxd.up()) << influxd.server->err();
    const std::string csv = dir.file("x.csv");
    Child tool(dir, "tool",
               {VANTREL_CLI, "log", "--config",
                bench.runFile(dir, "influx = \"http://127.0.0.1:" + std::to_string(influxd.http) +
                                       "/lab\"\nqueue = 50")});
    ASSERT_TRUE(within(20s, [&] { return !influxPoints(influxd.at, "status").empty(); }))
        << tool.err();
    ASSERT_EQ(influxd.stop(), 0);
    bench.set(2000);
    ASSERT_TRUE(within(30s, [&] { return countValue(rowsOf(fileContents(csv)), 2) >= 150; }));
    bench.set(3000);
    influxd.start(dir);
    ASSERT_TRUE(influxd.up()) << influxd.server->err();
    ASSERT_TRUE(within(30s, [&] {
        return tool.err().find("could not be sent") != std::string::npos;
    })) << tool.err();
    tool.signal(SIGINT);
    EXPECT_EQ(tool.wait(20s), 130) << tool.err();

    const std::string err = tool.err();
    const std::regex said(
        "influx: 127\\.0\\.0\\.1:[0-9]+: ([0-9]+) records from after (\\S+) to "
        "before (\\S+) could not be sent: the queue was full");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(err, m, said)) << err;
    EXPECT_EQ(err.find("could not be sent", static_cast<std::size_t>(m.position(0) + m.length(0))),
              std::string::npos)
        << "said more than once: " << err;
    const auto points = influxPoints(influxd.at, "status");
    std::vector<int64_t> missing;
    for (const Row& r : rowsOf(fileContents(csv)))
        if (!points.contains(r.ms)) missing.push_back(r.ms);
    EXPECT_EQ(std::to_string(missing.size()), m[1].str()) << err;
    ASSERT_GE(missing.size(), 100u);
    EXPECT_LT(msOf(m[2]), missing.front());
    EXPECT_GT(msOf(m[3]), missing.back());
}
