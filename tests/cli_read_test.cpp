// vantrel read as a live view: its lists, scaling, statistics and records as pure functions, and
// the table a person sees on a terminal while a simulated board is read.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "live_view.hpp"
#include "sim/pty_board.hpp"
#include "terminal_screen.hpp"

using namespace vantrel::cli;
using vantrel::Variant;
using vantrel::test::Screen;
using vantrel::test::TerminalProgram;

namespace {

// The message of the CLI::ValidationError that `f` throws, or "" when it throws none.
template <class F>
std::string refusal(F&& f) {
    try {
        f();
    } catch (const CLI::ValidationError& e) {
        return e.what();
    }
    return {};
}

TEST(CliReadOptions, ChannelAndWidthLists) {
    struct Case {
        std::string channels, bits;
        std::vector<int16_t> wantChannels;
        std::vector<int> wantBits;
        std::string error;  // part of the refusal, or "" when accepted
    };
    const std::vector<Case> cases = {
        {"3", "10", {3}, {10}, ""},
        {"3,5,11", "12", {3, 5, 11}, {12, 12, 12}, ""},
        {"3,5,11", "10,12,8", {3, 5, 11}, {10, 12, 8}, ""},
        {"-1,32767", "8", {-1, 32767}, {8, 8}, ""},  // the control judges the range
        {"3,5,11", "10,12", {}, {}, "2 widths for 3 channels"},
        {"3", "10,12", {}, {}, "2 widths for 1 channel"},
        {"3", "9", {}, {}, "a converter width is 8, 10 or 12, got \"9\""},
        {"3,5", "10,", {}, {}, "got \"\""},
        {"", "10", {}, {}, "got \"\""},
        {"3,,5", "10", {}, {}, "got \"\""},
        {"3, 5", "10", {}, {}, "got \" 5\""},
        {"0x3", "10", {}, {}, "got \"0x3\""},
        {"32768", "10", {}, {}, "from -32768 to 32767"},
        {"99999999999999999999999", "10", {}, {}, "got \"99999999999999999999999\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channels + " / " + c.bits);
        std::vector<int16_t> channels;
        std::vector<int> bits;
        const std::string error = refusal([&] {
            channels = parseChannels(c.channels);
            bits = parseWidths(c.bits, channels.size());
        });
        if (c.error.empty()) {
            EXPECT_EQ(error, "");
            EXPECT_EQ(channels, c.wantChannels);
            EXPECT_EQ(bits, c.wantBits);
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

TEST(CliReadOptions, Scaling) {
    const std::optional<double> none;
    struct Case {
        std::optional<double> scale, offset, volts;
        double raw;
        int bits;
        double want;
    };
    const std::vector<Case> cases = {
        {none, none, none, 805.25, 10, 805.25}, {2.0, none, none, 805.25, 10, 1610.5},
        {none, -1.5, none, 10, 12, 8.5},        {0.5, 1.0, none, 4095, 12, 2048.5},
        {none, none, 5.0, 1023, 10, 5.0},  // full scale is 2^bits - 1
        {none, none, 5.0, 0, 10, 0.0},          {none, none, 3.3, 4095, 12, 3.3},
        {none, none, 5.0, 255, 8, 5.0},         {none, none, 5.0, 512, 10, 512.0 / 1023 * 5},
    };
    for (const Case& c : cases) {
        const Scaling s = Scaling::from(c.scale, c.offset, c.volts);
        EXPECT_EQ(s.on(), c.scale || c.offset || c.volts);
        EXPECT_NEAR(s.apply(c.raw, c.bits), c.want, 1e-12) << c.raw << " at " << c.bits;
    }
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        std::optional<double> scale, offset, volts;
        std::string error;
    } refused[] = {
        {2.0, none, 5.0, "--volts: cannot be combined with --scale or --offset"},
        {none, 1.0, 5.0, "--volts: cannot be combined with --scale or --offset"},
        {none, none, 0.0, "the reference must be above 0 V"},
        {none, none, -5.0, "the reference must be above 0 V"},
        {inf, none, none, "--scale: the value must be a finite number"},
        {none, std::nan(""), none, "--offset: the value must be a finite number"},
    };
    for (const auto& r : refused) {
        const std::string error = refusal([&] { Scaling::from(r.scale, r.offset, r.volts); });
        EXPECT_NE(error.find(r.error), std::string::npos) << error;
    }
}

TEST(CliReadView, SparklineAndHistory) {
    History h;
    for (int v = 0; v < 8; ++v) h.add(v);
    EXPECT_EQ(sparkline(h), "▁▂▃▄▅▆▇█");
    EXPECT_EQ(sparkline(h, 3), "▁▅█");  // the newest readings when room is short, scaled alone

    History gaps;  // a failed reading leaves a blank; the scale is of the readings shown
    for (std::optional<double> v :
         {std::optional(10.0), std::optional<double>(), std::optional(20.0)})
        gaps.add(v);
    EXPECT_EQ(sparkline(gaps), "▁ █");

    History flat;
    for (int i = 0; i < 4; ++i) flat.add(805.25);
    EXPECT_EQ(sparkline(flat), "▄▄▄▄");

    History ring;  // a long run keeps the last readings only, oldest first
    for (int v = 0; v < 75; ++v) ring.add(v);
    ASSERT_EQ(ring.size(), History::kSize);
    EXPECT_EQ(ring.at(0), 45.0);
    EXPECT_EQ(ring.at(History::kSize - 1), 74.0);
    EXPECT_EQ(sparkline(History{}), "");
}

TEST(CliReadView, ChannelStatistics) {
    ChannelStats s;
    EXPECT_EQ(s.mean(), std::nullopt);
    s.add(1.0, 2.0, "");
    s.add(std::nullopt, std::nullopt, "timed out");
    EXPECT_EQ(s.lastError, "timed out");
    s.add(3.0, 6.0, "");
    s.add(-2.0, -4.0, "");
    EXPECT_EQ(s.count, 4);
    EXPECT_EQ(s.failures, 1);
    EXPECT_EQ(s.values, 3);
    EXPECT_EQ(s.min, -4.0);
    EXPECT_EQ(s.max, 6.0);
    EXPECT_EQ(s.mean(), 4.0 / 3);
    EXPECT_EQ(s.raw, -2.0);
    EXPECT_EQ(s.current, -4.0);
    EXPECT_EQ(s.lastError, "");  // a later success clears it
}

// Every record of a reading: a missing value is null in JSON, an empty CSV field, "-" in text.
TEST(CliReadView, RecordsOfAReading) {
    Reading good;
    good.time = "2026-12-08T03:00:00.000";
    good.channel = 3;
    good.bits = 10;
    good.raw = Variant(805.25);
    good.scaled = 3.935728250244379;
    good.address = 48;
    good.result = true;

    Reading failed;
    failed.time = "2026-12-08T03:00:00.500";
    failed.channel = 11;
    failed.bits = 12;
    failed.errorText = "say \"no\"\r\n";

    Reading thrown = failed;
    thrown.errorNumber = 8001;
    thrown.errorText = "timed out";

    struct Case {
        const Reading* r;
        bool scaled;
        std::string csv, json, plain;
    };
    const std::vector<Case> cases = {
        {&good, false, "2026-12-08T03:00:00.000,10,3,805.25,True,",
         R"({"time":"2026-12-08T03:00:00.000","bits":10,"channel":3,"value":805.25,"result":true,"errorString":"","address":48})",
         "2026-12-08T03:00:00.000      805.25  True"},
        {&good, true, "2026-12-08T03:00:00.000,10,3,805.25,3.935728250244379,True,",
         R"({"time":"2026-12-08T03:00:00.000","bits":10,"channel":3,"value":805.25,"scaled":3.935728250244379,"result":true,"errorString":"","address":48})",
         "2026-12-08T03:00:00.000      805.25     3.93573  True"},
        {&failed, true, R"(2026-12-08T03:00:00.500,12,11,,,False,"say \""no\""\r\n")",
         R"({"time":"2026-12-08T03:00:00.500","bits":12,"channel":11,"value":null,"scaled":null,"result":false,"errorString":"say \"no\"\r\n"})",
         R"(2026-12-08T03:00:00.500           -           -  False  say \"no\"\r\n)"},
        {&thrown, false, "2026-12-08T03:00:00.500,12,11,,False,timed out",
         R"({"time":"2026-12-08T03:00:00.500","bits":12,"channel":11,"value":null,"result":false,"errorString":"timed out","error":{"number":8001,"text":"timed out"}})",
         "2026-12-08T03:00:00.500           -  False  error 8001:  timed out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.csv);
        EXPECT_EQ(csvRecord(*c.r, c.scaled), c.csv);
        EXPECT_EQ(jsonRecord(*c.r, c.scaled).dump(), c.json);
        EXPECT_EQ(plainLine(*c.r, c.scaled, false), c.plain);
    }
    EXPECT_EQ(csvHeader(false), "time,bits,channel,value,result,error");
    EXPECT_EQ(csvHeader(true), "time,bits,channel,value,scaled,result,error");
    EXPECT_EQ(plainLine(good, false, true),
              "2026-12-08T03:00:00.000  channel  3  10 bits      805.25  True");
}

TEST(CliReadView, TableFitsTheTerminal) {
    ChannelStats s;
    s.channel = 3;
    s.bits = 10;
    for (int i = 0; i < 40; ++i) s.add(i, i, "");
    ChannelStats failing;
    failing.channel = 11;
    failing.bits = 12;
    failing.add(std::nullopt, std::nullopt, "timed out");
    // Characters on the screen: the blocks are three bytes each.
    const auto shown = [](const std::string& l) {
        std::size_t n = 0;
        for (unsigned char ch : l) n += (ch & 0xC0) != 0x80;
        return n;
    };
    const auto wide = tableLines({s, failing}, false, 120);
    ASSERT_EQ(wide.size(), 3u);
    EXPECT_EQ(wide[1],
              "      3   10        39         0        39      19.5      40    0  "
              "▁▁▁▂▂▂▂▃▃▃▃▄▄▄▄▅▅▅▅▆▆▆▆▇▇▇▇███");
    EXPECT_EQ(wide[2],
              "     11   12         -         -         -         -       1    1     timed out");
    // A narrow terminal gets the newest readings only, and no line wraps.
    const auto narrow = tableLines({s, failing}, false, 70);
    for (const std::string& l : narrow) EXPECT_LE(shown(l), 70u) << l;
    EXPECT_EQ(shown(narrow[1]), 70u);
    EXPECT_TRUE(narrow[1].ends_with("  ▁▅█")) << narrow[1];
    // Narrower than the numbers: whole columns go, no number loses digits.
    for (const auto& [columns, header, row] :
         {std::tuple{40, "channel bits     value       min", "      3   10        39         0"},
          std::tuple{30, "channel bits     value", "      3   10        39"},
          std::tuple{5, "", ""}}) {
        const auto cut = tableLines({s, failing}, false, columns);
        EXPECT_EQ(cut[0], header) << columns;
        EXPECT_EQ(cut[1], row) << columns;
    }
    EXPECT_EQ(fitWidth("ab▁▂▃", 3), "ab▁");
    EXPECT_EQ(fitWidth("ab", 3), "ab");
    // Redrawn in place: back up over the old lines, each line erased to its end.
    EXPECT_EQ(tableRedraw({"a", "b"}, 2), "\x1b[2A\ra\x1b[K\n\rb\x1b[K\n");
}

// On a terminal the readings are one table, redrawn in place; the summary follows it.
TEST(CliReadView, LiveTableOnATerminal) {
    const auto loop = vantrel::makeEpollLoop();
    vantrel::sim::PtyBoard board(*loop);
    board.engine().setReading(10, 3, 805.25);
    board.engine().setReading(10, 5, 102.5);
    TerminalProgram read(
        {VANTREL_CLI, "read", "--device", board.slavePath(), "--bits", "10", "--channel", "3,5",
         "--count", "4", "--interval", "0", "--volts", "10.23"},
        loop.get());
    EXPECT_EQ(read.finish(), 0) << read.screen().text();
    const std::string screen = read.screen().text();
    const std::string table =
        "channel bits       raw     value       min       max      mean   count fail  recent\n"
        "      3   10    805.25    8.0525    8.0525    8.0525    8.0525       4    0  ▄▄▄▄\n"
        "      5   10     102.5     1.025     1.025     1.025     1.025       4    0  ▄▄▄▄\n"
        "channel bits   count failures       min       max      mean (scaled)\n"
        "      3   10       4        0    8.0525    8.0525    8.0525\n"
        "      5   10       4        0     1.025     1.025     1.025\n";
    EXPECT_NE(screen.find(table), std::string::npos) << screen;
    // Drawn once and then over itself: a scrolling table would show its header nine times.
    EXPECT_EQ(screen.find("recent"), screen.rfind("recent")) << screen;
}

// A channel the control refuses ends the run with status 1, naming the channel, table and all.
TEST(CliReadView, RefusedChannelNamed) {
    const auto loop = vantrel::makeEpollLoop();
    vantrel::sim::PtyBoard board(*loop);
    TerminalProgram read({VANTREL_CLI, "read", "--device", board.slavePath(), "--bits", "10,8",
                          "--channel", "3,12", "--count", "0", "--interval", "0"},
                         loop.get());
    EXPECT_EQ(read.finish(), 1) << read.screen().text();
    std::string screen = read.screen().text();
    std::erase(screen, '\n');  // the message is longer than a row
    EXPECT_NE(screen.find("vantrel: channel 12 of the 8-bit converter: the control refused the "
                          "reading without asking the device (it has channels 0 to 11); stopped"),
              std::string::npos)
        << screen;
    // The control follows the board's one address register: mixing widths needs no warning.
    EXPECT_EQ(screen.find("widths are mixed"), std::string::npos) << screen;
    EXPECT_NE(screen.find("     12    8       1        1         -         -         -"),
              std::string::npos)
        << screen;
}

}  // namespace
