// The published outputs' pure pieces: addresses, request heads, line protocol, the exposition,
// the live state; and the HTTP server's bounds over a real socket.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "endpoint.hpp"
#include "http_client.hpp"
#include "http_server.hpp"
#include "influx_output.hpp"
#include "live_state.hpp"
#include "mqtt_output.hpp"
#include "record_queue.hpp"
#include "vantrel/event_loop.hpp"

using namespace vantrel::publish;
using vantrel::acquire::Record;
using vantrel::acquire::Status;
using namespace std::chrono_literals;

namespace {

Record reading(std::string board, std::string name, double value, int64_t ms,
               Status status = Status::Ok) {
    Record r;
    r.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
    r.board = std::move(board);
    r.bits = 12;
    r.channel = 5;
    r.name = std::move(name);
    r.unit = "kPa";
    r.status = status;
    if (status == Status::Ok) {
        r.raw = value * 10;
        r.value = value;
    } else {
        r.text = "Serial port timed out";
    }
    return r;
}

}  // namespace

TEST(PublishAddress, ListenAddressesAndTheirErrors) {
    struct Case {
        const char* text;
        const char* host;
        uint16_t port;
    };
    for (const Case& c : {Case{"8080", "127.0.0.1", 8080}, Case{":9100", "127.0.0.1", 9100},
                          Case{"0.0.0.0:80", "0.0.0.0", 80}, Case{"[::1]:9", "::1", 9},
                          Case{"localhost:65535", "localhost", 65535}}) {
        const Endpoint e = parseListen(c.text);
        EXPECT_EQ(e.host, c.host) << c.text;
        EXPECT_EQ(e.port, c.port) << c.text;
    }
    for (const char* bad : {"", "host", "host:0", "host:65536", "host:8x", "[::1", "[::1]x"})
        EXPECT_THROW(parseListen(bad), std::invalid_argument) << bad;
}

TEST(PublishAddress, OnlyLoopbackBindsWithoutAllowRemote) {
    for (const char* host : {"127.0.0.1", "127.9.8.7", "::1", "localhost"}) {
        EXPECT_TRUE(isLoopback(host)) << host;
        EXPECT_NO_THROW(checkBind({host, 80}, false));
    }
    for (const char* host : {"0.0.0.0", "::", "192.168.1.5", "example.org", "128.0.0.1"}) {
        EXPECT_FALSE(isLoopback(host)) << host;
        try {
            checkBind({host, 80}, false);
            ADD_FAILURE() << host << " was allowed";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("--allow-remote"), std::string::npos);
        }
        EXPECT_NO_THROW(checkBind({host, 80}, true));
    }
}

TEST(PublishAddress, BrokerAndDatabaseUrls) {
    MqttTarget m = parseMqtt("mqtt://broker.lan:1884/lab/bench/");
    EXPECT_EQ(m.broker.host, "broker.lan");
    EXPECT_EQ(m.broker.port, 1884);
    EXPECT_EQ(m.prefix, "lab/bench");
    m = parseMqtt("mqtt://127.0.0.1");
    EXPECT_EQ(m.broker.port, 1883);
    EXPECT_EQ(m.prefix, "vantrel");
    const InfluxTarget i = parseInflux("http://[::1]/lab");
    EXPECT_EQ(i.server.host, "::1");
    EXPECT_EQ(i.server.port, 8086);
    EXPECT_EQ(i.database, "lab");
    for (const char* bad :
         {"tcp://h/x", "mqtt://", "mqtt://h:0/x", "mqtt://h/a/+/b", "mqtt://h/#", "mqtt://u:p@h/x"})
        EXPECT_THROW(parseMqtt(bad), std::invalid_argument) << bad;
    for (const char* bad :
         {"https://h/db", "http://h", "http://h/", "http://h/a?b", "http://:1/db"})
        EXPECT_THROW(parseInflux(bad), std::invalid_argument) << bad;
}

TEST(PublishMqtt, TopicsCarryNamesAsOneLevelEach) {
    EXPECT_EQ(topicLevel("/dev/pts/3"), "dev_pts_3");
    EXPECT_EQ(topicLevel("a+b#c d"), "a_b_c_d");
    EXPECT_EQ(topicLevel(""), "_");
    EXPECT_EQ(readingTopic("lab", reading("COM3", "10:3", 1, 0)), "lab/COM3/10:3");
    vantrel::acquire::LogConfig config;
    vantrel::acquire::BoardConfig b;
    b.name = "bench";
    b.device = "/dev/ttyUSB0";
    vantrel::acquire::ChannelConfig c;
    c.name = "tank temp";
    c.unit = "degC";
    b.channels = {c};
    config.boards = {b};
    const auto messages = discoveryMessages("lab", config);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, "homeassistant/sensor/vantrel_lab_bench_tank_temp/config");
    const auto j = nlohmann::json::parse(messages[0].second);
    EXPECT_EQ(j["state_topic"], "lab/bench/tank_temp");
    EXPECT_EQ(j["unit_of_measurement"], "degC");
    EXPECT_EQ(j["availability_topic"], "lab/status");
}

