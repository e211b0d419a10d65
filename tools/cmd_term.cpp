// vantrel term: a raw terminal to the board. Each line typed goes out with a CR ("@" alone goes
// out as it is); what the board sends is shown as it arrives, escaped, one row per line it
// sends. On a terminal the line being typed stays at the bottom; Ctrl-] ends.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "commands.hpp"
#include "line_editor.hpp"
#include "options.hpp"
#include "output.hpp"
#include "session.hpp"
#include "signals.hpp"
#include "text_escape.hpp"

namespace vantrel::cli {

namespace {

// Without a terminal, how many linger times term waits at most for the board to fall quiet.
constexpr int kLingerLimit = 10;

struct TermOptions {
    ControlOptions control;
    bool hex = false;
    bool timestamps = false;
    int64_t linger = 500;
    ReconnectOptions reconnect;
};

// Turns received bytes into rows: a row ends after each line feed the board sends. A row not yet
// ended is shown as it is and drawn again, longer, when more of it arrives.
class ReceivedRows {
  public:
    ReceivedRows(bool hex, bool timestamps) : hex_(hex), timestamps_(timestamps) {}

    // Rows for the bytes, each ending in "\n". With `redraw`, a row shown unfinished is
    // written again in place (the output starts by moving up to it); without, its rest
    // starts a row of its own.
    std::string add(std::string_view bytes, bool redraw) {
        std::string out;
        if (redraw && !open_.empty()) out = "\x1b[A\r\x1b[K";
        if (!redraw) open_.clear();
        while (!bytes.empty()) {
            if (open_.empty() && timestamps_) open_ = "[" + clockText() + "] ";
            const std::size_t lf = bytes.find('\n');
            const std::string_view piece =
                bytes.substr(0, lf == bytes.npos ? bytes.size() : lf + 1);
            open_ += show(piece);
            bytes.remove_prefix(piece.size());
            out += open_ + "\n";
            if (lf != std::string_view::npos) {
                open_.clear();
                openHex_ = false;
            }
        }
        return out;
    }

    // Something else was printed below the unfinished row: what follows starts a new row.
    void closeRow() {
        open_.clear();
        openHex_ = false;
    }

  private:
    std::string show(std::string_view bytes) {
        if (!hex_) return escapeC(bytesToText(bytes), false);
        static const char* digits = "0123456789ABCDEF";
        std::string out;
        for (char c : bytes) {
            const auto u = static_cast<unsigned char>(c);
            if (openHex_) out += ' ';
            out += digits[u >> 4];
            out += digits[u & 15];
            openHex_ = true;
        }
        return out;
    }

    bool hex_;
    bool timestamps_;
    std::string open_;  // the row not yet ended, as shown
    bool openHex_ = false;
};

// What a typed line sends: the line and a CR, or "@" alone as it is.
std::string lineBytes(const std::string& line) {
    return textToBytes(line == "@" ? line : line + "\r");
}

class Term {
  public:
    explicit Term(const TermOptions& o)
        : options_(o), session_(o.control), rows_(o.hex, o.timestamps) {
        session_.onReceived = [this](std::string_view bytes) { received(bytes); };
    }

    int run() {
        if (!session_.openPort()) return kExitFalse;
        if (options_.reconnect.on) waiter_ = session_.makeWaiter();
        VantrelCtrl& ctrl = session_.ctrl();
        const bool terminal = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
        printError("vantrel: terminal on COM" + std::to_string(ctrl.Port()) + " (" +
                   PortMap::instance().devicePath(ctrl.Port()) + ") at " +
                   std::to_string(ctrl.Bauds()) + " baud; lines go out with CR, \"@\" alone " +
                   "as it is" + (terminal ? "; Ctrl-] ends" : ""));
        int endedBy = 0;
        if (terminal) {
            editor_ = std::make_unique<LineEditor>([] { return std::string("send> "); }, nullptr,
                                                   std::string());
            editor_->endOn(']');
            endedBy = runConsole(
                session_.stop(), session_.loop(), *editor_,
                [this](const std::string& l) { send(l); }, [this] { return gone(); });
            editor_.reset();
        } else {
            runPlain();
        }
        const bool hungUp = session_.deviceGone();
        session_.ctrl().ClosePort();
        if (endedBy != 0) return 128 + endedBy;
        if (hungUp) {
            printError("vantrel: the device closed the line");
            return kExitFalse;
        }
        return failed_ ? kExitFailedCall : kExitTrue;
    }

