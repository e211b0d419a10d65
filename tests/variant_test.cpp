#include "vantrel/variant.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>

#include "vantrel/error.hpp"

using vantrel::Currency;
using vantrel::Error;
using vantrel::Variant;
using vantrel::VarType;

namespace {

// Runs f and returns the number of the vantrel::Error it throws, or 0 when it throws none.
template <typename F>
int32_t errorOf(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.number();
    }
    return 0;
}

Variant cur(int64_t scaled) {
    return Variant(Currency{scaled});
}

TEST(VariantRounding, HalfToEvenIntoLong) {
    struct Case {
        double in;
        int32_t out;
    };
    // clang-format off
    const Case cases[] = {
        {2.5, 2}, {3.5, 4}, {-2.5, -2}, {-3.5, -4}, {0.5, 0}, {1.5, 2}, {-0.5, 0}, {-2.6, -3},
        {2.4999999, 2}, {2.5000001, 3}, {1e-300, 0}, {4095.0, 4095},
        {2147483647.4, 2147483647}, {-2147483648.5, -2147483648}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(Variant(c.in).toLong(), c.out) << c.in;
        EXPECT_EQ(vantrel::roundToLong(c.in), c.out) << c.in;
    }
    EXPECT_EQ(vantrel::roundHalfEven(4503599627370497.0), 4503599627370497.0);  // beyond halves
}

TEST(VariantRounding, CurrencyRoundsOnItsScaledValue) {
    struct Case {
        int64_t scaled;
        int32_t out;
    };
    const Case cases[] = {{25000, 2}, {35000, 4},   {-25000, -2}, {25001, 3},
                          {24999, 2}, {-35000, -4}, {10000, 1},   {5000, 0}};
    for (const auto& c : cases) EXPECT_EQ(cur(c.scaled).toLong(), c.out) << c.scaled;
}

TEST(VariantOverflow, LongAndIntegerEdges) {
    EXPECT_EQ(errorOf([] { Variant(2147483647.5).toLong(); }), vantrel::err::Overflow);
    EXPECT_EQ(errorOf([] { Variant(-2147483648.51).toLong(); }), vantrel::err::Overflow);
    EXPECT_EQ(errorOf([] { Variant(1e300).toLong(); }), vantrel::err::Overflow);
    EXPECT_EQ(errorOf([] { Variant(std::nan("")).toLong(); }), vantrel::err::Overflow);
    EXPECT_EQ(errorOf([] { Variant(HUGE_VAL).toLong(); }), vantrel::err::Overflow);
    EXPECT_EQ(errorOf([] { cur(21474836480000).toLong(); }), vantrel::err::Overflow);
    EXPECT_EQ(cur(21474836474999).toLong(), 2147483647);

    EXPECT_EQ(Variant(32767.4).toInteger(), 32767);
    EXPECT_EQ(Variant(-32768.5).toInteger(), -32768);
    EXPECT_EQ(errorOf([] { Variant(32767.5).toInteger(); }), vantrel::err::Overflow);
    EXPECT_EQ(errorOf([] { Variant(int32_t{40000}).toInteger(); }), vantrel::err::Overflow);
    EXPECT_EQ(errorOf([] { Variant("1E10").toInteger(); }), vantrel::err::Overflow);

    EXPECT_EQ(Variant(900000000000000.0).toCurrency(), (Currency{9000000000000000000}));
    EXPECT_EQ(errorOf([] { Variant(1e15).toCurrency(); }), vantrel::err::Overflow);
    EXPECT_EQ(errorOf([] { Variant(-HUGE_VAL).toCurrency(); }), vantrel::err::Overflow);

    Error e(vantrel::err::Overflow);
    EXPECT_STREQ(e.what(), "Overflow");
}

