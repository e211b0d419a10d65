#include "vantrel/variant.hpp"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>

#include "vantrel/error.hpp"

namespace vantrel {

namespace {

constexpr int64_t kCurrencyScale = 10000;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Characters the reply reading rule ignores wherever they stand.
bool isReplyIgnorable(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The locale's decimal separator when it is a single character other than '.', else 0.
char localeDecimalAlternative() {
    const char* dp = std::localeconv()->decimal_point;
    if (dp != nullptr && dp[0] != '\0' && dp[1] == '\0' && dp[0] != '.') return dp[0];
    return '\0';
}

// Walks a view; in reply mode, blanks are skipped wherever they stand.
class Cursor {
  public:
    Cursor(std::string_view s, bool skipIgnorable) : s_(s), skip_(skipIgnorable) {}

    // The current character, or '\0' at the end (a NUL fits no number either).
    char peek() {
        if (skip_) {
            while (pos_ < s_.size() && isReplyIgnorable(s_[pos_])) ++pos_;
        }
        return pos_ < s_.size() ? s_[pos_] : '\0';
    }
    void advance() { ++pos_; }
    size_t pos() const { return pos_; }
    void seek(size_t p) { pos_ = p; }
    std::string_view rest() const { return s_.substr(pos_); }

  private:
    std::string_view s_;
    size_t pos_ = 0;
    bool skip_;
};

// &H / &O digits after the prefix. Values of up to 16 bits are 16-bit signed, up to 32 bits
// 32-bit signed, as the component model types such literals.
std::optional<double> scanHexOctal(Cursor& c) {
    const char kind = upper(c.peek());
    if (kind != 'H' && kind != 'O') return std::nullopt;
    const int base = kind == 'H' ? 16 : 8;
    c.advance();
    uint64_t value = 0;
    bool any = false;
    bool tooBig = false;
    for (;;) {
        const int d = digitValue(c.peek());
        if (d >= base) break;
        c.advance();
        any = true;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (value > 0xFFFFFFFFu) {
            tooBig = true;
            value = 0;  // keeps consuming digits without wrapping
        }
    }
    if (!any) return std::nullopt;
    if (tooBig) throw Error(err::Overflow);
    if (value <= 0xFFFFu) return static_cast<double>(static_cast<int16_t>(value));
    return static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(value)));
}

// Decimal form: [sign] digits [point digits] [E|D [sign] digits]. Digits are gathered into a
// fixed buffer (significant digits beyond its room only shift the exponent and leave a sticky
// non-zero digit), then converted once, so nothing is allocated.
std::optional<double> scanDecimal(Cursor& c, char pointAlt) {
    constexpr int kMaxDigits = 100;
    char buf[kMaxDigits + 32];
    int nDigits = 0;
    bool sticky = false;
    int64_t exp10 = 0;
    bool negative = false;
    bool anyDigit = false;
    bool seenPoint = false;

    char ch = c.peek();
    if (ch == '+' || ch == '-') {
        negative = ch == '-';
        c.advance();
    }
    for (;;) {
        ch = c.peek();
        if (ch >= '0' && ch <= '9') {
            c.advance();
            anyDigit = true;
            if (nDigits == 0 && ch == '0') {
                if (seenPoint) --exp10;  // leading zero after the point
            } else if (nDigits < kMaxDigits) {
                buf[nDigits++] = ch;
                if (seenPoint) --exp10;
            } else {
                if (ch != '0') sticky = true;
                if (!seenPoint) ++exp10;
            }
        } else if (!seenPoint && (ch == '.' || (pointAlt != '\0' && ch == pointAlt))) {
            c.advance();
            seenPoint = true;
        } else {
            break;
        }
    }
    if (!anyDigit) return std::nullopt;

    ch = upper(c.peek());
    if (ch == 'E' || ch == 'D') {
        const size_t mark = c.pos();
        c.advance();
        bool expNegative = false;
        ch = c.peek();
        if (ch == '+' || ch == '-') {
            expNegative = ch == '-';
            c.advance();
        }
        int64_t e = 0;
        bool expDigits = false;
        for (ch = c.peek(); ch >= '0' && ch <= '9'; ch = c.peek()) {
            c.advance();
            expDigits = true;
            if (e < 1'000'000) e = e * 10 + (ch - '0');  // saturates far beyond any double
        }
        if (expDigits) {
            exp10 += expNegative ? -e : e;
        } else {
            c.seek(mark);  // "1E" reads as 1; the letter is not part of the number
        }
    }

    if (nDigits == 0) return 0.0;
    const int64_t magnitude = exp10 + nDigits;  // decimal places before the point
    if (sticky) {
        buf[nDigits++] = '1';
        --exp10;
    }
    char* end = buf + nDigits;
    *end++ = 'e';
    end = std::to_chars(end, buf + sizeof buf, exp10).ptr;

    double value = 0.0;
    const auto res = std::from_chars(buf, end, value, std::chars_format::scientific);
    if (res.ec == std::errc::result_out_of_range) {
        if (magnitude > 0) throw Error(err::Overflow);
        return 0.0;  // below the smallest double
    }
    if (value == 0.0) return 0.0;
    return negative ? -value : value;
}

std::optional<double> scanNumber(Cursor& c, char pointAlt) {
    if (c.peek() == '&') {
        const size_t mark = c.pos();
        c.advance();
        if (auto v = scanHexOctal(c)) return v;
        c.seek(mark);
        return std::nullopt;
    }
    return scanDecimal(c, pointAlt);
}

int64_t currencyToWhole(Currency c) {
    int64_t q = c.scaled / kCurrencyScale;
    const int64_t r = c.scaled % kCurrencyScale;
    constexpr int64_t half = kCurrencyScale / 2;
    if (r > half || (r == half && (q & 1) != 0)) ++q;
    if (r < -half || (r == -half && (q & 1) != 0)) --q;
    return q;
}

double currencyToDouble(Currency c) {
    return static_cast<double>(c.scaled) / kCurrencyScale;
}

Currency doubleToCurrency(double x) {
    if (!std::isfinite(x)) throw Error(err::Overflow);
    const double s = roundHalfEven(x * static_cast<double>(kCurrencyScale));
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (s < -kLimit || s >= kLimit) throw Error(err::Overflow);
    return Currency{static_cast<int64_t>(s)};
}

std::string currencyToString(Currency c) {
    const bool negative = c.scaled < 0;
    const uint64_t u =
        negative ? 0 - static_cast<uint64_t>(c.scaled) : static_cast<uint64_t>(c.scaled);
    std::string out = negative ? "-" : "";
    out += std::to_string(u / kCurrencyScale);
    uint64_t frac = u % kCurrencyScale;
    if (frac != 0) {
        char digits[4];
        for (int i = 3; i >= 0; --i) {
            digits[i] = static_cast<char>('0' + frac % 10);
            frac /= 10;
        }
        int n = 4;
        while (digits[n - 1] == '0') --n;
        out += std::localeconv()->decimal_point;
        out.append(digits, static_cast<size_t>(n));
    }
    return out;
}

double textToNumber(const std::string& s) {
    if (auto v = parseNumericText(s)) return *v;
    throw Error(err::TypeMismatch);
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

double roundHalfEven(double x) noexcept {
    // std::round takes halves away from zero; an exact half goes to the even neighbour instead.
    if (std::fabs(x - std::trunc(x)) == 0.5) return 2.0 * std::round(x / 2.0);
    return std::round(x);
}

int32_t roundToLong(double x) {
    if (!std::isfinite(x)) throw Error(err::Overflow);
    const double r = roundHalfEven(x);
    if (r < -2147483648.0 || r > 2147483647.0) throw Error(err::Overflow);
    return static_cast<int32_t>(r);
}

std::optional<double> parseNumericText(std::string_view text) {
    text = trimBlanks(text);
    Cursor c(text, false);
    auto v = scanNumber(c, localeDecimalAlternative());
    if (!v || c.pos() != text.size()) return std::nullopt;
    return v;
}

double readReplyNumber(std::string_view text) {
    Cursor c(text, true);
    return scanNumber(c, '\0').value_or(0.0);
}

std::string formatNumber(double x) {
    if (x == 0.0) return "0";  // also -0
    char buf[48];
    // %G with 15 digits is the component model's layout: trailing zeros dropped, exponent form
    // from 1E+15 up and below 1E-4, at least two exponent digits; the locale gives the point.
    const int n = std::snprintf(buf, sizeof buf, "%.15G", x);
    return std::string(buf, static_cast<size_t>(n));
}

VarType Variant::type() const noexcept {
    switch (v_.index()) {
        case 0:
            return VarType::Empty;
        case 1:
            return VarType::Null;
        case 2:
            return VarType::Integer;
        case 3:
            return VarType::Long;
        case 4:
            return VarType::Double;
        case 5:
            return VarType::Currency;
        case 6:
            return VarType::String;
        default:
            return VarType::Boolean;
    }
}

bool Variant::isNumeric() const noexcept {
    switch (type()) {
        case VarType::Integer:
        case VarType::Long:
        case VarType::Double:
        case VarType::Currency:
        case VarType::Boolean:
            return true;
        default:
            return false;
    }
}

int16_t Variant::asInteger() const {
    if (auto p = std::get_if<int16_t>(&v_)) return *p;
    throw Error(err::TypeMismatch);
}

int32_t Variant::asLong() const {
    if (auto p = std::get_if<int32_t>(&v_)) return *p;
    throw Error(err::TypeMismatch);
}

double Variant::asDouble() const {
    if (auto p = std::get_if<double>(&v_)) return *p;
    throw Error(err::TypeMismatch);
}

Currency Variant::asCurrency() const {
    if (auto p = std::get_if<Currency>(&v_)) return *p;
    throw Error(err::TypeMismatch);
}

const std::string& Variant::asString() const {
    if (auto p = std::get_if<std::string>(&v_)) return *p;
    throw Error(err::TypeMismatch);
}

bool Variant::asBoolean() const {
    if (auto p = std::get_if<BoolValue>(&v_)) return p->b;
    throw Error(err::TypeMismatch);
}

int32_t Variant::toLong() const {
    switch (type()) {
        case VarType::Empty:
            return 0;
        case VarType::Null:
            throw Error(err::InvalidUseOfNull);
        case VarType::Integer:
            return std::get<int16_t>(v_);
        case VarType::Long:
            return std::get<int32_t>(v_);
        case VarType::Double:
            return roundToLong(std::get<double>(v_));
        case VarType::Currency: {
            const int64_t whole = currencyToWhole(std::get<Currency>(v_));
            if (whole < std::numeric_limits<int32_t>::min() ||
                whole > std::numeric_limits<int32_t>::max()) {
                throw Error(err::Overflow);
            }
            return static_cast<int32_t>(whole);
        }
        case VarType::String:
            return roundToLong(textToNumber(std::get<std::string>(v_)));
        case VarType::Boolean:
            return std::get<BoolValue>(v_).b ? -1 : 0;
    }
    throw Error(err::TypeMismatch);
}

int16_t Variant::toInteger() const {
    const int32_t l = toLong();
    // Rounding to a Long first cannot change the result: a value that rounds into the Long
    // range rounds to the same whole number either way.
    if (l < std::numeric_limits<int16_t>::min() || l > std::numeric_limits<int16_t>::max()) {
        throw Error(err::Overflow);
    }
    return static_cast<int16_t>(l);
}

double Variant::toDouble() const {
    switch (type()) {
        case VarType::Empty:
            return 0.0;
        case VarType::Null:
            throw Error(err::InvalidUseOfNull);
        case VarType::Integer:
            return std::get<int16_t>(v_);
        case VarType::Long:
            return std::get<int32_t>(v_);
        case VarType::Double:
            return std::get<double>(v_);
        case VarType::Currency:
            return currencyToDouble(std::get<Currency>(v_));
        case VarType::String:
            return textToNumber(std::get<std::string>(v_));
        case VarType::Boolean:
            return std::get<BoolValue>(v_).b ? -1.0 : 0.0;
    }
    throw Error(err::TypeMismatch);
}

bool Variant::toBoolean() const {
    switch (type()) {
        case VarType::Empty:
            return false;
        case VarType::Null:
            throw Error(err::InvalidUseOfNull);
        case VarType::Integer:
            return std::get<int16_t>(v_) != 0;
        case VarType::Long:
            return std::get<int32_t>(v_) != 0;
        case VarType::Double:
            return std::get<double>(v_) != 0.0;
        case VarType::Currency:
            return std::get<Currency>(v_).scaled != 0;
        case VarType::String: {
            const std::string_view t = trimBlanks(std::get<std::string>(v_));
            if (equalsIgnoreCase(t, "True")) return true;
            if (equalsIgnoreCase(t, "False")) return false;
            return textToNumber(std::get<std::string>(v_)) != 0.0;
        }
        case VarType::Boolean:
            return std::get<BoolValue>(v_).b;
    }
    throw Error(err::TypeMismatch);
}

Currency Variant::toCurrency() const {
    switch (type()) {
        case VarType::Empty:
            return Currency{};
        case VarType::Null:
            throw Error(err::InvalidUseOfNull);
        case VarType::Integer:
            return Currency{std::get<int16_t>(v_) * kCurrencyScale};
        case VarType::Long:
            return Currency{std::get<int32_t>(v_) * kCurrencyScale};
        case VarType::Double:
            return doubleToCurrency(std::get<double>(v_));
        case VarType::Currency:
            return std::get<Currency>(v_);
        case VarType::String:
            return doubleToCurrency(textToNumber(std::get<std::string>(v_)));
        case VarType::Boolean:
            return Currency{std::get<BoolValue>(v_).b ? -kCurrencyScale : 0};
    }
    throw Error(err::TypeMismatch);
}

std::string Variant::toString() const {
    switch (type()) {
        case VarType::Empty:
            return {};
        case VarType::Null:
            throw Error(err::InvalidUseOfNull);
        case VarType::Integer:
            return std::to_string(std::get<int16_t>(v_));
        case VarType::Long:
            return std::to_string(std::get<int32_t>(v_));
        case VarType::Double:
            return formatNumber(std::get<double>(v_));
        case VarType::Currency:
            return currencyToString(std::get<Currency>(v_));
        case VarType::String:
            return std::get<std::string>(v_);
        case VarType::Boolean:
            return std::get<BoolValue>(v_).b ? "True" : "False";
    }
    throw Error(err::TypeMismatch);
}

bool Variant::equalsNumber(double n) const {
    if (isNull()) return false;
    return toDouble() == n;
}

}  // namespace vantrel
