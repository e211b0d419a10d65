// The tool's shared conventions, tested on its own code: the date-time of JSON and CSV records,
// missing values in each format, CSV records, the checks of numeric options and the reason
// given for a refused channel.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

#include "channels.hpp"
#include "options.hpp"
#include "output.hpp"

using namespace std::chrono;
using vantrel::cli::dateTimeText;
using vantrel::cli::numberProblem;
using vantrel::cli::NumberRange;
using vantrel::cli::readableNumber;

namespace {

// Sets the local time zone for one test and puts the previous one back.
class TimeZone {
  public:
    explicit TimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (old_)
            ::setenv("TZ", old_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

  private:
    std::optional<std::string> old_;
};

// An ISO 8601 date-time with milliseconds and offset read back as a point in time (UTC).
std::optional<system_clock::time_point> parseDateTime(const std::string& text) {
    static const std::regex form(
        R"((\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})\.(\d{3})([+-])(\d{2}):(\d{2}))");
    std::smatch m;
    if (!std::regex_match(text, m, form)) return std::nullopt;
    const auto n = [&](int i) { return std::stoi(m[i].str()); };
    std::tm tm{};
    tm.tm_year = n(1) - 1900;
    tm.tm_mon = n(2) - 1;
    tm.tm_mday = n(3);
    tm.tm_hour = n(4);
    tm.tm_min = n(5);
    tm.tm_sec = n(6);
    const int offsetMinutes = (m[8] == "-" ? -1 : 1) * (n(9) * 60 + n(10));
    return system_clock::from_time_t(::timegm(&tm)) + milliseconds(n(7)) - minutes(offsetMinutes);
}

system_clock::time_point utc(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms) {
    return sys_days(year(y) / month(mo) / day(d)) + hours(h) + minutes(mi) + seconds(s) +
           milliseconds(ms);
}

TEST(CliConventions, DateTimeIsIsoWithTheOffsetAndReadsBack) {
    struct Case {
        const char* tz;
        system_clock::time_point when;
        const char* expected;
    };
    const Case cases[] = {
        {"UTC0", system_clock::time_point{}, "1970-01-01T00:00:00.000+00:00"},
        {"UTC0", system_clock::time_point{} - milliseconds(1), "1969-12-31T23:59:59.999+00:00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", utc(2026, 12, 8, 13, 3, 7, 125),
         "2026-12-08T14:03:07.125+01:00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", utc(2026, 7, 1, 21, 59, 59, 999),
         "2026-07-01T23:59:59.999+02:00"},
        {"IST-5:30", utc(2026, 12, 31, 20, 0, 0, 5), "2027-01-01T01:30:00.005+05:30"},
        {"NST3:30", utc(2026, 3, 1, 2, 0, 0, 0), "2026-02-28T22:30:00.000-03:30"},
        {"HST10", utc(2024, 2, 29, 23, 59, 0, 40), "2024-02-29T13:59:00.040-10:00"},
    };
    for (const Case& c : cases) {
        TimeZone zone(c.tz);
        const std::string text = dateTimeText(c.when);
        EXPECT_EQ(text, c.expected) << c.tz;
        const auto back = parseDateTime(text);
        ASSERT_TRUE(back.has_value()) << text;
        EXPECT_EQ(*back, floor<milliseconds>(c.when)) << text;
    }
    // Now, in the zone this machine has: within the time the call took.
    const auto before = floor<milliseconds>(system_clock::now());
    const auto back = parseDateTime(dateTimeText());
    const auto after = system_clock::now();
    ASSERT_TRUE(back.has_value());
    EXPECT_GE(*back, before);
    EXPECT_LE(*back, after);
}

// The longest run of digits in a text.
std::size_t longestDigitRun(const std::string& text) {
    std::size_t longest = 0, run = 0;
    for (char c : text) {
        run = (c >= '0' && c <= '9') ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

TEST(CliConventions, RangeMessagesUsePlainNumbers) {
    const NumberRange ms{0, 86'400'000, true, "milliseconds"};
    const NumberRange port{1, 8, true, {}};
    const NumberRange secs{0, 1e8, false, "seconds"};
    const NumberRange wide{0, 9.2e18, true, {}};
    const std::string huge(300, '9');
    struct Case {
        std::string text;
        const NumberRange* range;
        const char* message;  // the whole message
    };
    const Case bad[] = {
        {"1e300", &ms, "expected a whole number from 0 to 86400000 (milliseconds), got 1e300"},
        {"-1", &ms, "expected a whole number from 0 to 86400000 (milliseconds), got -1"},
        {"2.5", &port, "expected a whole number from 1 to 8, got 2.5"},
        {"0", &port, "expected a whole number from 1 to 8, got 0"},
        {"abc", &port, "expected a whole number from 1 to 8, got \"abc\""},
        {"", &port, "expected a whole number from 1 to 8, got \"\""},
        {" 3", &port, "expected a whole number from 1 to 8, got \" 3\""},
        {"3x", &port, "expected a whole number from 1 to 8, got \"3x\""},
        {"nan", &secs, "expected a number from 0 to 100000000 (seconds), got \"nan\""},
        {"inf", &secs, "expected a number from 0 to 100000000 (seconds), got \"inf\""},
        {"1e400", &secs, "expected a number from 0 to 100000000 (seconds), got 1e400"},
        {huge, &secs, "expected a number from 0 to 100000000 (seconds), got 1e300"},
        {"1" + huge + "0", &secs, "expected a number from 0 to 100000000 (seconds), got 2e301"},
        {std::string(400, '9'), &secs,
         "expected a number from 0 to 100000000 (seconds), got 999999999999... (400 "
         "characters)"},
        {std::string(40, 'x'), &secs,
         "expected a number from 0 to 100000000 (seconds), got \"xxxxxxxxxxxx\"... (40 "
         "characters)"},
        {"1e19", &wide, "expected a whole number from 0 to 9.2e18, got 1e19"},
    };
    for (const Case& c : bad) {
        std::string text = c.text;
        const std::string message = numberProblem(text, *c.range);
        EXPECT_EQ(message, c.message) << c.text.substr(0, 30);
        EXPECT_LE(longestDigitRun(message), 12u) << message;
        EXPECT_EQ(text, c.text) << "a refused value is left as it was";
    }

    struct Good {
        const char* text;
        const NumberRange* range;
        const char* read;  // the text the option then reads
    };
    const Good good[] = {
        {"0", &ms, "0"},       {"86400000", &ms, "86400000"}, {"1e3", &ms, "1000"},
        {"0x10", &ms, "16"},   {"7.0", &port, "7"},           {"-0", &ms, "0"},
        {"2.5", &secs, "2.5"}, {"1e8", &secs, "1e8"},         {"0.001", &secs, "0.001"},
    };
    for (const Good& g : good) {
        std::string text = g.text;
        EXPECT_EQ(numberProblem(text, *g.range), "") << g.text;
        EXPECT_EQ(text, g.read) << g.text;
    }
}

TEST(CliConventions, ReadableNumbers) {
    const std::pair<double, const char*> cases[] = {
        {0, "0"},
        {-0.0, "0"},
        {86'400'000, "86400000"},
        {-32768, "-32768"},
        {0.5, "0.5"},
        {1e12, "1e12"},
        {1.5e300, "1.5e300"},
        {2.5e-7, "2.5e-7"},
        {9223372036854775807.0, "9.22337e18"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(readableNumber(value), text) << text;
}

TEST(CliConventions, OneOfNamesTheChoices) {
    CLI::Validator bits = vantrel::cli::oneOfCheck({8, 10, 12});
    const std::pair<std::string, std::string> cases[] = {
        {"9", "expected 8, 10 or 12, got 9"},
        {"1e300", "expected 8, 10 or 12, got 1e300"},
        {"twelve", "expected 8, 10 or 12, got \"twelve\""},
        {std::string(100, '8'), "expected 8, 10 or 12, got 8.88889e99"},
    };
    for (auto [text, message] : cases) EXPECT_EQ(bits(text), message);
    std::string text = "1.0e1";
    EXPECT_EQ(bits(text), "");
    EXPECT_EQ(text, "10");
}

TEST(CliConventions, MissingValuesPerFormat) {
    using vantrel::Variant;
    struct Case {
        std::optional<Variant> value;
        const char* text;
        const char* json;
        const char* csv;
    };
    const Case cases[] = {
        {std::nullopt, "-", "null", ""},
        // Empty and Null are values: the text names them; JSON has null for Empty as ever.
        {Variant(), "Empty", "null", ""},
        {Variant::null(), "Null", R"({"type":"Null"})", "Null"},
        {Variant(int16_t{0}), "0", "0", "0"},
        {Variant(805.25), "805.25", "805.25", "805.25"},
        {Variant(std::string("-")), R"("-")", R"("-")", "-"},
        {Variant(true), "True", "true", "True"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vantrel::cli::valueText(c.value), c.text);
        EXPECT_EQ(vantrel::cli::valueJson(c.value).dump(), c.json) << c.text;
        EXPECT_EQ(vantrel::cli::csvValue(c.value), c.csv) << c.text;
    }
}

TEST(CliConventions, CsvRecordsQuoteOnlyWhatNeedsIt) {
    using vantrel::cli::csvRecord;
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"2026-12-08T14:03:07.125+01:00", "InterruptLow", "", ""},
         "2026-12-08T14:03:07.125+01:00,InterruptLow,,"},
        {{"a,b", "say \"hi\"", "two\nlines"}, "\"a,b\",\"say \"\"hi\"\"\",\"two\nlines\""},
        {{" padded", "end "}, "\" padded\",\"end \""},
        {{"L\\r\\n"}, "L\\r\\n"},
        {{""}, ""},
        {{"", ""}, ","},
    };
    for (const auto& [fields, line] : cases) EXPECT_EQ(csvRecord(fields), line);
}

TEST(CliConventions, ARefusedChannelSaysWhy) {
    using vantrel::cli::channelRefusal;
    struct Case {
        int bits;
        int channel;
        const char* why;  // empty: the converter has the channel
    };
    const Case cases[] = {
        {8, 0, ""},
        {8, 11, ""},
        {8, 12, "the 8-bit converter has no channel 12 (channels 0 to 11); nothing was sent"},
        {8, -1, "the 8-bit converter has no channel -1 (channels 0 to 11); nothing was sent"},
        {8, 32767, "the 8-bit converter has no channel 32767 (channels 0 to 11); nothing was sent"},
        {10, 13, ""},
        {10, 14, "the 10-bit converter has no channel 14 (channels 0 to 13); nothing was sent"},
        {12, -32768,
         "the 12-bit converter has no channel -32768 (channels 0 to 13); nothing was sent"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(channelRefusal(c.bits, c.channel), c.why) << c.bits << " " << c.channel;
}

}  // namespace