  private:
    // Whether the device has gone for good: with --reconnect it is waited for first.
    bool gone() {
        return session_.goneForGood(waiter_.get(), options_.reconnect.deadline(),
                                    [this](const std::string& text) {
                                        if (editor_)
                                            editor_->printAbove("vantrel: " + text + "\n");
                                        else
                                            printError("vantrel: " + text);
                                    });
    }

    // Lines from a pipe or file; at its end, what the board still sends is shown until the line
    // has been quiet for the linger time, and for ten linger times at most, so that a board
    // that keeps talking of its own accord does not hold the command open.
    void runPlain() {
        StopSignals& stop = session_.stop();
        std::string input;
        for (bool eof = false; !eof && !stop.raised() && !failed_ && !gone();) {
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {session_.loop().fd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                throw Error(err::EventLoopFailed, sysMessage("poll", "", errno));
            }
            if (fds[1].revents != 0) session_.loop().dispatchPending();
            if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buf[4096];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                eof = true;
                if (!input.empty()) send(input);
                break;
            }
            input.append(buf, static_cast<std::size_t>(n));
            std::size_t start = 0;
            for (std::size_t nl; (nl = input.find('\n', start)) != std::string::npos;
                 start = nl + 1) {
                std::string line = input.substr(start, nl - start);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                send(line);
            }
            input.erase(0, start);
        }
        using Clock = std::chrono::steady_clock;
        const std::chrono::milliseconds linger(options_.linger);
        const Clock::time_point end = Clock::now() + kLingerLimit * linger;
        for (uint64_t seen = ~uint64_t{0}; seen != receivedCount_ && !stop.raised() &&
                                           !session_.deviceGone() && Clock::now() < end;) {
            seen = receivedCount_;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
            pumpFor(session_.loop(), std::min(linger, left),
                    [&] { return stop.raised() || receivedCount_ != seen; });
        }
    }

    void send(const std::string& line) {
        rows_.closeRow();  // the line typed now stands below it
        try {
            session_.ctrl().comm().Output(lineBytes(line));
        } catch (const Error& e) {
            const std::string text = std::string("vantrel: ") + e.what();
            if (editor_)
                editor_->printAbove(text + "\n");
            else
                printError(text);
            failed_ = true;
        }
    }

    void received(std::string_view bytes) {
        ++receivedCount_;
        const std::string rows = rows_.add(bytes, editor_ != nullptr);
        if (editor_) {
            editor_->printAbove(rows);
        } else {
            std::fwrite(rows.data(), 1, rows.size(), stdout);
            std::fflush(stdout);
        }
    }

    const TermOptions& options_;
    Session session_;
    std::unique_ptr<DeviceWaiter> waiter_;
    ReceivedRows rows_;
    std::unique_ptr<LineEditor> editor_;
    uint64_t receivedCount_ = 0;
    bool failed_ = false;
};

}  // namespace

Subcommand addTerm(CLI::App& app) {
    auto o = std::make_shared<TermOptions>();
    CLI::App* sub = app.add_subcommand(
        "term",
        "Raw terminal to the board: each line typed goes out with CR (\"@\" alone as it is), "
        "what the board sends is shown escaped as it arrives; Ctrl-] ends");
    o->control.addTo(*sub);
    o->reconnect.addTo(*sub);
    // As picocom and tio take it: vantrel term /dev/ttyUSB0.
    sub->add_option("DEVICE", o->control.device, "the device, as --device PATH")
        ->excludes(sub->get_option("--device"));
    sub->add_flag("--hex", o->hex, "show received bytes in hex");
    sub->add_flag("--timestamps", o->timestamps, "start each received row with the time");
    sub->add_option("--linger", o->linger,
                    "without a terminal: after the input ends, wait until the board has been "
                    "quiet this many milliseconds (ten times as long at most)")
        ->capture_default_str()
        ->check(numberCheck({0, 60'000, true, "milliseconds"}));
    return {sub, [o] { return Term(*o).run(); }};
}

}  // namespace vantrel::cli
