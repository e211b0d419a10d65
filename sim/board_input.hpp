// vantrel-sim: what a channel's input does over time. A conversion samples its channel's input
// once, at the instant it starts; the engine turns the value into the converter's word.
//
// Times count from the moment the input was set, so that a sine starts at its phase and a step
// comes AT after it was given. Inputs that change per conversion rather than per time
// (alternate, noise) count the conversions of their channel instead.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::sim {

struct BoardInput {
    enum class Kind { Constant, Ramp, Sine, Square, Step, Noise, Alternate };

    Kind kind = Kind::Constant;
    // constant: a. ramp: a to b. sine: mid a, amplitude b. square: low a, high b. step: a, then
    // b. noise: mean a, spread b (values uniform in a - b .. a + b).
    double a = 0;
    double b = 0;
    // ramp, sine, square: the period; step: when it comes.
    std::chrono::microseconds period{0};
    // sine: phase in degrees; square: the part of each period that is high (0..1).
    double shape = 0;
    uint64_t seed = 0;           // noise
    std::vector<double> values;  // alternate: one after the other, one a conversion

    static BoardInput constant(double value) {
        BoardInput in;
        in.a = value;
        return in;
    }

    // The value at `since` after the input was set, for the `conversion`-th conversion of its
    // channel since then (0 for the first).
    double at(std::chrono::microseconds since, uint64_t conversion) const;

    // The input as the console's words after BITS CHANNEL ("sine 512 400 2s 0").
    std::string describe() const;
};

// Reads an input from its words: KIND and its arguments, as the console's "input" command and
// the simulator's --input take them (see inputUsage). Throws std::invalid_argument with the
// reason.
BoardInput parseInput(const std::vector<std::string>& words);

// "500ms", "2s", "1.5s", "250us", "1min" (a unit is required). Throws std::invalid_argument.
std::chrono::microseconds parseDuration(const std::string& word);

// The kinds and their arguments, one a line, for help texts.
const char* inputUsage();

}  // namespace vantrel::sim
