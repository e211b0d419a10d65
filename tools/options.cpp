// vantrel command-line tool: the options that say which control to build and where its
// ports are.
#include "options.hpp"
#include "line_rates.hpp"

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "vantrel/converters.hpp"
#include "vantrel/platform.hpp"

namespace vantrel::cli {

namespace {

const CLI::Validator kRate(
    [](std::string& text) -> std::string {
        for (int32_t r : kLineRates)
            if (text == std::to_string(r)) return {};
        return kLineRatesText;
    },
    "RATE");

}  // namespace

std::optional<std::pair<int, std::string>> parseMapping(std::string_view text) {
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq + 1 == text.size()) return std::nullopt;
    std::string_view number = text.substr(0, eq);
    if (number.size() > 3 && (number.substr(0, 3) == "COM" || number.substr(0, 3) == "com"))
        number.remove_prefix(3);
    if (number.empty() || number.size() > 3) return std::nullopt;
    int n = 0;
    for (char c : number) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > 255) return std::nullopt;
    return std::pair{n, std::string(text.substr(eq + 1))};
}

const CLI::Validator kMapping(
    [](std::string& text) -> std::string {
        return parseMapping(text) ? std::string() : "expected N=PATH with N from 1 to 255";
    },
    "N=PATH");

void applyMaps(const std::vector<std::string>& maps, const std::optional<std::string>& device) {
    // An empty path would leave COM1 on its default device: refused rather than guessed.
    if (device && device->empty())
        throw CLI::ValidationError("--device", "the device path cannot be empty");
    for (const std::string& m : maps) {
        const auto parsed = parseMapping(m);
        if (!parsed) throw CLI::ValidationError("--map", "expected N=PATH: " + m);
        PortMap::instance().map(parsed->first, parsed->second);
    }
    if (device) PortMap::instance().map(1, *device);
}

std::string rateProblem(int32_t rate) {
    return isLineRate(rate) ? std::string() : std::string(kLineRatesText);
}

std::string readableNumber(double value) {
    if (std::isnan(value)) return "not a number";
    if (std::isinf(value)) return value < 0 ? "minus infinity" : "infinity";
    char buf[64];
    if (value == std::trunc(value) && std::fabs(value) < 1e12) {
        std::snprintf(buf, sizeof buf, "%.0f", value == 0 ? 0.0 : value);  // no "-0"
        return buf;
    }
    std::snprintf(buf, sizeof buf, "%.6g", value);
    // "1e+300" -> "1e300", "2.5e-07" -> "2.5e-7"
    std::string text = buf;
    const std::size_t e = text.find('e');
    if (e == std::string::npos) return text;
    std::string mantissa = text.substr(0, e);
    std::string exponent = text.substr(e + 1);
    const bool negative = !exponent.empty() && exponent[0] == '-';
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) exponent.erase(0, 1);
    exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
    return mantissa + "e" + (negative ? "-" : "") + exponent;
}

namespace {

// A number as C reads it (decimal, exponent, hex). Leading blanks and "inf" or "nan" are not
// numbers a person means here; one beyond what a double holds is (infinite, out of any range).
struct Parsed {
    bool isNumber = false;
    double value = 0;
};

Parsed parseNumber(const std::string& text) {
    if (text.empty() || text.front() == ' ' || text.front() == '\t') return {};
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return {};
    if (std::isfinite(value) || errno == ERANGE) return {true, value};
    return {};
}

// The value as given, for a message: as typed when short, else its start and its length.
std::string givenText(const std::string& text, const Parsed& p) {
    constexpr std::size_t kLongest = 24;
    if (text.size() <= kLongest) return p.isNumber ? text : "\"" + text + "\"";
    if (p.isNumber && std::isfinite(p.value)) return readableNumber(p.value);
    const std::string quote = p.isNumber ? "" : "\"";
    return quote + text.substr(0, 12) + quote + "... (" + std::to_string(text.size()) +
           " characters)";
}

std::string rangeText(const NumberRange& r) {
    std::string text = std::string("expected ") + (r.whole ? "a whole number" : "a number") +
                       " from " + readableNumber(r.low) + " to " + readableNumber(r.high);
    if (!r.unit.empty()) text += " (" + r.unit + ")";
    return text;
}

}  // namespace

std::string numberProblem(std::string& text, const NumberRange& range) {
    const Parsed p = parseNumber(text);
    if (!p.isNumber || !std::isfinite(p.value) || (range.whole && p.value != std::trunc(p.value)) ||
        p.value < range.low || p.value > range.high)
        return rangeText(range) + ", got " + givenText(text, p);
    if (range.whole) text = readableNumber(p.value);
    return {};
}

CLI::Validator numberCheck(NumberRange range) {
    const std::string description = readableNumber(range.low) + " to " + readableNumber(range.high);
    return CLI::Validator(
        [range = std::move(range)](std::string& text) { return numberProblem(text, range); },
        description);
}

CLI::Validator oneOfCheck(std::vector<int> values) {
    std::string list;
    for (std::size_t i = 0; i < values.size(); ++i)
        list += (i == 0 ? "" : i + 1 == values.size() ? " or " : ", ") + std::to_string(values[i]);
    return CLI::Validator(
        [values = std::move(values), list](std::string& text) -> std::string {
            const Parsed p = parseNumber(text);
            for (int v : values)
                if (p.isNumber && p.value == v) {
                    text = std::to_string(v);
                    return {};
                }
            return "expected " + list + ", got " + givenText(text, p);
        },
        list);
}

std::vector<int> converterWidths() {
    std::vector<int> widths;
    for (const Converter& c : converters()) widths.push_back(c.bits);
    return widths;
}

void ControlOptions::addTo(CLI::App& app, bool withPort) {
    this->withPort = withPort;
    if (withPort)
        app.add_option("--port", port, "COM port number, 1 to 8 (default: the control's own)")
            ->check(numberCheck({kFirstPort, kLastPort, true, {}}));
    if (withPort) {
        app.add_option("-b,--baud", baud, "baud rate (default: the control's own)")->check(kRate);
    } else {
        app.add_option_function<std::string>(
               "-b,--baud",
               [this](const std::string& text) {
                   autoBaud = text == "auto";
                   if (!autoBaud) baud = std::stoi(text);
               },
               "baud rate, or auto: the usual rates in turn (default: the control's own)")
            ->type_name("RATE|auto")
            ->check(kRate | CLI::IsMember({"auto"}));
    }
    app.add_option("--map", maps, "use device PATH as COM N (repeatable)")->check(kMapping);
    app.add_option("-d,--device", device, "use device PATH as COM1 (the same as --map 1=PATH)");
    app.add_flag("--trace", trace, "show every block of bytes written and received on stderr");
    app.add_option("--form", form, "load the control from this form file (TOML)");
    app.add_option("--name", name, "the control's entry in the form")->capture_default_str();
}

void MapOptions::addTo(CLI::App& app) {
    app.add_option("--map", maps, "use device PATH as COM N (repeatable)")->check(kMapping);
    app.add_option("-d,--device", device, "use device PATH as COM1 (the same as --map 1=PATH)");
}

void MapOptions::apply() const {
    applyMaps(maps, device);
}

}  // namespace vantrel::cli
