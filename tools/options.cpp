// vantrel command-line tool: the options that say which control to build and where its
// ports are.
#include "options.hpp"

#include <array>
#include <charconv>
#include <string_view>
#include <utility>

#include "vantrel/platform.hpp"

namespace vantrel::cli {

namespace {

constexpr std::array<int32_t, 10> kRates = {300,  600,   1200,  2400,  4800,
                                            9600, 19200, 38400, 57600, 115200};

const CLI::Validator kRate(
    [](std::string& text) -> std::string {
        for (int32_t r : kRates)
            if (text == std::to_string(r)) return {};
        return "the rate must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, "
               "115200";
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

CLI::Validator wholeNumberIn(int64_t lo, int64_t hi) {
    return CLI::Validator(
        [lo, hi](std::string& text) -> std::string {
            int64_t n = 0;
            const char* end = text.data() + text.size();
            const auto [stop, ec] = std::from_chars(text.data(), end, n);
            if (!text.empty() && ec == std::errc() && stop == end && n >= lo && n <= hi) return {};
            return "expected a whole number from " + std::to_string(lo) + " to " +
                   std::to_string(hi);
        },
        "INT in [" + std::to_string(lo) + " - " + std::to_string(hi) + "]");
}

std::string rateProblem(int32_t rate) {
    for (int32_t r : kRates)
        if (rate == r) return {};
    return "the rate must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, "
           "115200";
}

void ControlOptions::addTo(CLI::App& app, bool withPort) {
    this->withPort = withPort;
    if (withPort)
        app.add_option("--port", port, "COM port number, 1 to 8 (default: the control's own)")
            ->check(CLI::Range(kFirstPort, kLastPort));
    app.add_option("--baud", baud, "baud rate (default: the control's own)")->check(kRate);
    app.add_option("--map", maps, "use device PATH as COM N (repeatable)")->check(kMapping);
    app.add_option("--device", device, "use device PATH as COM1 (the same as --map 1=PATH)");
    app.add_flag("--trace", trace, "show every block of bytes written and received on stderr");
    app.add_option("--form", form, "load the control from this form file (TOML)");
    app.add_option("--name", name, "the control's entry in the form")->capture_default_str();
}

void MapOptions::addTo(CLI::App& app) {
    app.add_option("--map", maps, "use device PATH as COM N (repeatable)")->check(kMapping);
    app.add_option("--device", device, "use device PATH as COM1 (the same as --map 1=PATH)");
}

void MapOptions::apply() const {
    applyMaps(maps, device);
}

}  // namespace vantrel::cli
