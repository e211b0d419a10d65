// vantrel: "sim://", a simulated board inside this process. The simulator's protocol engine
// answers every command; its replies arrive through the loop as a device's would, after the
// delays the engine asks for. No pseudo-terminal, no thread. Each open plugs in a new board.
//
// "sim://" is the 10-bit board; options after "?", joined by "&": "bits8" (the 8-bit converter
// answers instead of the 10-bit one), "echo" (each command line is echoed first),
// "input=BITS:CHANNEL:KIND:ARGS" (an input that moves, the simulator's --input with colons for
// spaces, e.g. "input=10:3:sine:512:400:2s"; once per channel) and "log=PATH" (each conversion
// written to PATH, as the simulator's --log FILE does).
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/board_engine.hpp"
#include "sim/conversion_log.hpp"
#include "transport/serial_base.hpp"
#include "vantrel/error.hpp"

namespace vantrel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kScheme = "sim://";

struct SimOptions {
    sim::BoardEngine::Options engine;
    std::vector<std::vector<std::string>> inputs;  // BITS CHANNEL KIND ARGS...
    std::string log;
};

SimOptions parseSimOptions(std::string_view device) {
    SimOptions options;
    std::string_view rest = device.substr(kScheme.size());
    const auto bad = [&](std::string_view why) {
        return Error(err::PortOpenFailed, std::string(device) + ": " + std::string(why));
    };
    if (rest.empty()) return options;
    if (rest.front() != '?') throw bad("expected sim:// or sim://?OPTIONS");
    rest.remove_prefix(1);
    while (true) {
        const std::size_t amp = rest.find('&');
        const std::string_view option = rest.substr(0, amp);
        if (option == "bits8") {
            options.engine.bits8 = true;
        } else if (option == "echo") {
            options.engine.echo = true;
        } else if (option.starts_with("input=")) {
            std::vector<std::string> words;
            std::string_view rest = option.substr(6);
            for (std::size_t colon; (colon = rest.find(':')) != std::string_view::npos;
                 rest.remove_prefix(colon + 1))
                words.emplace_back(rest.substr(0, colon));
            words.emplace_back(rest);
            sim::BoardEngine check;
            try {
                sim::setInputFromWords(check, words);
            } catch (const std::invalid_argument& e) {
                throw bad(std::string(option) + ": " + e.what());
            }
            options.inputs.push_back(std::move(words));
        } else if (option.starts_with("log=") && option.size() > 4) {
            options.log = option.substr(4);
        } else {
            throw bad("unknown option \"" + std::string(option) +
                      "\" (known: bits8, echo, input=..., log=PATH)");
        }
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return options;
}

class SimLink final : public Link {
  public:
    SimLink(EventLoop& loop, SerialBase& base) : loop_(loop), base_(base) {}

    ~SimLink() override { close(); }

    bool isOpen() const override { return engine_.has_value(); }
    void apply(const LineFormat&) override {}
    bool hungUp() const override { return hungUp_; }

    void open(const std::string& device, const LineFormat&) override {
        const SimOptions options = parseSimOptions(device);
        std::unique_ptr<sim::ConversionLog> log;
        if (!options.log.empty()) log = std::make_unique<sim::ConversionLog>(options.log);
        timer_ = loop_.addTimer([this] { deliver(); });
        engine_.emplace(options.engine);
        engine_->setTimeSource([] {
            return std::chrono::duration_cast<std::chrono::microseconds>(
                Clock::now().time_since_epoch());
        });
        for (const auto& words : options.inputs) sim::setInputFromWords(*engine_, words);
        log_ = std::move(log);
        if (log_) engine_->setConversionObserver(log_->observer());
        hungUp_ = false;
        ++generation_;
        base_.clearInput();
    }

    void close() noexcept override {
        if (timer_) loop_.removeTimer(*timer_);
        timer_.reset();
        engine_.reset();
        log_.reset();
        pending_.clear();
        hungUp_ = false;
        base_.clearOutput();
    }

    void write(std::string_view bytes) override {
        if (hungUp_) throw Error(err::PortIo, "write sim://: the board has hung up");
        if (bytes.empty()) return;
        if (base_.trace()) base_.trace()(TraceDirection::Written, bytes);
        out_.clear();
        engine_->receive(bytes, out_);
        // A chunk's delay counts from the one before it, the first from now; the line carries
        // one output after the other.
        Clock::time_point due = Clock::now();
        if (!pending_.empty() && pending_.back().first > due) due = pending_.back().first;
        for (sim::Chunk& c : out_) {
            due += c.delay;
            pending_.emplace_back(due, std::move(c.bytes));
        }
        arm();
    }

    void deliverPending() override { deliver(); }

  private:
    void arm() {
        if (pending_.empty()) {
            loop_.disarmTimer(*timer_);
            // The board hangs up once its last reply is out.
            if (engine_ && engine_->hangUpDue()) hungUp_ = true;
            return;
        }
        loop_.armTimer(*timer_, pending_.front().first, std::chrono::nanoseconds(0));
    }

    // Hands over every chunk that is due and notifies Receive (RxOver first when the input
    // buffer overflowed). A handler may close, reopen or destroy the component.
    void deliver() {
        if (!engine_) return;
        const uint64_t generation = generation_;
        const Clock::time_point now = Clock::now();
        bool overflowed = false;
        while (!pending_.empty() && pending_.front().first <= now) {
            const std::string& bytes = pending_.front().second;
            overflowed |= base_.store(bytes);
            if (base_.trace()) base_.trace()(TraceDirection::Received, bytes);
            pending_.pop_front();
        }
        arm();
        if (overflowed && !base_.notify(comm::RxOver)) return;
        if (!engine_ || generation_ != generation) return;
        if (base_.hasInput()) base_.notify(comm::Receive);
    }

    EventLoop& loop_;
    SerialBase& base_;
    std::optional<sim::BoardEngine> engine_;
    std::unique_ptr<sim::ConversionLog> log_;
    std::optional<uint64_t> timer_;  // the loop's timer while open
    std::deque<std::pair<Clock::time_point, std::string>> pending_;
    sim::Output out_;  // scratch: the engine's output for one write
    bool hungUp_ = false;
    uint64_t generation_ = 0;
};

}  // namespace

std::unique_ptr<Link> makeSimLink(EventLoop& loop, SerialBase& base) {
    return std::make_unique<SimLink>(loop, base);
}

}  // namespace vantrel