TEST(VariantText, NumericTextConverts) {
    struct Case {
        const char* text;
        double value;
    };
    // clang-format off
    const Case cases[] = {
        {"12", 12}, {"  12  ", 12}, {"\t-7\t", -7}, {"+3", 3}, {"2.5", 2.5}, {".5", 0.5},
        {"5.", 5}, {"1.5E2", 150}, {"1.5e-2", 0.015}, {"1.5D2", 150}, {"2d+1", 20}, {"-0", 0},
        {"&H1F", 31}, {"&h1f", 31}, {"&HFFFF", -1}, {"&H8000", -32768}, {"&H10000", 65536},
        {"&HFFFFFFFF", -1}, {"&H7FFFFFFF", 2147483647}, {"&O17", 15}, {"&o177777", -1},
        {"&O37777777777", -1}, {"  &H0A ", 10}, {"0.1", 0.1},
        {"123456789012345678901234567890", 1.2345678901234568e29}};
    // clang-format on
    for (const auto& c : cases) {
        auto v = vantrel::parseNumericText(c.text);
        ASSERT_TRUE(v.has_value()) << c.text;
        EXPECT_DOUBLE_EQ(*v, c.value) << c.text;
        EXPECT_DOUBLE_EQ(Variant(c.text).toDouble(), c.value) << c.text;
    }
    EXPECT_EQ(Variant(" 2.5 ").toLong(), 2);
    EXPECT_EQ(Variant("3.5").toInteger(), 4);
    EXPECT_EQ(Variant("&HFFFF").toLong(), -1);
}

TEST(VariantText, NonNumericTextIsTypeMismatch) {
    const char* texts[] = {"",    " ",   "abc", "12abc", "1.2.3", "1E",  "E5",  "&H",
                           "&HG", "- 5", "--5", ".",     "+",     "1 2", "&Z1", "-&H1"};
    for (const char* t : texts) {
        EXPECT_FALSE(vantrel::parseNumericText(t).has_value()) << t;
        EXPECT_EQ(errorOf([&] { Variant(t).toLong(); }), vantrel::err::TypeMismatch) << t;
        EXPECT_EQ(errorOf([&] { Variant(t).toDouble(); }), vantrel::err::TypeMismatch) << t;
    }
    EXPECT_EQ(errorOf([] { vantrel::parseNumericText("1E999"); }), vantrel::err::Overflow);
    EXPECT_EQ(errorOf([] { vantrel::parseNumericText("&H100000000"); }), vantrel::err::Overflow);
    EXPECT_EQ(vantrel::parseNumericText("1E-999"), 0.0);
}

TEST(VariantText, BooleanConversion) {
    struct Case {
        Variant v;
        bool out;
    };
    // clang-format off
    const Case cases[] = {
        {Variant("True"), true}, {Variant("tRUE"), true}, {Variant("FALSE"), false},
        {Variant(" false "), false}, {Variant("0"), false}, {Variant("0.4"), true},
        {Variant("-1"), true}, {Variant(0.0), false}, {Variant(0.001), true},
        {Variant(int16_t{0}), false}, {Variant(int32_t{7}), true}, {cur(1), true},
        {cur(0), false}, {Variant(), false}, {Variant(true), true}};
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(c.v.toBoolean(), c.out) << c.v.toString();
    EXPECT_EQ(errorOf([] { Variant("yes").toBoolean(); }), vantrel::err::TypeMismatch);
}

TEST(VariantNullEmpty, Rules) {
    const Variant empty;
    EXPECT_EQ(empty.type(), VarType::Empty);
    EXPECT_EQ(empty.toLong(), 0);
    EXPECT_EQ(empty.toInteger(), 0);
    EXPECT_EQ(empty.toDouble(), 0.0);
    EXPECT_EQ(empty.toCurrency(), Currency{});
    EXPECT_EQ(empty.toString(), "");

    const Variant null = Variant::null();
    EXPECT_TRUE(null.isNull());
    EXPECT_EQ(null.type(), VarType::Null);
    const int32_t nullUse = vantrel::err::InvalidUseOfNull;
    EXPECT_EQ(errorOf([&] { null.toLong(); }), nullUse);
    EXPECT_EQ(errorOf([&] { null.toInteger(); }), nullUse);
    EXPECT_EQ(errorOf([&] { null.toDouble(); }), nullUse);
    EXPECT_EQ(errorOf([&] { null.toBoolean(); }), nullUse);
    EXPECT_EQ(errorOf([&] { null.toCurrency(); }), nullUse);
    EXPECT_EQ(errorOf([&] { null.toString(); }), nullUse);
    EXPECT_STREQ(Error(nullUse).what(), "Invalid use of Null");
    EXPECT_FALSE(null.isNumeric());
    EXPECT_FALSE(empty.isNumeric());
}

