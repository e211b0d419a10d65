// vantrel: Variant, the component model's tagged value, and its standard conversions.
#pragma once

#include "vantrel/export.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vantrel VANTREL_API {

// Type codes of the component model.
enum class VarType : uint16_t {
    Empty = 0,
    Null = 1,
    Integer = 2,  // 16-bit signed
    Long = 3,     // 32-bit signed
    Double = 5,
    Currency = 6,  // 64-bit, scaled by 10,000
    String = 8,    // UTF-8 here
    Boolean = 11,  // 16-bit; true is -1
};

// A currency amount: the value times 10,000.
struct Currency {
    int64_t scaled = 0;
    friend bool operator==(Currency, Currency) = default;
};

// Tagged value. Conversions follow the component model's rules; a conversion that cannot be
// made throws vantrel::Error (6 Overflow, 13 Type mismatch, 94 Invalid use of Null).
class Variant {
  public:
    struct NullTag {};

    Variant() = default;  // Empty
    Variant(NullTag) : v_(NullTag{}) {}
    Variant(int16_t i) : v_(i) {}
    Variant(int32_t l) : v_(l) {}
    Variant(double d) : v_(d) {}
    Variant(Currency c) : v_(c) {}
    Variant(std::string s) : v_(std::move(s)) {}
    Variant(const char* s) : v_(std::string(s)) {}
    Variant(bool b) : v_(BoolValue{b}) {}

    static Variant null() { return Variant(NullTag{}); }

    VarType type() const noexcept;
    bool isEmpty() const noexcept { return type() == VarType::Empty; }
    bool isNull() const noexcept { return type() == VarType::Null; }
    bool isNumeric() const noexcept;  // Integer, Long, Double, Currency, Boolean

    // Direct access; each throws Error 13 when the Variant holds another type.
    int16_t asInteger() const;
    int32_t asLong() const;
    double asDouble() const;
    Currency asCurrency() const;
    const std::string& asString() const;
    bool asBoolean() const;

    // Standard conversions.
    int32_t toLong() const;     // round half to even; 6 when out of range
    int16_t toInteger() const;  // round half to even; 6 when out of range
    double toDouble() const;
    bool toBoolean() const;  // non-zero is true; "True"/"False" in any case; numeric text
    Currency toCurrency() const;
    std::string toString() const;  // numbers as formatNumber writes them; Boolean "True"/"False"

    // Comparison with a number, as the component model compares a Variant with a numeric
    // constant: numbers by value, numeric text as its number, Empty as 0, Null equals nothing;
    // non-numeric text throws Error 13.
    bool equalsNumber(double n) const;

    // Exact equality of type and value (Integer 1 and Long 1 differ).
    friend bool operator==(const Variant& a, const Variant& b) { return a.v_ == b.v_; }

  private:
    struct BoolValue {
        bool b;
        friend bool operator==(BoolValue, BoolValue) = default;
    };
    std::variant<std::monostate, NullTag, int16_t, int32_t, double, Currency, std::string,
                 BoolValue>
        v_;
    friend bool operator==(NullTag, NullTag) { return true; }
};

// Rounds to the nearest integer, an exact half to the even neighbour (2.5 -> 2, 3.5 -> 4).
double roundHalfEven(double x) noexcept;

// Rounds half to even into a Long; throws Error 6 when the result is outside the Long range
// (or x is not finite).
int32_t roundToLong(double x);

// Reads text that is entirely a number (blanks around it allowed): optional sign, digits with
// at most one decimal point, optional exponent E or D; or &H hex / &O octal. Nothing when the
// text is anything else. The decimal point may also be the locale's decimal separator. &H and
// &O values of up to 16 bits read as 16-bit signed (&HFFFF is -1), up to 32 bits as 32-bit
// signed (&HFFFFFFFF is -1). Throws Error 6 for a number beyond a double or beyond 32 bits.
std::optional<double> parseNumericText(std::string_view text);

// Writes a number as the component model does: no leading blank, no decimal point for a whole
// number, up to 15 significant digits with trailing zeros dropped, the locale's decimal
// separator, exponent form (1E+20, 1.5E-07) for very large or very small magnitudes.
std::string formatNumber(double x);

// Reads a number from reply text the way replies are read: space, tab and line feed are
// ignored wherever they stand; the rest is read from its start as an optional sign, digits
// with at most one decimal point and an optional exponent (E or D, optional sign, digits), or
// &H hex / &O octal digits (same sign rule as parseNumericText); reading stops at the first
// character that does not fit; no readable number gives 0. Never allocates.
// Throws Error 6 for a number beyond a double (or a hex/octal value beyond 32 bits).
double readReplyNumber(std::string_view text);

}  // namespace vantrel
