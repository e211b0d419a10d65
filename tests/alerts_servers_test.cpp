// A channel's alarm end to end, against the real servers from Debian started here on
// 127.0.0.1: the simulator's input swings over a limit and back; the file holds each alarm
// raised and cleared once, at the reading that did it; the live page marks them; mosquitto
// keeps the limit's state retained; prometheus with the shipped rules scrapes `vantrel log
// --metrics`, and the shipped Alertmanager example brings the alert to a webhook, firing, then
// resolved.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "child_process.hpp"
#include "http_client.hpp"
#include "sim/sim_thread.hpp"

using namespace std::chrono_literals;

namespace {
namespace alert_test {

using vantrel::testing::TempDir;

struct Server : vantrel::testing::ChildProcess {
    Server(const TempDir& dir, const std::string& name, std::vector<std::string> args)
        : ChildProcess(std::move(args), dir.file(name + ".out"), dir.file(name + ".err"),
                       {.endGently = true}) {}
};

// Alertmanager's webhook receiver: each POST's body a line of the file.
constexpr const char* kWebhook = R"(import http.server, sys
class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        with open(sys.argv[2], "ab") as f:
            f.write(body.strip() + b"\n")
        self.send_response(200)
        self.end_headers()
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Hook).serve_forever()
)";

// The statuses of the VantrelLimit alert of bench/supply in the notifications so far.
std::vector<std::string> limitAlerts(const std::string& file) {
    std::vector<std::string> out;
    std::istringstream in(vantrel::testing::fileContents(file));
    for (std::string line; std::getline(in, line);) {
        const nlohmann::json body = nlohmann::json::parse(line);
        for (const auto& a : body["alerts"])
            if (a["labels"]["alertname"] == "VantrelLimit" && a["labels"]["name"] == "supply")
                out.push_back(a["status"]);
    }
    return out;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) throw std::runtime_error("not in the example: " + from);
    return text.replace(at, from.size(), to);
}

}  // namespace alert_test
}  // namespace

