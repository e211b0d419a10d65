// The tool's shared conventions, tested on its own code: date-times, CSV records and the checks
// of numeric options.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

#include "options.hpp"
#include "output.hpp"

using namespace std::chrono;
using namespace vantrel::cli;

namespace {

// An ISO 8601 date-time with milliseconds and offset, read back as a point in time.
std::optional<system_clock::time_point> parseDateTime(const std::string& text) {
    static const std::regex form(
        R"((\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{3})([+-])(\d\d):(\d\d))");
    std::smatch m;
    if (!std::regex_match(text, m, form)) return std::nullopt;
    const auto n = [&](int i) { return std::stoi(m[i].str()); };
    std::tm tm{};
    tm.tm_year = n(1) - 1900, tm.tm_mon = n(2) - 1, tm.tm_mday = n(3);
    tm.tm_hour = n(4), tm.tm_min = n(5), tm.tm_sec = n(6);
    const minutes offset((m[8] == "-" ? -1 : 1) * (n(9) * 60 + n(10)));
    return system_clock::from_time_t(::timegm(&tm)) + milliseconds(n(7)) - offset;
}

// Text for the terminal keeps its characters but nothing a terminal would obey: C0 and C1
// controls, DEL and bytes that are no UTF-8 are escaped.
TEST(CliConventions, TextForTheTerminalIsEscaped) {
    const struct {
        std::string text, shown;
    } cases[] = {
        {"plain \"q\" \\ \r\n\t", "plain \\\"q\\\" \\\\ \\r\\n\\t"},
        {"\x1b]52;c;aGk=\x07\x7f", "\\x1b]52;c;aGk=\\x07\\x7f"},
        {"\xc2\x9b"
         "2J \xc2\x9d"
         "0;t \xc2\x80",
         "\\xc2\\x9b2J \\xc2\\x9d0;t \\xc2\\x80"},
        {"caf\xc3\xa9 \xc2\xa0 \xe2\x82\xac \xf0\x9f\x94\x8c",
         "caf\xc3\xa9 \xc2\xa0 \xe2\x82\xac \xf0\x9f\x94\x8c"},
        {"\x9b"
         "2J \xc3 \xe2\x82 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80",
         "\\x9b2J \\xc3 \\xe2\\x82 \\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80"},
        {"ends in a cut \xe2\x82", "ends in a cut \\xe2\\x82"},
    };
    for (const auto& c : cases) EXPECT_EQ(quotedText(c.text), "\"" + c.shown + "\"") << c.shown;
}

TEST(CliConventions, DateTimeIsIsoWithTheOffsetAndReadsBack) {
    const auto at = [](int y, unsigned mo, unsigned d, int h, int mi, int ms) {
        return sys_days(year(y) / month(mo) / day(d)) + hours(h) + minutes(mi) + milliseconds(ms);
    };
    const std::string cet = "CET-1CEST,M3.5.0,M10.5.0/3";
    const std::tuple<std::string, system_clock::time_point, const char*> cases[] = {
        {"UTC0", system_clock::time_point{}, "1970-01-01T00:00:00.000+00:00"},
        {"UTC0", system_clock::time_point{} - 1ms, "1969-12-31T23:59:59.999+00:00"},
        {cet, at(2026, 12, 8, 13, 3, 7125), "2026-12-08T14:03:07.125+01:00"},
        {cet, at(2026, 7, 1, 21, 59, 59999), "2026-07-01T23:59:59.999+02:00"},
        {"NST3:30", at(2026, 3, 1, 2, 0, 0), "2026-02-28T22:30:00.000-03:30"},
    };
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    for (const auto& [tz, when, expected] : cases) {
        ::setenv("TZ", tz.c_str(), 1);
        ::tzset();
        EXPECT_EQ(dateTimeText(when), expected) << tz;
        EXPECT_EQ(parseDateTime(dateTimeText(when)), when) << tz;
    }
    old ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
    // Now, in this machine's zone: within the time the call took.
    const auto before = floor<milliseconds>(system_clock::now());
    const auto now = parseDateTime(dateTimeText());
    ASSERT_TRUE(now.has_value());
    EXPECT_TRUE(*now >= before && *now <= system_clock::now());
}

TEST(CliConventions, RangeMessagesUsePlainNumbers) {
    const NumberRange ms{0, 86'400'000, true, "milliseconds"}, port{1, 8, true, {}},
        secs{0, 1e8, false, "seconds"}, wide{0, 9.2e18, true, {}};
    const std::string expectMs = "expected a whole number from 0 to 86400000 (milliseconds), got ";
    const std::string expectPort = "expected a whole number from 1 to 8, got ";
    const std::string expectSecs = "expected a number from 0 to 100000000 (seconds), got ";
    const std::tuple<std::string, const NumberRange*, std::string> bad[] = {
        {"1e300", &ms, expectMs + "1e300"},
        {"-1", &ms, expectMs + "-1"},
        {"2.5", &port, expectPort + "2.5"},
        {"abc", &port, expectPort + "\"abc\""},
        {" 3", &port, expectPort + "\" 3\""},
        {"nan", &secs, expectSecs + "\"nan\""},
        {std::string(300, '9'), &secs, expectSecs + "1e300"},
        {std::string(400, '9'), &secs, expectSecs + "999999999999... (400 characters)"},
        {std::string(40, 'x'), &secs, expectSecs + "\"xxxxxxxxxxxx\"... (40 characters)"},
        {"1e19", &wide, "expected a whole number from 0 to 9.2e18, got 1e19"},
    };
    for (const auto& [given, range, message] : bad) {
        std::string text = given;
        EXPECT_EQ(numberProblem(text, *range), message);
        EXPECT_EQ(text, given) << "a refused value is left as it was";
    }
    // A whole number written otherwise reaches the option in plain digits.
    const std::tuple<const char*, const NumberRange*, const char*> good[] = {
        {"1e3", &ms, "1000"}, {"0x10", &ms, "16"}, {"7.0", &port, "7"}, {"2.5", &secs, "2.5"}};
    for (const auto& [given, range, read] : good) {
        std::string text = given;
        EXPECT_EQ(numberProblem(text, *range), "") << given;
        EXPECT_EQ(text, read);
    }
    CLI::Validator bits = oneOfCheck({8, 10, 12});
    for (std::string text : {"9", "1e300"})
        EXPECT_EQ(bits(text), "expected 8, 10 or 12, got " + text);
    std::string ten = "1.0e1";
    EXPECT_EQ(bits(ten), "");
    EXPECT_EQ(ten, "10");
}

// An empty field is a missing value; a field is quoted only when it has to be.
TEST(CliConventions, CsvRecords) {
    EXPECT_EQ(csvRecord({"2026-12-08T14:03:07.125+01:00", "InterruptLow", "", ""}),
              "2026-12-08T14:03:07.125+01:00,InterruptLow,,");
    EXPECT_EQ(csvRecord({"a,b", "say \"hi\"", "two\nlines", " padded", "L\\r\\n"}),
              "\"a,b\",\"say \"\"hi\"\"\",\"two\nlines\",\" padded\",L\\r\\n");
}

}  // namespace
