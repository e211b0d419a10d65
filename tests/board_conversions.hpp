// Test support: the simulator's conversion log (vantrel-sim --log FILE, "sim://?log=PATH",
// sim::ConversionLog) read back, so that a test checks each reading a client got against a
// conversion the board really made, rather than against a constant.
//
//     const BoardConversions log = BoardConversions::load(path);
//     EXPECT_TRUE(log.hasReading(10, 3, reading, before, after)) << log.near(10, 3, after);
//
// Times are the monotonic clock (std::chrono::steady_clock), as the log's mono_us is.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::test {

class BoardConversions {
  public:
    using Clock = std::chrono::steady_clock;

    struct Record {
        int64_t wallUs = 0;  // microseconds since the epoch when it was written
        Clock::time_point mono{};
        int bits = 0;
        int channel = 0;
        uint16_t word = 0;
        double reading = 0;
    };

    // Reads the whole file as it is now. A last line without its newline is one still being
    // written and is left out. Throws std::runtime_error for a file that cannot be read, a
    // wrong header or a malformed line (naming its number).
    static BoardConversions load(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw std::runtime_error("cannot read conversion log " + path);
        std::stringstream all;
        all << in.rdbuf();
        const std::string text = all.str();
        BoardConversions log;
        std::size_t start = 0;
        int number = 0;
        for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
            const std::string line = text.substr(start, nl - start);
            if (++number == 1) {
                if (line != "wall_us,mono_us,bits,channel,word,reading")
                    throw std::runtime_error(path + ": not a conversion log: " + line);
                continue;
            }
            Record r;
            long long wall = 0, mono = 0;
            unsigned word = 0;
            int used = 0;
            if (std::sscanf(line.c_str(), "%lld,%lld,%d,%d,%u,%lf%n", &wall, &mono, &r.bits,
                            &r.channel, &word, &r.reading, &used) != 6 ||
                used != static_cast<int>(line.size()) || word > 0xFFFF)
                throw std::runtime_error(path + ":" + std::to_string(number) +
                                         ": malformed conversion: " + line);
            r.wallUs = wall;
            r.mono = Clock::time_point(std::chrono::microseconds(mono));
            r.word = static_cast<uint16_t>(word);
            log.records_.push_back(r);
        }
        return log;
    }

    const std::vector<Record>& records() const { return records_; }

    // Conversions of (bits, channel), in the order they were made.
    std::size_t count(int bits, int channel) const {
        return static_cast<std::size_t>(
            std::count_if(records_.begin(), records_.end(),
                          [&](const Record& r) { return r.bits == bits && r.channel == channel; }));
    }

    // Whether the board converted `word` for (bits, channel) at a time in [from, to].
    bool hasWord(int bits, int channel, uint16_t word, Clock::time_point from = kEver.first,
                 Clock::time_point to = kEver.second) const {
        return std::any_of(records_.begin(), records_.end(), [&](const Record& r) {
            return r.bits == bits && r.channel == channel && r.word == word && r.mono >= from &&
                   r.mono <= to;
        });
    }

    // The same for a reading as a client computes it (word / 64 for 10 bits, / 16 for 12
    // bits; exact, since those are binary fractions). An 8-bit reading of a board without the
    // 8-bit converter is a 10-bit conversion's top 8 bits: see hasTopByte.
    bool hasReading(int bits, int channel, double reading, Clock::time_point from = kEver.first,
                    Clock::time_point to = kEver.second) const {
        return std::any_of(records_.begin(), records_.end(), [&](const Record& r) {
            return r.bits == bits && r.channel == channel && r.reading == reading &&
                   r.mono >= from && r.mono <= to;
        });
    }

    // Whether a 10-bit conversion of `channel` in [from, to] has `byte` as its top 8 bits (what
    // an 8-bit read of a board without the 8-bit converter gives).
    bool hasTopByte(int channel, unsigned byte, Clock::time_point from = kEver.first,
                    Clock::time_point to = kEver.second) const {
        return std::any_of(records_.begin(), records_.end(), [&](const Record& r) {
            return r.bits == 10 && r.channel == channel && (r.word >> 8) == byte &&
                   r.mono >= from && r.mono <= to;
        });
    }

    // The conversions of (bits, channel) within `window` of `t`, as text for a failure message.
    std::string near(int bits, int channel, Clock::time_point t,
                     std::chrono::milliseconds window = std::chrono::milliseconds(100)) const {
        std::string text = "conversions of " + std::to_string(bits) + "-bit channel " +
                           std::to_string(channel) + " near then:";
        for (const Record& r : records_)
            if (r.bits == bits && r.channel == channel && r.mono >= t - window &&
                r.mono <= t + window)
                text += " " + std::to_string(r.word);
        return text;
    }

  private:
    static constexpr std::pair<Clock::time_point, Clock::time_point> kEver{
        Clock::time_point::min(), Clock::time_point::max()};
    std::vector<Record> records_;
};

}  // namespace vantrel::test
