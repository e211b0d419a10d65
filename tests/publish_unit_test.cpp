// The published outputs' pure pieces: addresses, request heads, line protocol, the exposition,
// the live state; and the HTTP server's bounds over a real socket.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <mutex>
#include <thread>

#include "child_process.hpp"
#include "credentials.hpp"
#include "endpoint.hpp"
#include "fd.hpp"
#include "http_client.hpp"
#include "http_server.hpp"
#include "influx_output.hpp"
#include "live_state.hpp"
#include "mqtt_output.hpp"
#include "pump_until.hpp"
#include "record_queue.hpp"
#include "test_support.hpp"
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

// A server on 127.0.0.1 that answers every request with `reply`, then with `filler` over and over
// (up to 256 MiB, or until the client goes), or holds the connection when `filler` is empty.
class HostileServer {
  public:
    HostileServer(std::string reply, std::string filler)
        : reply_(std::move(reply)), filler_(std::move(filler)) {
        listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::listen(listener_.get(), 8) != 0 ||
            ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("hostile server: cannot listen");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~HostileServer() {
        stop_ = true;
        ::shutdown(listener_.get(), SHUT_RDWR);
        thread_.join();
    }
    Endpoint at() const { return {"127.0.0.1", port_}; }
    int requests() const { return requests_.load(); }

  private:
    void serve() {
        while (!stop_) {
            vantrel::Fd c(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!c) return;
            timeval t{0, 200'000};
            ::setsockopt(c.get(), SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
            ::setsockopt(c.get(), SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
            std::string in;
            char buf[65536];
            while (in.find("\r\n\r\n") == std::string::npos && !stop_) {
                const ssize_t n = ::recv(c.get(), buf, sizeof buf, 0);
                if (n == 0) break;
                if (n > 0) in.append(buf, static_cast<std::size_t>(n));
            }
            ++requests_;
            bool open = ::send(c.get(), reply_.data(), reply_.size(), MSG_NOSIGNAL) > 0;
            std::size_t sent = 0;
            while (open && !stop_ && sent < (256u << 20)) {
                if (filler_.empty()) {
                    // Holds the connection: the client's own bound must end the request.
                    open = ::recv(c.get(), buf, sizeof buf, 0) != 0;
                    continue;
                }
                const ssize_t n = ::send(c.get(), filler_.data(), filler_.size(), MSG_NOSIGNAL);
                if (n > 0) sent += static_cast<std::size_t>(n);
                open = n > 0 || errno == EAGAIN || errno == EINTR;
            }
        }
    }

    std::string reply_, filler_;
    vantrel::Fd listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

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

// Names that become one topic level or one Home Assistant id are refused before anything
// starts; a board reached through the daemon is named after its own device.
TEST(PublishMqtt, NamesThatShareATopicAreRefused) {
    const auto config = [](std::vector<std::string> boards, std::vector<std::string> channels) {
        vantrel::acquire::LogConfig c;
        for (const std::string& name : boards) {
            vantrel::acquire::BoardConfig b;
            b.name = name;
            b.device = "/dev/ttyUSB0";
            for (const std::string& n : channels) {
                vantrel::acquire::ChannelConfig ch;
                ch.name = n;
                b.channels.push_back(ch);
            }
            c.boards.push_back(b);
        }
        return c;
    };
    struct Case {
        std::vector<std::string> boards, channels;
        bool discovery;
        const char* refused;  // empty: taken
    };
    for (const Case& c : {
             Case{{"bench"}, {"a/b", "a b"}, false, "\"a/b\" and \"a b\" would share"},
             Case{{"bench"}, {"a+b", "a#b"}, false, "\"a_b\""},
             Case{{"x/y", "x y"}, {"v"}, false, "the boards \"x/y\" and \"x y\""},
             Case{{"bench"}, {"a.b", "a_b"}, true, "Home Assistant id \"a_b\""},
             Case{{"bench"}, {"a.b", "a_b"}, false, ""},
             Case{{"one", "two"}, {"v", "w"}, true, ""},
         }) {
        try {
            checkTopics("lab", config(c.boards, c.channels), c.discovery);
            EXPECT_STREQ(c.refused, "") << c.channels[0];
        } catch (const vantrel::acquire::ConfigError& e) {
            EXPECT_NE(std::string(c.refused), "") << e.what();
            EXPECT_NE(std::string(e.what()).find(c.refused), std::string::npos) << e.what();
        }
    }
    auto served = config({"lab"}, {"v"});
    served.boards[0].device = "unix:///run/vantrel/serve.sock#lab";
    served.boards[0].origin = "/dev/ttyUSB3";
    const auto j = nlohmann::json::parse(discoveryMessages("lab", served).at(0).second);
    EXPECT_EQ(j["device"]["model"], "vantrel /dev/ttyUSB3");
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
          Case{"GET / HTTP/1.1\r\nno colon\r\n\r\n", 400}, Case{"nonsense\r\n\r\n", 400},
          // Bare LF line ends are taken; a field name that is no token is refused, not read as
          // another field; HTTP/1.1 needs one Host.
          Case{"GET / HTTP/1.1\nHost: a\n\n", 0},
          Case{"GET / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding : chunked\r\n\r\n", 400},
          Case{"GET / HTTP/1.1\r\nHost: a\r\nX Y: 1\r\n\r\n", 400},
          Case{"GET / HTTP/1.1\r\n\r\n", 400},
          Case{"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400}}) {
        const auto r = parseRequestHead(c.head);
        if (c.status == 0) {
            ASSERT_TRUE(std::holds_alternative<HttpRequest>(r)) << c.head;
        } else {
            ASSERT_TRUE(std::holds_alternative<int>(r)) << c.head;
            EXPECT_EQ(std::get<int>(r), c.status) << c.head;
        }
    }
    const auto r = std::get<HttpRequest>(
        parseRequestHead("GET /metrics?x=1 HTTP/1.1\r\nHost:  lab:9100 \r\n\r\n"));
    EXPECT_EQ(r.path, "/metrics");
    EXPECT_EQ(r.query, "x=1");
    EXPECT_EQ(r.host, "lab:9100");
    for (const char* text : {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", "GET / HTTP/1.1\nHost: a\n\n",
                             "GET / HTTP/1.1\r\nHost: a\n\r\n"})
        EXPECT_EQ(headEnd(std::string(text) + "rest"), std::string_view(text).size()) << text;
    EXPECT_EQ(headEnd("GET / HTTP/1.1\r\nHost: a\r\n"), std::string_view::npos);
}

// POST is taken only where the server says, and only without a body; the fields a note's
// check needs are read.
TEST(PublishHttp, PostOnlyToItsPathsAndWithoutABody) {
    const std::vector<std::string> paths = {"/note"};
    struct Case {
        const char* head;
        int status;  // 0: a request
    };
    for (const Case& c :
         {Case{"POST /note?text=a HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n", 0},
          Case{"POST /note HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\n\r\n", 413},
          Case{"POST /notes HTTP/1.1\r\nHost: a\r\n\r\n", 405},
          Case{"PUT /note HTTP/1.1\r\nHost: a\r\n\r\n", 405}}) {
        const auto r = parseRequestHead(c.head, paths);
        if (c.status == 0)
            EXPECT_TRUE(std::holds_alternative<HttpRequest>(r)) << c.head;
        else
            EXPECT_EQ(std::get<int>(r), c.status) << c.head;
    }
    const auto r = std::get<HttpRequest>(
        parseRequestHead("POST /note?text=a HTTP/1.1\r\nHost: lab\r\nOrigin: http://lab\r\n"
                         "x-requested-with: vantrel\r\n\r\n",
                         paths));
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.origin, "http://lab");
    EXPECT_EQ(r.requestedWith, "vantrel");
}

// One request over a raw socket: the whole answer, up to the server's close.
std::string rawRequest(uint16_t port, const std::string& request) {
    vantrel::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    timeval t{10, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return "no connect";
    ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd.get(), buf, sizeof buf, 0)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

// The server answers only requests for its own names: its address, localhost, and the names
// it was given; a name another site pointed here (DNS rebinding) gets 421. A request with bare
// LF line ends is answered at once.
TEST(PublishHttp, AnswersOnlyItsOwnHostNames) {
    auto loop = vantrel::makeEpollLoop();
    HttpServer server(*loop, {"127.0.0.1", 0},
                      [](const HttpRequest&) {
                          return HttpResponse{200, "text/plain", "yes", false};
                      },
                      {"Lab-PC.example"});
    const std::string port = std::to_string(server.port());
    struct Case {
        std::string host;
        const char* status;
    };
    const Case cases[] = {
        {"127.0.0.1:" + port, "200"},
        {"localhost:" + port, "200"},
        {"LOCALHOST", "200"},
        {"app.localhost", "200"},
        {"[::1]:" + port, "200"},
        {"127.0.0.2", "200"},
        {"lab-pc.example:" + port, "200"},
        {"lab-pc.example.", "200"},
        {"attacker.example:" + port, "421"},
        {"192.168.1.9", "421"},
        {"127.0.0.1.attacker.example", "421"},
        {"", "200"},
    };
    std::vector<std::string> answers(std::size(cases));
    std::string lf;
    std::atomic<bool> done{false};
    std::thread client([&] {
        for (std::size_t i = 0; i < std::size(cases); ++i)
            answers[i] = rawRequest(server.port(),
                                    cases[i].host.empty()
                                        ? "GET / HTTP/1.0\r\n\r\n"
                                        : "GET / HTTP/1.1\r\nHost: " + cases[i].host + "\r\n\r\n");
        lf = rawRequest(server.port(), "GET / HTTP/1.1\nHost: localhost\n\n");
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        loop->pumpOnce(50ms);
        server.sweep(std::chrono::steady_clock::now());
    }
    client.join();
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(answers[i].substr(0, 12), std::string("HTTP/1.1 ") + cases[i].status)
            << cases[i].host << ": " << answers[i];
    EXPECT_NE(answers[8].find("not \"attacker.example:" + port + "\""), std::string::npos)
        << answers[8];
    EXPECT_EQ(lf.substr(0, 12), "HTTP/1.1 200") << lf;
}

// Streams that keep reading cannot hold the server full for ever: a newcomer takes the place
// of the oldest stream.
TEST(PublishHttp, ANewcomerTakesTheOldestStreamsPlace) {
    auto loop = vantrel::makeEpollLoop();
    HttpServer server(*loop, {"127.0.0.1", 0}, [](const HttpRequest& r) {
        HttpResponse out;
        out.stream = r.path == "/events";
        out.body = out.stream ? "retry: 2000\n\n" : "page";
        return out;
    });
    std::vector<vantrel::Fd> streams;
    const auto open = [&](const std::string& request) {
        vantrel::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(server.port());
        EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
        return fd;
    };
    const std::string events = "GET /events HTTP/1.1\r\nHost: localhost\r\n\r\n";
    for (std::size_t i = 0; i < HttpServer::kMaxClients; ++i) {
        streams.push_back(open(events));
        ASSERT_TRUE(vantrel::test::pumpUntil(
            *loop, [&] { return server.streams() == i + 1; }, 20));
    }
    std::string answer;
    std::atomic<bool> done{false};
    std::thread client([&] {
        answer = rawRequest(server.port(), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        loop->pumpOnce(50ms);
        server.sweep(std::chrono::steady_clock::now());
    }
    client.join();
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer;
    EXPECT_EQ(server.evicted(), 1u);
    EXPECT_EQ(server.streams(), HttpServer::kMaxClients - 1);
    // The first stream was the one closed: it reads its head and then the end.
    char buf[256];
    std::string first;
    timeval t{5, 0};
    ::setsockopt(streams[0].get(), SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    for (ssize_t n; (n = ::recv(streams[0].get(), buf, sizeof buf, 0)) > 0;)
        first.append(buf, static_cast<std::size_t>(n));
    EXPECT_NE(first.find("retry: 2000"), std::string::npos);
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
    // An averaged reading has its extreme conversions beside its mean.
    r.min = 1.25;
    r.max = 2;
    EXPECT_NE(influxLine(r).find(" value=1.5,raw=15,min=1.25,max=2,status="), std::string::npos);
    r = reading("b", "x", 0, 1000, Status::Error);
    r.text = "say \"no\"\n";
    r.unit.clear();
    EXPECT_EQ(influxLine(r),
              "vantrel,board=b,bits=12,channel=5,name=x status=\"error\",text=\"say \\\"no\\\" \" "
              "1000000000\n");
    // No line end or other control character gets into a line (the run file refuses them in
    // names; a record made elsewhere gets spaces).
    r = reading("b\n2", "x\ry\tz", 1, 1000);
    r.unit = "k\nPa";
    const std::string line = influxLine(r);
    EXPECT_EQ(line.find_first_of("\r\t"), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
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

// One converter channel read twice under two names is two channels; a value that is not finite
// is in neither the statistics nor the exposition.
TEST(PublishLive, ChannelsAreTheirNamesAndOnlyFiniteValuesCount) {
    vantrel::acquire::LogConfig none;
    LiveState live(none, 600s);
    live.add(reading("b", "volts", 2.5, 1000));
    live.add(reading("b", "counts", 2500, 1000));
    live.add(reading("b", "volts", 3.5, 2000));
    live.add(reading("b", "counts", std::numeric_limits<double>::infinity(), 2000));
    ASSERT_EQ(live.channels().size(), 2u);
    const ChannelState& volts = live.channels()[0];
    const ChannelState& counts = live.channels()[1];
    EXPECT_EQ(volts.name, "volts");
    EXPECT_EQ(volts.count, 2u);
    EXPECT_EQ(volts.max, 3.5);
    EXPECT_EQ(counts.count, 1u);
    EXPECT_EQ(counts.last, 2500);
    Record nan = reading("b", "volts", 0, 3000);
    nan.value = std::nan("");
    live.add(nan);
    const std::string text = metricsText(live.channels(), {});
    EXPECT_NE(text.find("name=\"counts\",unit=\"kPa\"} 2500\n"), std::string::npos) << text;
    EXPECT_NE(text.find("name=\"volts\",unit=\"kPa\"} 3.5\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("inf"), std::string::npos) << text;
    EXPECT_EQ(text.find("nan"), std::string::npos) << text;
    EXPECT_EQ(influxLine(nan).find("value="), std::string::npos) << influxLine(nan);
    EXPECT_NE(influxLine(nan).find("raw=0,"), std::string::npos) << influxLine(nan);
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

// Every reply a server can make ends within its bounds of size and time, as a failed request.
TEST(PublishInflux, HostileRepliesAreBoundedFailures) {
    const std::string chunk(4096, 'x');
    const std::string header(4096, 'h');
    struct Case {
        const char* what;
        std::string reply;
        std::string filler;
        const char* error;
    };
    for (const Case& c :
         {Case{"a chunk size that wraps",
               "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
               "FFFFFFFFFFFFFFEC\r\n",
               chunk, "127.0.0.1"},
          Case{"an endless chunk",
               "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
               "7FFFFFFFFFFF\r\n",
               chunk, "larger than 1024 KiB"},
          Case{"an endless body", "HTTP/1.1 200 OK\r\n\r\n", chunk, "larger than 1024 KiB"},
          Case{"an endless head", "HTTP/1.1 200 OK\r\n", "X-A: " + header + "\r\n",
               "head is larger than 64 KiB"},
          Case{"a reply that never ends", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "",
               "timed out after 500 ms"},
          Case{"no HTTP", "nonsense\r\n\r\n", "", "127.0.0.1"}}) {
        HostileServer server(c.reply, c.filler);
        const HttpReply r = httpRequest(server.at(), "POST", "/write?db=x", "m v=1", "text/plain",
                                        std::chrono::milliseconds(500));
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_NE(r.error.find(c.error), std::string::npos) << c.what << ": " << r.error;
    }
}

// The output that meets such a server says so and holds its readings; the process goes on.
TEST(PublishInflux, AHostileServerIsTheOutputsFailureOnly) {
    HostileServer server(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFEC\r\n",
        std::string(4096, 'x'));
    std::mutex mutex;
    std::string said;
    InfluxOutput out(parseInflux("http://127.0.0.1:" + std::to_string(server.at().port) + "/lab"),
                     [&](const std::string& m) {
                         const std::lock_guard lock(mutex);
                         said += m + "\n";
                     });
    for (int i = 0; i < 10; ++i) out.offer(reading("b", "x", i, 1000 + i));
    EXPECT_TRUE(vantrel::testing::within(20s, [&] {
        const std::lock_guard lock(mutex);
        return said.find("holding up to") != std::string::npos;
    }));
    out.stop();
    EXPECT_EQ(out.sent(), 0u);
    const std::lock_guard lock(mutex);
    EXPECT_NE(said.find("influx: 10 readings not written"), std::string::npos) << said;
}

// A server that refuses every batch is said once, with the count at the end.
TEST(PublishInflux, ARefusalIsSaidOnceNotEveryBatch) {
    const std::string body = "{\"error\":\"partial write: field type conflict\"}";
    HostileServer server("HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body,
                         "");
    std::mutex mutex;
    std::vector<std::string> said;
    InfluxOutput out(parseInflux("http://127.0.0.1:" + std::to_string(server.at().port) + "/lab"),
                     [&](const std::string& m) {
                         const std::lock_guard lock(mutex);
                         said.push_back(m);
                     });
    for (int round = 1; round <= 3; ++round) {
        for (int i = 0; i < 5; ++i) out.offer(reading("b", "x", i, round * 1000 + i));
        EXPECT_TRUE(vantrel::testing::within(20s, [&] { return out.dropped() >= 5u * round; }));
    }
    out.stop();
    EXPECT_GE(server.requests(), 3);
    const std::lock_guard lock(mutex);
    ASSERT_EQ(said.size(), 2u) << ::testing::PrintToString(said);
    EXPECT_NE(said[0].find("readings: HTTP 400 {\"error\":\"partial write"), std::string::npos)
        << said[0];
    EXPECT_NE(said[1].find("refused 15 readings in all"), std::string::npos) << said[1];
}

// A credentials file is taken only as the serve token is: a regular file of this user or root
// that nobody else may reach, of at most 4 KiB; every refusal says why.
TEST(PublishCredentials, FileRulesAndRefusals) {
    using vantrel::publish::readSecretFile;
    vantrel::testing::TempDir dir;
    const auto make = [&](const std::string& name, const std::string& text, mode_t mode) {
        const std::string path = dir.file(name);
        std::ofstream(path, std::ios::binary) << text;
        ::chmod(path.c_str(), mode);
        return path;
    };
    const std::string good = make("good", "[mqtt]\nuser = \"lab\"\n", 0600);
    EXPECT_EQ(readSecretFile(good), "[mqtt]\nuser = \"lab\"\n");
    EXPECT_EQ(readSecretFile(make("full", std::string(4096, '#'), 0400)).size(), 4096u);

    const std::string foreign = make("foreign", "x", 0600);
    ASSERT_EQ(::chown(foreign.c_str(), 4242, 4242), 0);
    const struct {
        std::string path;
        std::string why;
    } refused[] = {
        {make("group", "x", 0640), "group or others may reach it (mode 640)"},
        {make("others", "x", 0604), "mode 604"},
        {make("writable", "x", 0620), "mode 620"},
        {make("large", std::string(4097, '#'), 0600), "larger than 4096 bytes"},
        {dir.path.string(), "not a regular file"},
        {"/dev/null", "not a regular file"},
        {dir.file("absent"), "No such file"},
        {foreign, "owned by user 4242"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.path);
        try {
            (void)readSecretFile(r.path);
            ADD_FAILURE() << "taken";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(r.why), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind(r.path, 0), 0u) << e.what();
        }
    }
}

TEST(PublishCredentials, ContentAndItsErrors) {
    using vantrel::publish::parseCredentials;
    const auto c = parseCredentials(
        "[mqtt]\nuser = \"lab\"\npassword = \"s3cret\"\nca_file = \"/ca.pem\"\n"
        "[influx]\nuser = \"db\"\npassword = \"p\"\n");
    EXPECT_EQ(c.mqtt.user, "lab");
    EXPECT_EQ(c.mqtt.password, "s3cret");
    EXPECT_TRUE(c.mqtt.tls());
    EXPECT_EQ(c.influx.user, "db");
    EXPECT_FALSE(c.influx.tls());
    const struct {
        std::string text, why;
    } bad[] = {
        {"[mqtt]\npassword = \"p\"\n", "mqtt.password: needs a user"},
        {"[mqtt]\nuser = 3\n", "mqtt.user: must be a string"},
        {"[mqtt]\nuser = \"\"\n", "mqtt.user: is empty"},
        {"[mqtt]\ntoken = \"t\"\n", "mqtt.token: unknown key"},
        {"[redis]\nuser = \"u\"\n", "[redis]: unknown table"},
        {"mqtt = 1\n", "[mqtt] must be a table"},
        // A broken line is named, never shown: it may hold a password.
        {"[mqtt]\npassword = \"hunter2\n", "line 2"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.text);
        try {
            (void)parseCredentials(b.text);
            ADD_FAILURE() << "taken";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(b.why), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find("hunter2"), std::string::npos) << e.what();
        }
    }
}
