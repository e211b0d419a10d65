// The text conversions of Variant: numeric text, Long and Boolean from strings, and the round
// trip of a number through formatNumber.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "check.hpp"
#include "vantrel/error.hpp"
#include "vantrel/variant.hpp"

using namespace vantrel;

namespace {

bool allowedError(const Error& e) {
    return e.number() == err::Overflow || e.number() == err::TypeMismatch;
}

// Reads what formatNumber wrote and checks it is the same number to 15 significant digits.
void roundTrip(double x) {
    const std::string text = formatNumber(x);
    FUZZ_CHECK(!text.empty());
    FUZZ_CHECK(text.front() != ' ');
    if (!std::isfinite(x)) return;
    std::optional<double> back;
    try {
        back = parseNumericText(text);
    } catch (const Error& e) {
        // Fifteen digits round the largest doubles up past the range, as the component model's
        // own text form does; nothing else may fail to read back.
        FUZZ_CHECK(e.number() == err::Overflow && std::fabs(x) > 1.79769313486231e308);
        return;
    }
    FUZZ_CHECK(back.has_value());
    const double tolerance = std::max(std::fabs(x) * 1e-14, 1e-300);
    FUZZ_CHECK(std::fabs(*back - x) <= tolerance);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::optional<double> numeric;
    bool overflow = false;
    try {
        numeric = parseNumericText(text);
    } catch (const Error& e) {
        FUZZ_CHECK(e.number() == err::Overflow);
        overflow = true;
    }
    if (numeric) {
        FUZZ_CHECK(std::isfinite(*numeric));
        roundTrip(*numeric);
    }

    const Variant v(text);
    try {
        const int32_t l = v.toLong();
        // A string converts to a Long exactly when it is numeric text in range.
        FUZZ_CHECK(numeric.has_value());
        FUZZ_CHECK(l == roundToLong(*numeric));
    } catch (const Error& e) {
        FUZZ_CHECK(allowedError(e));
        if (e.number() == err::TypeMismatch) FUZZ_CHECK(!numeric && !overflow);
    }
    try {
        const bool b = v.toBoolean();
        if (numeric) FUZZ_CHECK(b == (*numeric != 0));
    } catch (const Error& e) {
        FUZZ_CHECK(allowedError(e));
        FUZZ_CHECK(!numeric);
    }
    try {
        const double d = v.toDouble();
        FUZZ_CHECK(numeric.has_value() && d == *numeric);
    } catch (const Error& e) {
        FUZZ_CHECK(allowedError(e));
    }
    try {
        (void)v.toInteger();
        (void)v.toCurrency();
        (void)v.equalsNumber(0);
    } catch (const Error& e) {
        FUZZ_CHECK(allowedError(e));
    }

    // Any eight bytes as a double: formatting never fails and reads back.
    if (size >= sizeof(double)) {
        double x;
        std::memcpy(&x, data, sizeof x);
        roundTrip(x);
    }
    return 0;
}