TEST(AlertServers, ALimitCrossedRaisesOnceReachesTheWebhookAndResolves) {
    using alert_test::Server;
    using vantrel::testing::fileContents;
    using vantrel::testing::within;
    alert_test::TempDir dir;
    const auto port = [] { return std::to_string(vantrel::testing::freeLoopbackPort()); };
    const auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir.file(name)) << text;
        return dir.file(name);
    };
    const std::string dist = std::string(VANTREL_SOURCE_DIR) + "/dist/";
    const std::string hook = port(), broker = port(), metrics = port(), prom = port(), am = port(),
                      page = port();
    Server webhook(dir, "webhook",
                   {"python3", write("hook.py", alert_test::kWebhook), hook, dir.file("hook")});
    // The shipped example, its waits made short and its receiver this test's.
    std::string amConfig = fileContents(dist + "alertmanager-vantrel.example.yml");
    amConfig = alert_test::replaced(amConfig, "group_wait: 10s", "group_wait: 1s");
    amConfig = alert_test::replaced(amConfig, "group_interval: 1m", "group_interval: 1s");
    amConfig = alert_test::replaced(amConfig, ":5001/", ":" + hook + "/");
    Server alertmanager(dir, "alertmanager",
                        {"prometheus-alertmanager", "--config.file=" + write("am.yml", amConfig),
                         "--storage.path=" + dir.file("am"), "--web.listen-address=127.0.0.1:" + am,
                         "--cluster.listen-address="});
    const std::string promConfig =
        "global: {scrape_interval: 500ms, evaluation_interval: 500ms}\nrule_files: ['" + dist +
        "vantrel-alerts.rules.yml']\nalerting:\n  alertmanagers: [{static_configs: [{targets: "
        "['127.0.0.1:" +
        am +
        "']}]}]\nscrape_configs:\n  - job_name: vantrel\n"
        "    static_configs: [{targets: ['127.0.0.1:" +
        metrics + "']}]\n";
    Server prometheus(
        dir, "prometheus",
        {"prometheus", "--config.file=" + write("prom.yml", promConfig),
         "--storage.tsdb.path=" + dir.file("tsdb"), "--web.listen-address=127.0.0.1:" + prom});
    Server mosquitto(
        dir, "broker",
        {"mosquitto", "-c",
         write("mosquitto.conf",
               "listener " + broker + " 127.0.0.1\nallow_anonymous true\nuser root\n")});
    ASSERT_TRUE(within(
        20s,
        [&] {
            for (const std::string& p : {hook, broker, am, prom})
                if (!vantrel::testing::listeningOnLoopback(static_cast<uint16_t>(std::stoi(p))))
                    return false;
            return true;
        }))
        << alertmanager.err() << prometheus.err();
    Server sub(dir, "sub",
               {"mosquitto_sub", "-p", broker, "-t", "lab/bench/supply/alarm/#", "-F", "%p"});

    // 0.5 .. 3.5 V, rising from 2 V at the start, over 3 V for about 3 s of every 12.
    vantrel::sim::SimThread sim;
    sim.call([](vantrel::sim::PtyBoard& b) {
        vantrel::sim::setInputFromWords(b.engine(), {"12", "0", "sine", "2000", "1500", "12s"});
    });
    const std::string csv = dir.file("x.csv");
    Server tool(dir, "tool",
                {VANTREL_CLI, "log", "--config",
                 write("run.toml",
                       "out = '" + csv + "'\n[publish]\nmetrics = '127.0.0.1:" + metrics +
                           "'\nhttp = '127.0.0.1:" + page + "'\nmqtt = 'mqtt://127.0.0.1:" +
                           broker + "/lab'\n[[board]]\nname = 'bench'\ndevice = '" + sim.device() +
                           "'\nperiod = 0.05\n[[board.channel]]\nname = 'supply'\n"
                           "bits = 12\nchannel = 0\ncalibration = { gain = 0.001 }\n"
                           "high = 3.0\nhysteresis = 0.3\nfor = 0.5\n")});
    const auto seen = [&](const char* status) {
        const auto all = alert_test::limitAlerts(dir.file("hook"));
        return std::find(all.begin(), all.end(), status) != all.end();
    };
    ASSERT_TRUE(within(40s, [&] { return seen("firing"); }))
        << fileContents(dir.file("hook")) << webhook.err() << alertmanager.err();
    ASSERT_TRUE(within(40s, [&] { return seen("resolved"); })) << alertmanager.err();
    const auto data = nlohmann::json::parse(
        vantrel::publish::httpRequest({"127.0.0.1", static_cast<uint16_t>(std::stoi(page))}, "GET",
                                      "/data", "", "", 5s)
            .body)["channels"][0];
    tool.signal(SIGINT);
    EXPECT_EQ(tool.wait(20s), 130) << tool.err();

    // Raised at the first reading 0.5 s or more into a run of readings over 3 V, cleared at the
    // first at or below 2.7 V after, nothing in between however the value wavers; each alarm
    // right after its reading, with its time and value.
    std::vector<std::string> expected, found, states{"clear"};
    double since = NAN;  // the first reading of a run over 3 V
    bool raised = false;
    std::string reading;  // mono and value of the last good reading
    std::istringstream rows(fileContents(csv));
    std::string line;
    std::getline(rows, line);
    while (std::getline(rows, line)) {
        std::vector<std::string> f;
        std::stringstream s(line);
        for (std::string x; std::getline(s, x, ',');) f.push_back(x);
        f.resize(11);
        if (f[9] == "alarm") {
            found.push_back(f[10] + " at " + f[1] + " " + f[7]);
            states.push_back(f[10].starts_with("high raised") ? "raised" : "clear");
            continue;
        }
        // The board away starts `for` again; deadlines an overrun left out and a failed reading
        // leave the alarm as it is.
        if (f[9] == "gap" && f[10].find(" deadlines left out: ") == std::string::npos) since = NAN;
        if (f[9] != "ok") continue;
        const double mono = std::stod(f[1]), v = std::stod(f[7]);
        reading = " at " + f[1] + " " + f[7];
        if (!raised && v > 3.0 && std::isnan(since)) since = mono;
        if (raised ? v <= 2.7 : v > 3.0 && mono - since >= 0.5)
            expected.push_back((raised ? "high cleared 3" : "high raised 3") + reading);
        if (!expected.empty() && expected.back().ends_with(reading)) raised = !raised;
        if (raised || v <= 3.0) since = NAN;
    }
    ASSERT_GE(found.size(), 2u);
    EXPECT_EQ(found, expected);

    // The page marked the alarms so far and shows the limit's state.
    std::vector<std::string> marks;
    for (const auto& m : data["marks"])
        if (m[1] == "alarm") marks.push_back(m[2]);
    ASSERT_GE(marks.size(), 2u);
    for (std::size_t i = 0; i < marks.size(); ++i) EXPECT_TRUE(found.at(i).starts_with(marks[i]));
    EXPECT_EQ(data["limits"][0]["raised"], marks.back().starts_with("high raised"));

    // The subscriber saw the run's first state, then each change; the broker keeps the last.
    std::vector<std::string> got;
    std::istringstream messages(sub.out());
    for (std::string m; std::getline(messages, m);)
        got.push_back(nlohmann::json::parse(m)["state"]);
    EXPECT_EQ(got, states) << sub.out();
    const std::string late = "mosquitto_sub -p " + broker +
                             " -C 1 -W 10 -t lab/bench/supply/alarm/high > " + dir.file("late");
    ASSERT_EQ(std::system(late.c_str()), 0);
    EXPECT_EQ(nlohmann::json::parse(fileContents(dir.file("late")))["state"], states.back());
}