TEST(VariantTypes, TagsAccessAndEquality) {
    EXPECT_EQ(Variant(int16_t{1}).type(), VarType::Integer);
    EXPECT_EQ(Variant(int32_t{1}).type(), VarType::Long);
    EXPECT_EQ(Variant(1.0).type(), VarType::Double);
    EXPECT_EQ(cur(1).type(), VarType::Currency);
    EXPECT_EQ(Variant("1").type(), VarType::String);
    EXPECT_EQ(Variant(true).type(), VarType::Boolean);
    EXPECT_TRUE(Variant(true).isNumeric());
    EXPECT_FALSE(Variant("1").isNumeric());

    EXPECT_EQ(Variant(true).toLong(), -1);
    EXPECT_EQ(Variant(false).toInteger(), 0);
    EXPECT_EQ(Variant(true).toString(), "True");
    EXPECT_EQ(Variant(false).toString(), "False");
    EXPECT_EQ(Variant(true).toCurrency(), (Currency{-10000}));
    EXPECT_EQ(Variant(int32_t{-5}).toCurrency(), (Currency{-50000}));
    EXPECT_EQ(Variant(1.23456).toCurrency(), (Currency{12346}));
    EXPECT_EQ(Variant(0.00005).toCurrency(), (Currency{0}));  // 0.5 of a unit, to even
    EXPECT_DOUBLE_EQ(cur(12345).toDouble(), 1.2345);
    EXPECT_EQ(cur(12340).toString(), "1.234");
    EXPECT_EQ(cur(-5).toString(), "-0.0005");
    EXPECT_EQ(cur(std::numeric_limits<int64_t>::min()).toString(), "-922337203685477.5808");
    EXPECT_EQ(Variant(int16_t{-32768}).toString(), "-32768");

    EXPECT_EQ(Variant(int16_t{7}).asInteger(), 7);
    EXPECT_EQ(Variant("x").asString(), "x");
    EXPECT_EQ(errorOf([] { Variant(int16_t{7}).asLong(); }), vantrel::err::TypeMismatch);
    EXPECT_EQ(errorOf([] { Variant(1.0).asString(); }), vantrel::err::TypeMismatch);
    EXPECT_EQ(errorOf([] { Variant().asDouble(); }), vantrel::err::TypeMismatch);

    EXPECT_FALSE(Variant(int16_t{1}) == Variant(int32_t{1}));
    EXPECT_TRUE(Variant::null() == Variant::null());
    EXPECT_FALSE(Variant() == Variant::null());
    EXPECT_TRUE(Variant("a") == Variant(std::string("a")));
}

TEST(VariantEquals, ComparesWithNumber) {
    struct Case {
        Variant v;
        double n;
        bool equal;
    };
    // clang-format off
    const Case cases[] = {
        {Variant(int16_t{10}), 10, true}, {Variant(int32_t{10}), 10, true},
        {Variant(10.0), 10, true}, {cur(100000), 10, true}, {cur(105000), 10.5, true},
        {Variant(10.5), 10, false}, {Variant(10.5), 11, false},
        {Variant("12"), 12, true}, {Variant(" 12 "), 12, true}, {Variant("&HC"), 12, true},
        {Variant("12"), 10, false}, {Variant(), 0, true}, {Variant(), 8, false},
        {Variant::null(), 0, false}, {Variant::null(), 8, false},
        {Variant(true), -1, true}, {Variant(false), 0, true}, {Variant(true), 1, false}};
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(c.v.equalsNumber(c.n), c.equal) << c.n;
    EXPECT_EQ(errorOf([] { Variant("ten").equalsNumber(10); }), vantrel::err::TypeMismatch);
    EXPECT_EQ(errorOf([] { Variant("").equalsNumber(0); }), vantrel::err::TypeMismatch);
}

TEST(FormatNumber, Layout) {
    struct Case {
        double in;
        const char* out;
    };
    // clang-format off
    const Case cases[] = {
        {523.25, "523.25"}, {522.75, "522.75"}, {131, "131"}, {0.1 + 0.2, "0.3"}, {-0.0, "0"},
        {0, "0"}, {-150, "-150"}, {1.0 / 3.0, "0.333333333333333"},
        {123456789012345.0, "123456789012345"}, {999999999999999.0, "999999999999999"},
        {1e15, "1E+15"}, {1.5e-7, "1.5E-07"}, {-2.5e20, "-2.5E+20"}, {1e100, "1E+100"},
        {0.0001, "0.0001"}, {0.00001, "1E-05"}, {2147483647.0, "2147483647"},
        {1234567890123456.0, "1.23456789012346E+15"}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(vantrel::formatNumber(c.in), c.out) << c.out;
        EXPECT_EQ(Variant(c.in).toString(), c.out) << c.out;
    }
}

