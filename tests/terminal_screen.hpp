// The vantrel tool on a pseudo-terminal, as a person at a terminal sees it: keys go in, and the
// output is played onto a small screen (the subset of xterm that the tool and libedit use), so a
// test checks the rows a person would read.
#pragma once

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fd.hpp"
#include "vantrel/platform.hpp"

namespace vantrel::test {

class Screen {
  public:
    Screen(int rows, int cols) : cols_(cols), rows_(static_cast<std::size_t>(rows)) {}

    void play(std::string_view bytes) {
        for (char c : bytes) put(c);
    }
    // The rows, trailing blanks removed, joined with "\n" (rows scrolled off the top are gone).
    std::string text() const {
        std::string out;
        for (const std::string& r : rows_) out += trimmed(r) + "\n";
        return out;
    }
    // The row the cursor is on.
    std::string cursorRow() const { return trimmed(rows_[row_]); }
    int cursorColumn() const { return col_; }

  private:
    static std::string trimmed(const std::string& r) {
        return r.substr(0, r.find_last_not_of(' ') + 1);
    }
    std::string& line() {
        rows_[row_].resize(static_cast<std::size_t>(cols_), ' ');
        return rows_[row_];
    }
    void down() {
        if (row_ + 1 < rows_.size()) {
            ++row_;
        } else {
            rows_.erase(rows_.begin());
            rows_.emplace_back();
        }
    }
    int param(std::size_t i, int fallback) const {
        return i < params_.size() && params_[i] > 0 ? params_[i] : fallback;
    }
    void put(char c) {
        if (state_ == State::Escape) {
            state_ = c == '[' ? State::Csi : State::Text;
            params_.assign(1, 0);
            return;
        }
        if (state_ == State::Csi) {
            if (c >= '0' && c <= '9') {
                params_.back() = params_.back() * 10 + (c - '0');
            } else if (c == ';') {
                params_.push_back(0);
            } else if (c == '?' || c == '>') {
            } else {
                state_ = State::Text;
                csi(c);
            }
            return;
        }
        switch (c) {
            case '\x1b':
                state_ = State::Escape;
                break;
            case '\r':
                col_ = 0;
                break;
            case '\n':
                down();
                break;
            case '\b':
                if (col_ > 0) --col_;
                break;
            case '\a':
                break;
            case '\t':
                col_ = std::min(cols_ - 1, (col_ / 8 + 1) * 8);
                break;
            default:
                if (col_ >= cols_) {
                    col_ = 0;
                    down();
                }
                line()[static_cast<std::size_t>(col_++)] = c;
        }
    }
    void csi(char final) {
        const int n = param(0, 1);
        switch (final) {
            case 'A':
                row_ -= std::min<std::size_t>(row_, static_cast<std::size_t>(n));
                break;
            case 'B':
                row_ = std::min(rows_.size() - 1, row_ + static_cast<std::size_t>(n));
                break;
            case 'C':
                col_ = std::min(cols_ - 1, col_ + n);
                break;
            case 'D':
                col_ = std::max(0, col_ - n);
                break;
            case 'G':
                col_ = std::min(cols_, n) - 1;
                break;
            case 'H':
            case 'f':
                row_ = std::min(rows_.size(), static_cast<std::size_t>(n)) - 1;
                col_ = std::min(cols_, param(1, 1)) - 1;
                break;
            case 'K':
                line().resize(static_cast<std::size_t>(col_));
                break;
            case 'J':
                line().resize(static_cast<std::size_t>(col_));
                for (std::size_t r = row_ + 1; r < rows_.size(); ++r) rows_[r].clear();
                break;
            default:
                break;  // colours, modes
        }
    }

    enum class State { Text, Escape, Csi };
    State state_ = State::Text;
    std::vector<int> params_;
    int cols_;
    std::vector<std::string> rows_;
    std::size_t row_ = 0;
    int col_ = 0;
};

// A program on a fresh pseudo-terminal that is its controlling terminal (so Ctrl-C raises
// SIGINT). While waiting, `loop` (a test's simulated board) is served too.
class TerminalProgram {
  public:
    explicit TerminalProgram(std::vector<std::string> args, EventLoop* loop = nullptr)
        : screen_(24, 100), loop_(loop) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 100;
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int master = -1;
        pid_ = ::forkpty(&master, nullptr, nullptr, &size);
        if (pid_ < 0) throw std::runtime_error("forkpty failed");
        if (pid_ == 0) {
            ::setenv("TERM", "xterm", 1);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        master_.reset(master);
    }
    ~TerminalProgram() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    void type(std::string_view keys) {
        if (::write(master_.get(), keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
            throw std::runtime_error("write to the terminal failed");
    }

    // Reads output (and pumps) until the screen satisfies `done`; false on timeout or exit.
    bool waitFor(const std::function<bool(const Screen&)>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done(screen_)) {
            if (std::chrono::steady_clock::now() > deadline || !readSome(10)) return false;
        }
        return true;
    }
    bool waitForText(std::string_view text) {
        return waitFor([&](const Screen& s) { return s.text().find(text) != std::string::npos; });
    }

    // Reads until the program ends; its exit status (-1 when it did not exit normally).
    int finish(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (master_ && std::chrono::steady_clock::now() < deadline) readSome(10);
        int status = 0;
        if (master_) ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const Screen& screen() const { return screen_; }
    pid_t pid() const { return pid_; }
    // Everything the program wrote, as bytes.
    const std::string& raw() const { return raw_; }

  private:
    // One wait of up to `ms` for output or the loop. False when the program is gone.
    bool readSome(int ms) {
        pollfd p[2] = {{master_.get(), POLLIN, 0}, {loop_ ? loop_->fd() : -1, POLLIN, 0}};
        if (::poll(p, 2, ms) < 0) return true;
        if (p[1].revents != 0) loop_->dispatchPending();
        if (p[0].revents == 0) return true;
        char buf[4096];
        const ssize_t n = ::read(master_.get(), buf, sizeof buf);
        if (n <= 0) {  // EIO: the last holder of the terminal closed it
            master_.reset();
            return false;
        }
        raw_.append(buf, static_cast<std::size_t>(n));
        screen_.play(std::string_view(buf, static_cast<std::size_t>(n)));
        return true;
    }

    Screen screen_;
    EventLoop* loop_;
    pid_t pid_ = -1;
    Fd master_;
    std::string raw_;
};

}  // namespace vantrel::test