TEST(PublishHttp, RequestHeads) {
    struct Case {
        const char* head;
        int status;  // 0: a request
    };
    for (const Case& c :
         {Case{"GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n", 0},
          Case{"HEAD / HTTP/1.0\r\n\r\n", 0},
          Case{"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405},
          Case{"GET / HTTP/1.1\r\nContent-Length: 5\r\n\r\n", 413},
          Case{"GET / HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n", 413},
          Case{"GET / HTTP/2\r\n\r\n", 505}, Case{"GET metrics HTTP/1.1\r\n\r\n", 400},
          Case{"GET / HTTP/1.1\r\nno colon\r\n\r\n", 400}, Case{"nonsense\r\n\r\n", 400}}) {
        const auto r = parseRequestHead(c.head);
        if (c.status == 0) {
            ASSERT_TRUE(std::holds_alternative<HttpRequest>(r)) << c.head;
        } else {
            ASSERT_TRUE(std::holds_alternative<int>(r)) << c.head;
            EXPECT_EQ(std::get<int>(r), c.status) << c.head;
        }
    }
    const auto r = std::get<HttpRequest>(parseRequestHead("GET /metrics?x=1 HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(r.path, "/metrics");
    EXPECT_EQ(r.query, "x=1");
}

TEST(PublishHttp, ServerAnswersAndBoundsItsRequests) {
    auto loop = vantrel::makeEpollLoop();
    HttpServer server(*loop, {"127.0.0.1", 0}, [](const HttpRequest& r) {
        HttpResponse out;
        out.body = "path " + r.path;
        return out;
    });
    std::atomic<bool> done{false};
    std::thread client([&] {
        const Endpoint at{"127.0.0.1", server.port()};
        const HttpReply ok = httpRequest(at, "GET", "/a?b", "", "", 5s);
        EXPECT_EQ(ok.status, 200) << ok.error;
        EXPECT_EQ(ok.body, "path /a");
        const HttpReply post = httpRequest(at, "POST", "/a", "x", "text/plain", 5s);
        EXPECT_EQ(post.status, 413);
        const HttpReply huge =
            httpRequest(at, "GET", "/" + std::string(HttpServer::kMaxHead, 'x'), "", "", 5s);
        EXPECT_EQ(huge.status, 431) << huge.error;
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        loop->pumpOnce(50ms);
        server.sweep(std::chrono::steady_clock::now());
    }
    client.join();
    EXPECT_TRUE(done);
}

TEST(PublishInflux, LineProtocolEscapesTagsAndStrings) {
    Record r = reading("bench 2", "a,b=c", 1.5, 1'796'000'000'123);
    EXPECT_EQ(influxLine(r),
              "vantrel,board=bench\\ 2,bits=12,channel=5,name=a\\,b\\=c,unit=kPa "
              "value=1.5,raw=15,status=\"ok\" 1796000000123000000\n");
    r = reading("b", "x", 0, 1000, Status::Error);
    r.text = "say \"no\"\n";
    r.unit.clear();
    EXPECT_EQ(influxLine(r),
              "vantrel,board=b,bits=12,channel=5,name=x status=\"error\",text=\"say \\\"no\\\" \" "
              "1000000000\n");
}

TEST(PublishMetrics, ExpositionLabelsCountersAndGaps) {
    vantrel::acquire::LogConfig none;
    LiveState live(none, 600s);
    live.add(reading("a\"b", "p\\q", 2.5, 1000));
    live.add(reading("c", "r", 7, 1000));
    live.add(reading("c", "r", 0, 2000, Status::Gap));
    vantrel::acquire::BoardStatus b;
    b.name = "c";
    b.state = "away";
    b.readings = 4;
    b.gaps = 1;
    const std::string text = metricsText(live.channels(), {b});
    EXPECT_NE(text.find("vantrel_value{board=\"a\\\"b\",channel=\"5\",bits=\"12\",name=\"p\\\\q\","
                        "unit=\"kPa\"} 2.5\n"),
              std::string::npos)
        << text;
    // The channel whose board went away has no value sample, only its counters.
    EXPECT_EQ(text.find("vantrel_value{board=\"c\""), std::string::npos) << text;
    EXPECT_NE(text.find("vantrel_gaps_total{board=\"c\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("vantrel_board_up{board=\"c\"} 0\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE vantrel_readings_total counter\n"), std::string::npos);
}

TEST(PublishLive, StatisticsMarksAndHistoryWindow) {
    vantrel::acquire::LogConfig none;
    LiveState live(none, 60s);
    live.add(reading("b", "x", 3, 1'000));
    live.add(reading("b", "x", 1, 2'000));
    live.add(reading("b", "x", 0, 3'000, Status::Gap));
    live.add(reading("b", "x", 5, 4'000));
    live.add(reading("b", "x", 9, 70'000));
    ASSERT_EQ(live.channels().size(), 1u);
    const ChannelState& c = live.channels()[0];
    EXPECT_EQ(c.min, 1);
    EXPECT_EQ(c.max, 9);
    EXPECT_EQ(c.count, 4u);
    EXPECT_EQ(c.sum, 18);
    EXPECT_EQ(c.last, 9);
    // Older than a minute before the last reading: gone, the gap and reconnect with them.
    ASSERT_EQ(c.points.size(), 1u);
    EXPECT_EQ(c.points[0].first, 70'000);
    EXPECT_TRUE(c.marks.empty());
    live.add(reading("b", "x", 0, 71'000, Status::Gap));
    live.add(reading("b", "x", 4, 72'000));
    ASSERT_EQ(c.marks.size(), 2u);
    EXPECT_EQ(std::get<1>(c.marks[0]), "gap");
    EXPECT_EQ(std::get<2>(c.marks[0]), "Serial port timed out");
    EXPECT_EQ(std::get<1>(c.marks[1]), "reconnect");
    EXPECT_FALSE(c.points[1].second.has_value());
}

TEST(PublishQueue, BoundDropsAndCounts) {
    RecordQueue q(3);
    for (int i = 0; i < 5; ++i) q.push(reading("b", "x", i, i));
    EXPECT_EQ(q.dropped(), 2u);
    std::vector<Record> got;
    q.take(got, 2);
    q.takeAll(got);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].value, 2);
    EXPECT_EQ(q.size(), 0u);
}

// A database that is away holds the readings and says so once; one that refuses them (here a
// server that takes no request body) drops them, counted, rather than sending them again for ever.
TEST(PublishInflux, AwayHoldsRefusedDrops) {
    std::mutex mutex;
    std::vector<std::string> said;
    const auto say = [&](const std::string& m) {
        const std::lock_guard lock(mutex);
        said.push_back(m);
    };
    const auto saidText = [&] {
        const std::lock_guard lock(mutex);
        std::string all;
        for (const std::string& m : said) all += m + "\n";
        return all;
    };
    uint16_t closedPort;
    {
        auto loop = vantrel::makeEpollLoop();
        HttpServer probe(*loop, {"127.0.0.1", 0},
                         [](const HttpRequest&) { return HttpResponse{}; });
        closedPort = probe.port();
    }
    {
        InfluxOutput away(parseInflux("http://127.0.0.1:" + std::to_string(closedPort) + "/lab"),
                          say);
        for (int i = 0; i < 10; ++i) away.offer(reading("b", "x", i, 1000 + i));
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (saidText().empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        away.stop();
        EXPECT_EQ(away.sent(), 0u);
        EXPECT_EQ(away.dropped(), 0u);
    }
    EXPECT_NE(saidText().find("Connection refused; holding up to 200000 readings"),
              std::string::npos)
        << saidText();
    EXPECT_NE(saidText().find("influx: 10 readings not written"), std::string::npos) << saidText();

    said.clear();
    auto loop = vantrel::makeEpollLoop();
    HttpServer server(*loop, {"127.0.0.1", 0}, [](const HttpRequest&) { return HttpResponse{}; });
    InfluxOutput refused(parseInflux("http://127.0.0.1:" + std::to_string(server.port()) + "/lab"),
                         say);
    for (int i = 0; i < 10; ++i) refused.offer(reading("b", "x", i, 1000 + i));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (refused.dropped() < 10 && std::chrono::steady_clock::now() < deadline) {
        loop->pumpOnce(20ms);
        server.sweep(std::chrono::steady_clock::now());
    }
    refused.stop();
    EXPECT_EQ(refused.dropped(), 10u);
    EXPECT_EQ(refused.sent(), 0u);
    EXPECT_NE(saidText().find("refused"), std::string::npos) << saidText();
    EXPECT_NE(saidText().find("HTTP 413"), std::string::npos) << saidText();
}