// Restores the numeric locale on the way out, whatever the test did.
class CommaLocale : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = std::setlocale(LC_NUMERIC, nullptr);
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8",
                                 "nl_NL.UTF-8", "es_ES.UTF-8", "it_IT.UTF-8"}) {
            if (std::setlocale(LC_NUMERIC, name) != nullptr &&
                std::string(std::localeconv()->decimal_point) == ",") {
                return;
            }
        }
        std::setlocale(LC_NUMERIC, saved_.c_str());
        GTEST_SKIP() << "no locale with a decimal comma on this machine";
    }
    void TearDown() override { std::setlocale(LC_NUMERIC, saved_.c_str()); }

    std::string saved_;
};

TEST_F(CommaLocale, FormatUsesTheLocaleSeparatorAndReadingsDoNot) {
    EXPECT_EQ(vantrel::formatNumber(523.25), "523,25");
    EXPECT_EQ(vantrel::formatNumber(1.5e-7), "1,5E-07");
    EXPECT_EQ(vantrel::formatNumber(131), "131");
    EXPECT_EQ(cur(12345).toString(), "1,2345");
    EXPECT_DOUBLE_EQ(Variant("1,5").toDouble(), 1.5);  // what toString writes reads back
    EXPECT_DOUBLE_EQ(Variant("1.5").toDouble(), 1.5);
    EXPECT_DOUBLE_EQ(vantrel::readReplyNumber(" 1.5>"), 1.5);  // replies always use '.'
    EXPECT_DOUBLE_EQ(vantrel::readReplyNumber(" 1,5>"), 1);
}

TEST(ReplyNumber, ReadingRule) {
    struct Case {
        const char* text;
        double value;
    };
    // clang-format off
    const Case cases[] = {
        {" 523>", 523}, {" 4 095>", 4095}, {" -1.5E2>", -150}, {"2>", 2}, {">", 0}, {"", 0},
        {"1.2.3", 1.2}, {"E5", 0}, {"1E", 1}, {"1E+", 1}, {"1E2.5", 100}, {"12abc", 12},
        {"&H1F", 31}, {"&h1f", 31}, {"&HG", 0}, {"&H", 0}, {"&", 0}, {"&O17>", 15}, {"&o8", 0},
        {"&HFFFF", -1}, {"&HFFFFFFFF", -1}, {"&H10000", 65536}, {"1.5D2", 150}, {"2d-1", 0.2},
        {"\t1\n2 3", 123}, {"- 5", -5}, {"1 E 2", 100}, {"& H 1 F", 31}, {".5", 0.5},
        {"-.5>", -0.5}, {"-", 0}, {"+7", 7}, {"1e-999", 0}, {"0.000123", 0.000123}, {"A", 0},
        {"1\r2", 1}, {"3>4", 3}, {"00012", 12}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(vantrel::readReplyNumber(c.text), c.value) << c.text;
    EXPECT_FALSE(std::signbit(vantrel::readReplyNumber("-0")));

    EXPECT_EQ(errorOf([] { vantrel::readReplyNumber("1E999"); }), vantrel::err::Overflow);
    EXPECT_EQ(errorOf([] { vantrel::readReplyNumber("-1E999>"); }), vantrel::err::Overflow);
    EXPECT_EQ(errorOf([] { vantrel::readReplyNumber("&H100000000"); }), vantrel::err::Overflow);
}

TEST(ReplyNumber, LongDigitStringsKeepTheirMagnitude) {
    // More digits than the reader keeps: the rest shift the exponent and still round upwards.
    const std::string big = "1" + std::string(300, '0');
    EXPECT_DOUBLE_EQ(vantrel::readReplyNumber(big), 1e300);
    const std::string tiny = "0." + std::string(300, '0') + "25";
    EXPECT_DOUBLE_EQ(vantrel::readReplyNumber(tiny), 2.5e-301);
    const std::string tooBig = "1" + std::string(400, '0');
    EXPECT_EQ(errorOf([&] { vantrel::readReplyNumber(tooBig); }), vantrel::err::Overflow);
    const std::string longFraction = "0." + std::string(150, '3');
    EXPECT_DOUBLE_EQ(vantrel::readReplyNumber(longFraction), 1.0 / 3.0);
}

}  // namespace
