// Test helper: a board on a pseudo-terminal whose inputs move. Each conversion (a "PRS") of a
// moving channel gives a new word, and every word converted is logged, so that a test checks
// each reading against what the board converted for that channel. The words are made so that
// any mix of two conversions (the high byte of one, the low byte of another) or another
// channel's word is never a word of the channel: high byte k, low byte a scramble of k that
// differs per channel.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "pty_pair.hpp"
#include "sim/board_engine.hpp"

namespace vantrel::testing {

class MovingBoard {
  public:
    using Key = std::pair<int, int>;  // width, channel

    // `moving`: the channels whose input changes at every conversion.
    explicit MovingBoard(std::set<Key> moving) : moving_(std::move(moving)) {
        thread_ = std::thread([this] { run(); });
    }
    ~MovingBoard() {
        stop_ = true;
        thread_.join();
    }
    MovingBoard(const MovingBoard&) = delete;
    MovingBoard& operator=(const MovingBoard&) = delete;

    const std::string& device() const { return pty_.slavePath; }

    // The word of conversion k of a channel.
    static uint16_t wordOf(int channel, unsigned k) {
        const unsigned high = k & 0xFF;
        const unsigned low =
            ((high * 167 + 89) & 0xFF) ^ ((static_cast<unsigned>(channel) * 0x3B) & 0xFF);
        return static_cast<uint16_t>(high << 8 | low);
    }
    // Whether the board converted this reading for that channel.
    bool converted(int bits, int channel, double reading) const {
        const double scale = bits == 12 ? 16 : 64;
        const long word = std::lround(reading * scale);
        if (word < 0 || word > 0xFFFF || word != reading * scale) return false;
        const std::lock_guard lock(mutex_);
        const auto it = log_.find({bits, channel});
        return it != log_.end() && it->second.count(static_cast<uint16_t>(word)) != 0;
    }
    std::size_t conversions() const {
        const std::lock_guard lock(mutex_);
        return conversions_;
    }
    // Every `every`-th command is answered `late` after it came (0: never).
    void answerLate(int every, std::chrono::milliseconds late) {
        const std::lock_guard lock(mutex_);
        lateEvery_ = every;
        late_ = late;
    }
    // Runs fn(engine) with the board held.
    template <typename Fn>
    auto with(Fn&& fn) {
        const std::lock_guard lock(mutex_);
        return fn(engine_);
    }
    void sendUnsolicited(std::string_view bytes) {
        const std::lock_guard lock(mutex_);
        pty_.send(bytes);
    }

  private:
    void run() {
        std::string line;
        char buf[512];
        while (!stop_) {
            pollfd p{pty_.master.get(), POLLIN, 0};
            if (::poll(&p, 1, 20) != 1) continue;
            const ssize_t n = ::read(pty_.master.get(), buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                line.push_back(buf[i]);
                const bool atStart = line.find_first_not_of('\n') == line.size() - 1;
                if (buf[i] == '\r' || (buf[i] == '@' && atStart)) {
                    carryOut(line);
                    line.clear();
                }
            }
        }
    }

    void carryOut(const std::string& raw) {
        std::string text;
        for (const char c : raw)
            if (c != '\n' && c != '\r') text.push_back(c);
        std::chrono::milliseconds delay{0};
        std::string reply;
        {
            const std::lock_guard lock(mutex_);
            if (text == "PRS" && moving_.count(selected_) != 0) {
                // The conversion starts now: its input is sampled at this instant.
                unsigned& k = next_[selected_];
                const uint16_t w = wordOf(selected_.second, k++);
                engine_.setReading(selected_.first, selected_.second,
                                   w / (selected_.first == 12 ? 16.0 : 64.0));
                log_[selected_].insert(w);
                ++conversions_;
            }
            reply = sim::joined(engine_.receive(raw));
            if (text.starts_with("PWS") && reply.starts_with("OK")) {
                const int address = std::stoi(text.substr(3));
                selected_ = {(address & 0x0F) == 12 ? 12 : 10, address >> 4};
            }
            if (lateEvery_ > 0 && ++commands_ % lateEvery_ == 0) delay = late_;
        }
        if (delay.count() > 0) {
            // The board is busy: it reads nothing more until this reply is out.
            pollfd none{-1, 0, 0};
            ::poll(&none, 1, static_cast<int>(delay.count()));
        }
        const std::lock_guard lock(mutex_);
        pty_.send(reply);
    }

    vantrel::test::PtyPair pty_;
    const std::set<Key> moving_;
    mutable std::mutex mutex_;
    sim::BoardEngine engine_;
    Key selected_{10, 0};
    std::map<Key, unsigned> next_;
    std::map<Key, std::set<uint16_t>> log_;
    std::size_t conversions_ = 0;
    int lateEvery_ = 0;
    std::chrono::milliseconds late_{0};
    long commands_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vantrel::testing
