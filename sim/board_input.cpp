#include "sim/board_input.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <stdexcept>

namespace vantrel::sim {

namespace {

using std::chrono::microseconds;

double number(const std::string& word) {
    double v = 0;
    const char* end = word.data() + word.size();
    const auto [p, ec] = std::from_chars(word.data(), end, v);
    if (ec != std::errc{} || p != end || !std::isfinite(v))
        throw std::invalid_argument("not a number: " + word);
    return v;
}

uint64_t whole(const std::string& word) {
    uint64_t v = 0;
    const char* end = word.data() + word.size();
    const auto [p, ec] = std::from_chars(word.data(), end, v);
    if (ec != std::errc{} || p != end) throw std::invalid_argument("not a whole number: " + word);
    return v;
}

microseconds positiveDuration(const std::string& word) {
    const microseconds d = parseDuration(word);
    if (d.count() <= 0) throw std::invalid_argument("a period must be longer than 0: " + word);
    return d;
}

// The fraction of the current period that has passed, 0 <= f < 1.
double phaseOf(microseconds since, microseconds period) {
    const int64_t p = period.count();
    int64_t r = since.count() % p;
    if (r < 0) r += p;
    return static_cast<double>(r) / static_cast<double>(p);
}

// SplitMix64: a well-mixed 64-bit value from any 64-bit input, so that the n-th value of a
// seed needs no state beyond n.
uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::string num(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

std::string duration(microseconds d) {
    const int64_t us = d.count();
    if (us % 1'000'000 == 0) return std::to_string(us / 1'000'000) + "s";
    if (us % 1'000 == 0) return std::to_string(us / 1'000) + "ms";
    return std::to_string(us) + "us";
}

void need(const std::vector<std::string>& w, std::size_t min, std::size_t max, const char* usage) {
    if (w.size() < min || w.size() > max)
        throw std::invalid_argument(std::string("usage: ") + usage);
}

}  // namespace

double BoardInput::at(microseconds since, uint64_t conversion) const {
    switch (kind) {
        case Kind::Constant:
            return a;
        case Kind::Ramp:
            return a + (b - a) * phaseOf(since, period);
        case Kind::Sine:
            return a + b * std::sin(2 * std::numbers::pi * phaseOf(since, period) +
                                    shape * std::numbers::pi / 180);
        case Kind::Square:
            return phaseOf(since, period) < shape ? b : a;
        case Kind::Step:
            return since < period ? a : b;
        case Kind::Noise: {
            // 53 random bits: a double in [0, 1).
            const double u = static_cast<double>(mix(seed ^ mix(conversion)) >> 11) * 0x1.0p-53;
            return a + b * (2 * u - 1);
        }
        case Kind::Alternate:
            return values[conversion % values.size()];
    }
    return a;
}

std::string BoardInput::describe() const {
    switch (kind) {
        case Kind::Constant:
            return "constant " + num(a);
        case Kind::Ramp:
            return "ramp " + num(a) + " " + num(b) + " " + duration(period);
        case Kind::Sine:
            return "sine " + num(a) + " " + num(b) + " " + duration(period) + " " + num(shape);
        case Kind::Square:
            return "square " + num(a) + " " + num(b) + " " + duration(period) + " " + num(shape);
        case Kind::Step:
            return "step " + num(a) + " " + num(b) + " " + duration(period);
        case Kind::Noise:
            return "noise " + num(a) + " " + num(b) + " " + std::to_string(seed);
        case Kind::Alternate: {
            std::string text = "alternate";
            for (const double v : values) text += " " + num(v);
            return text;
        }
    }
    return {};
}

microseconds parseDuration(const std::string& word) {
    std::size_t unit = word.size();
    while (unit > 0 && std::isalpha(static_cast<unsigned char>(word[unit - 1]))) --unit;
    const std::string suffix = word.substr(unit);
    double scale;
    if (suffix == "us")
        scale = 1;
    else if (suffix == "ms")
        scale = 1e3;
    else if (suffix == "s")
        scale = 1e6;
    else if (suffix == "min")
        scale = 60e6;
    else
        throw std::invalid_argument("a duration needs a unit (us, ms, s, min): " + word);
    const double us = number(word.substr(0, unit)) * scale;
    if (std::fabs(us) > 1e15) throw std::invalid_argument("duration out of range: " + word);
    return microseconds(static_cast<int64_t>(std::llround(us)));
}

BoardInput parseInput(const std::vector<std::string>& w) {
    if (w.empty()) throw std::invalid_argument("an input needs a kind: constant, ramp, sine, ...");
    const std::string& kind = w[0];
    BoardInput in;
    if (kind == "constant") {
        need(w, 2, 2, "constant VALUE");
        in.a = number(w[1]);
    } else if (kind == "ramp") {
        need(w, 4, 4, "ramp FROM TO PERIOD");
        in.kind = BoardInput::Kind::Ramp;
        in.a = number(w[1]);
        in.b = number(w[2]);
        in.period = positiveDuration(w[3]);
    } else if (kind == "sine") {
        need(w, 4, 5, "sine MID AMPLITUDE PERIOD [PHASE_DEGREES]");
        in.kind = BoardInput::Kind::Sine;
        in.a = number(w[1]);
        in.b = number(w[2]);
        in.period = positiveDuration(w[3]);
        in.shape = w.size() == 5 ? number(w[4]) : 0.0;
    } else if (kind == "square") {
        need(w, 4, 5, "square LOW HIGH PERIOD [DUTY]");
        in.kind = BoardInput::Kind::Square;
        in.a = number(w[1]);
        in.b = number(w[2]);
        in.period = positiveDuration(w[3]);
        in.shape = w.size() == 5 ? number(w[4]) : 0.5;
        if (in.shape < 0 || in.shape > 1) throw std::invalid_argument("DUTY is from 0 to 1");
    } else if (kind == "step") {
        need(w, 4, 4, "step FROM TO AT");
        in.kind = BoardInput::Kind::Step;
        in.a = number(w[1]);
        in.b = number(w[2]);
        in.period = parseDuration(w[3]);
    } else if (kind == "noise") {
        need(w, 4, 4, "noise MEAN SPREAD SEED");
        in.kind = BoardInput::Kind::Noise;
        in.a = number(w[1]);
        in.b = number(w[2]);
        in.seed = whole(w[3]);
    } else if (kind == "alternate") {
        need(w, 3, 65, "alternate VALUE VALUE [VALUE...] (64 at most)");
        in.kind = BoardInput::Kind::Alternate;
        for (std::size_t i = 1; i < w.size(); ++i) in.values.push_back(number(w[i]));
    } else {
        throw std::invalid_argument("unknown input " + kind +
                                    " (constant, ramp, sine, square, step, noise, alternate)");
    }
    return in;
}

const char* inputUsage() {
    return "    constant VALUE\n"
           "    ramp FROM TO PERIOD                  FROM rising to TO, again every PERIOD\n"
           "    sine MID AMPLITUDE PERIOD [PHASE]    PHASE in degrees\n"
           "    square LOW HIGH PERIOD [DUTY]        HIGH for the first DUTY (0..1, 0.5) of each "
           "period\n"
           "    step FROM TO AT                      TO from AT after it was set\n"
           "    noise MEAN SPREAD SEED               uniform in MEAN +- SPREAD, the same values "
           "for a SEED\n"
           "    alternate VALUE VALUE [VALUE...]     one after the other, one a conversion\n"
           "    PERIOD and AT take a unit: 250us, 500ms, 2s, 1min; times count from when the input "
           "was set\n";
}

}  // namespace vantrel::sim
