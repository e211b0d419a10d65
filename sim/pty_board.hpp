// vantrel-sim: the simulated board on a pseudo-terminal, served by an event loop.
//
// A client (the control, a terminal program, a test) opens slavePath() like a serial device.
// Bytes it writes go to the board engine; the engine's replies go back with their delays,
// carried out by a timerfd on the same loop. Typical use in a test:
//
//     auto loop = vantrel::makeEpollLoop();
//     vantrel::sim::PtyBoard board(*loop);
//     board.engine().setReading(10, 3, 805.0);
//     board.engine().scriptReplies({"OK 523\r\n>"});
//     ... open board.slavePath(), talk, pump *loop ...
//     EXPECT_EQ(board.lines(), ...);
//
// Everything runs on the thread that pumps the loop; the board is not thread-safe. It must be
// destroyed before the loop.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fd.hpp"
#include "sim/board_engine.hpp"
#include "sim/conversion_log.hpp"
#include "vantrel/platform.hpp"

namespace vantrel::sim {

class PtyBoard {
  public:
    struct Options {
        BoardEngine::Options engine{};
        // Pace every byte at the baud rate the line's settings say (as the client set them).
        bool paceFromLine = false;
        // The board's own rate, 0 for none: see setBoardBaud.
        uint32_t boardBaud = 0;
        // Writes each conversion to this file (see ConversionLog); empty: none.
        std::string conversionLog;
        // Bytes waiting for a client that does not read are dropped beyond this, as a wire
        // loses what nobody receives.
        std::size_t maxQueuedBytes = 1 << 20;
    };

    // Creates the pseudo-terminal and starts serving it on `loop`. Throws Error (PortOpenFailed)
    // with the failing call and errno text when the pseudo-terminal cannot be made.
    explicit PtyBoard(EventLoop& loop) : PtyBoard(loop, Options{}) {}
    PtyBoard(EventLoop& loop, Options options);
    ~PtyBoard();
    PtyBoard(const PtyBoard&) = delete;
    PtyBoard& operator=(const PtyBoard&) = delete;

    // The device a client opens, e.g. "/dev/pts/5". Stays the same after hangUp (then gone).
    const std::string& slavePath() const { return slavePath_; }

    // The protocol engine: readings, scripts, faults, recorded lines.
    BoardEngine& engine() { return engine_; }
    const BoardEngine& engine() const { return engine_; }
    // Every command line received, byte for byte (see BoardEngine::lines).
    const std::vector<std::string>& lines() const { return engine_.lines(); }

    // The conversion log of Options::conversionLog, or null.
    const ConversionLog* conversionLog() const { return log_.get(); }

    // Pace at the rate of the line's current settings instead of the engine's own rate.
    void setPaceFromLine(bool on) { options_.paceFromLine = on; }
    // The output baud rate of the line's current settings (0 when it cannot be read).
    uint32_t lineBaud() const;

    // Gives the board a rate of its own, as a real board is set to one (0: none, the board
    // understands a client at any rate). It sends at that rate, paced, and the line starts at
    // it, so that a client that leaves the rate alone (a TCP link, cat) talks to it; a client
    // that sets its line to another rate gets garbage both ways, as a wire gives it (see
    // reframe). Throws Error (PortIo) when the line's settings cannot be changed.
    void setBoardBaud(uint32_t baud);
    uint32_t boardBaud() const { return options_.boardBaud; }
    // Whether the client's line is at another rate than the board's own.
    bool rateMismatch() const { return mismatchedLineBaud() != 0; }

    // Sends bytes of the board's own accord after what is already queued ("L\r\n", "H\r\n").
    void sendUnsolicited(std::string_view bytes);
    // Sends `bytes` every `period`, first after one period; a period of 0 stops it.
    void setUnsolicitedEvery(std::string bytes, std::chrono::milliseconds period);
    // What is sent on its own and how often (a period of 0: nothing).
    const std::string& unsolicitedBytes() const { return periodBytes_; }
    std::chrono::milliseconds unsolicitedPeriod() const { return periodLength_; }

    // Closes the line as a board that is switched off: the master and this board's own
    // descriptor of the slave. The client then reads end of file or EIO and sees EPOLLHUP.
    // Queued output is dropped. Idempotent.
    void hangUp();
    bool hungUp() const { return hungUp_; }

    // Nothing scheduled and nothing waiting to be written (the client may not have read it).
    bool idle() const { return schedule_.empty() && pending_.empty(); }
    // Bytes dropped because the client did not read them (see Options::maxQueuedBytes).
    std::size_t droppedBytes() const { return dropped_; }

  private:
    using Clock = std::chrono::steady_clock;
    struct Scheduled {
        Clock::time_point due;
        std::string bytes;
    };

    void onMaster(uint32_t events);
    void onTimer();
    void onPeriod();
    void enqueue(Output&& out);
    void release(Clock::time_point now);
    void flush();
    void armTimer();
    void checkHangUp();
    void refreshPace();
    // The line's rate when the board has one of its own and the line's differs, else 0 (also
    // for a line whose rate cannot be read: it is given the benefit of the doubt).
    uint32_t mismatchedLineBaud() const;

    EventLoop& loop_;
    Options options_;
    BoardEngine engine_;
    std::unique_ptr<ConversionLog> log_;
    std::string slavePath_;

    Fd master_;
    Fd slave_;  // held for the board's whole life, so the master never sees a hang-up
    Fd timer_;
    Fd period_;
    WatchHandle masterWatch_;
    WatchHandle timerWatch_;
    WatchHandle periodWatch_;
    bool wantWrite_ = false;

    std::deque<Scheduled> schedule_;
    Clock::time_point tail_{};  // when the last scheduled chunk goes out
    std::string pending_;       // due, not yet accepted by the pseudo-terminal
    std::size_t pendingOffset_ = 0;
    std::size_t dropped_ = 0;
    Output scratch_;

    std::string periodBytes_;
    std::chrono::milliseconds periodLength_{0};
    // Hang-up waits for the client to read the last reply, but not for ever.
    bool draining_ = false;
    Clock::time_point drainNext_{};
    Clock::time_point drainDeadline_{};
    bool hungUp_ = false;
};

}  // namespace vantrel::sim
