// vantrel-sim: the conversion log, one line for each conversion the board made, so that a test
// or a lab can check every reading a client got against what the board converted.
//
// CSV with a header line, one conversion a line, written with one write(2) each as it happens:
//
//     wall_us,mono_us,bits,channel,word,reading
//     1796738587123456,90211734012,10,3,51200,800
//
// wall_us: microseconds since the epoch (CLOCK_REALTIME) when the line was written; mono_us:
// when the conversion started, microseconds of CLOCK_MONOTONIC (std::chrono::steady_clock,
// Python's time.monotonic()); bits: the converter that converted (an 8-bit read of a board
// whose 8-bit converter is not wired is a 10-bit conversion); word: its output word; reading:
// the word as a reading (word / 64 for 10 bits, / 16 for 12 bits).
#pragma once

#include <cstddef>
#include <string>

#include "fd.hpp"
#include "sim/board_engine.hpp"

namespace vantrel::sim {

class ConversionLog {
  public:
    static constexpr const char* kHeader = "wall_us,mono_us,bits,channel,word,reading\n";

    // Creates or empties `path` and writes the header. Throws Error (PortOpenFailed) with the
    // failing call when the file cannot be opened.
    explicit ConversionLog(const std::string& path);

    // Writes one line. Never blocks: the file is opened non-blocking, so that a log on a pipe
    // nobody reads loses lines (counted) rather than stopping the board.
    void write(const Conversion& c);

    // An observer for BoardEngine::setConversionObserver that writes to this log.
    BoardEngine::ConversionObserver observer() {
        return [this](const Conversion& c) { write(c); };
    }

    const std::string& path() const { return path_; }
    std::size_t written() const { return written_; }
    std::size_t lost() const { return lost_; }

  private:
    std::string path_;
    Fd fd_;
    std::size_t written_ = 0;
    std::size_t lost_ = 0;
};

}  // namespace vantrel::sim
