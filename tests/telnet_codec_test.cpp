// The telnet side of RFC 2217 and the network device strings, without sockets.
#include <gtest/gtest.h>

#include "transport/net_serial.hpp"
#include "transport/telnet_codec.hpp"
#include "vantrel/error.hpp"

using namespace vantrel;
using namespace vantrel::telnet;

namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (const int b : list) s.push_back(static_cast<char>(b));
    return s;
}

TEST(TelnetCodec, DoublesIacOnTheWayOut) {
    std::string out = "x";
    appendEscaped(out, bytes({'A', 255, 'B', 255, 255}));
    EXPECT_EQ(out, bytes({'x', 'A', 255, 255, 'B', 255, 255, 255, 255}));
    EXPECT_EQ(comPortCommand(cpo::SetBaudrate, baudValue(0xFF00FF)),
              bytes({IAC, SB, 44, 1, 0, 255, 255, 0, 255, 255, IAC, SE}));
    EXPECT_EQ(baudFromValue(baudValue(115200)), 115200u);
    EXPECT_EQ(baudFromValue("abc"), 0u);
}

// Every stream is fed whole and split at every position: a command or a doubled IAC cut in
// two by the network must come out the same.
TEST(TelnetCodec, DecodesDataAndCommandsAcrossAnySplit) {
    struct Case {
        std::string in;
        std::string data;
        std::vector<std::pair<int, int>> commands;  // verb, option
        std::string lastPayload;
    };
    const std::vector<Case> cases = {
        {bytes({'O', 'K', 255, 255, '>', 255, 255}), bytes({'O', 'K', 255, '>', 255}), {}, ""},
        {bytes({IAC, DO, 44, 'a', IAC, WILL, 1, 'b'}), "ab", {{DO, 44}, {WILL, 1}}, ""},
        {bytes({'1', IAC, SB, 44, 101, 0, 0, 37, 128, IAC, SE, '2'}),
         "12",
         {{SB, 44}},
         bytes({101, 0, 0, 37, 128})},
        // A doubled IAC inside a subnegotiation is one 255 of its value.
        {bytes({IAC, SB, 44, 106, IAC, IAC, IAC, SE}), "", {{SB, 44}}, bytes({106, 255})},
        // NOP is dropped; a subnegotiation broken off by another command is dropped too.
        {bytes({'a', IAC, 241, 'b', IAC, SB, 44, 7, IAC, DO, 'c'}), "abc", {}, ""},
    };
    for (const Case& c : cases) {
        for (std::size_t cut = 0; cut <= c.in.size(); ++cut) {
            Decoder d;
            std::string data;
            std::vector<Command> commands;
            d.feed(std::string_view(c.in).substr(0, cut), data, commands);
            d.feed(std::string_view(c.in).substr(cut), data, commands);
            EXPECT_EQ(data, c.data) << "cut " << cut;
            ASSERT_EQ(commands.size(), c.commands.size()) << "cut " << cut;
            for (std::size_t i = 0; i < commands.size(); ++i) {
                EXPECT_EQ(commands[i].verb, c.commands[i].first);
                EXPECT_EQ(commands[i].option, c.commands[i].second);
            }
            if (!commands.empty()) {
                EXPECT_EQ(commands.back().payload, c.lastPayload);
            }
        }
    }
}

TEST(TelnetCodec, SubnegotiationIsBounded) {
    Decoder d;
    std::string data;
    std::vector<Command> commands;
    d.feed(bytes({IAC, SB, 44}) + std::string(10000, 'x') + bytes({IAC, SE}) + "z", data, commands);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].payload.size(), Decoder::kMaxPayload);
    EXPECT_EQ(data, "z");
}

TEST(TelnetCodec, NegotiatesWithoutLoops) {
    Options o;
    EXPECT_EQ(o.requestLocal(kComPort), negotiation(WILL, kComPort));
    EXPECT_EQ(o.requestLocal(kComPort), "");  // asked already
    // Answers to our own requests are not answered again.
    EXPECT_EQ(o.answer(DO, kComPort), "");
    EXPECT_EQ(o.local(kComPort), Options::State::Yes);
    struct Step {
        uint8_t verb, option;
        std::string reply;
    };
    const std::vector<Step> steps = {
        {WILL, kBinary, negotiation(DO, kBinary)},
        {WILL, kBinary, ""},
        {DO, kSuppressGoAhead, negotiation(WILL, kSuppressGoAhead)},
        {WILL, kEcho, negotiation(DONT, kEcho)},  // a server that echoes would garble replies
        {DO, 24, negotiation(WONT, 24)},
        {WONT, kEcho, ""},
        {DONT, kComPort, negotiation(WONT, kComPort)},  // switched off: acknowledged once
        {DONT, kComPort, ""},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(o.answer(s.verb, s.option), s.reply) << int(s.verb) << " " << int(s.option);
    }
    // A refused request ends in No without a reply.
    Options r;
    r.requestLocal(kComPort);
    EXPECT_EQ(r.answer(DONT, kComPort), "");
    EXPECT_EQ(r.local(kComPort), Options::State::No);
}

TEST(TelnetCodec, LineAndModemStatesBecomeLineEvents) {
    std::vector<int16_t> events;
    lineStateEvents(0x1E | 0x61, events);  // data-ready and the empty bits are no events
    EXPECT_EQ(events,
              (std::vector<int16_t>{comm::Break, comm::Frame, comm::Overrun, comm::RxParity}));
    events.clear();
    modemStateEvents(0x00, 0x11, events);  // delta CTS
    modemStateEvents(0x10, 0x90, events);  // CD rose, no delta bit set
    modemStateEvents(0x90, 0x90, events);  // nothing changed
    modemStateEvents(0x90, 0x06 | 0xB0, events);
    EXPECT_EQ(events, (std::vector<int16_t>{comm::CTS, comm::CD, comm::DSR, comm::Ring}));
}

TEST(NetAddress, ParsesDeviceStrings) {
    const auto a = parseNetAddress("RFC2217://127.0.0.1:2217", "rfc2217://");
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, 2217);
    EXPECT_EQ(a.timeout, std::chrono::milliseconds(3000));
    const auto b = parseNetAddress("socket://[::1]:4001?timeout=0.25", "socket://");
    EXPECT_EQ(b.host, "::1");
    EXPECT_EQ(b.timeout, std::chrono::milliseconds(250));
    EXPECT_TRUE(isDeviceUrl("socket://x:1"));
    EXPECT_TRUE(isDeviceUrl("SIM://"));
    EXPECT_FALSE(isDeviceUrl("/dev/ttyUSB0"));

    for (const char* bad :
         {"socket://host", "socket://:4001", "socket://h:0", "socket://h:65536", "socket://h:12x",
          "socket://::1:80", "socket://[::1]80", "rfc2217://h:1?timeout=0",
          "rfc2217://h:1?timeout=abc", "rfc2217://h:1?baud=9600", "tcp://h:1"}) {
        try {
            const std::string_view text(bad);
            parseNetAddress(text, text.substr(0, 3) == "rfc" ? "rfc2217://" : "socket://");
            ADD_FAILURE() << bad;
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), err::PortOpenFailed);
            EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
        }
    }
}

}  // namespace
