#include "sim/board_engine.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace vantrel::sim {

namespace {

constexpr char kCR = '\r';
constexpr char kLF = '\n';

// Default readings of the reference inputs: 11 half scale, 12 zero scale, 13 full scale.
double defaultReading(int bits, int channel) {
    switch (channel) {
        case 11:
            return bits == 8 ? 128.0 : bits == 10 ? 512.0 : 2048.0;
        case 13:
            return bits == 10 ? 1023.0 : bits == 12 ? 4095.0 : 0.0;
        default:
            return 0.0;
    }
}

// Steps per unit of reading in the converter's output word.
double scaleOf(int bits) {
    return bits == 10 ? 64.0 : bits == 12 ? 16.0 : 1.0;
}
double maxWordOf(int bits) {
    return bits == 8 ? 255.0 : 65535.0;
}
// The converter's output word for an input value: rounded to its steps, clamped to its range.
uint16_t wordOf(int bits, double value) {
    if (!std::isfinite(value)) return 0;
    return static_cast<uint16_t>(
        std::clamp(std::nearbyint(value * scaleOf(bits)), 0.0, maxWordOf(bits)));
}

// Reads "PWS<n>": 1 to 3 decimal digits, at most 255.
std::optional<int> parseAddress(std::string_view digits) {
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    int n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n > 255) return std::nullopt;
    return n;
}

}  // namespace

std::string joined(const Output& out) {
    std::string all;
    for (const Chunk& c : out) all += c.bytes;
    return all;
}

std::chrono::microseconds totalDelay(const Output& out) {
    std::chrono::microseconds sum{0};
    for (const Chunk& c : out) sum += c.delay;
    return sum;
}

std::string errorReply(char code, std::string_view text) {
    std::string r = "?";
    r += code;
    r += ' ';
    r += text;
    r += "\r\n>";
    return r;
}

std::string okReply(long n) {
    return "OK " + std::to_string(n) + "\r\n>";
}

std::string reframe(std::string_view bytes, uint32_t sendBaud, uint32_t receiveBaud) {
    if (sendBaud == receiveBaud || sendBaud == 0 || receiveBaud == 0 || bytes.empty())
        return std::string(bytes);
    // Times in bit times of the sender; the receiver's bit lasts `rx` of them.
    const double rx = static_cast<double>(sendBaud) / receiveBaud;
    const std::size_t cells = bytes.size() * 10;
    const auto level = [&](std::size_t cell) -> int {
        if (cell >= cells) return 1;
        const std::size_t bit = cell % 10;
        if (bit == 0) return 0;
        if (bit == 9) return 1;
        return (static_cast<unsigned char>(bytes[cell / 10]) >> (bit - 1)) & 1;
    };
    const auto at = [&](double t) { return level(static_cast<std::size_t>(t)); };
    std::string out;
    std::size_t cell = 0;  // where the receiver looks for the next start bit
    while (true) {
        while (cell < cells && level(cell) != 0) ++cell;
        if (cell >= cells) break;
        const double start = static_cast<double>(cell);
        unsigned value = 0;
        for (int i = 0; i < 8; ++i)
            if (at(start + (1.5 + i) * rx)) value |= 1u << i;
        out += static_cast<char>(value);
        // It hunts again after the middle of its stop bit.
        cell = static_cast<std::size_t>(std::ceil(start + 9.5 * rx));
    }
    return out;
}

BoardEngine::BoardEngine(Options options) : options_(options) {
    if (options_.maxLine == 0) options_.maxLine = 1;
    selectedBits_ = options_.bits8 ? kBits8 : kBits10;
}

int BoardEngine::converterIndex(int bits) const {
    switch (bits) {
        case kBits8:
            return 0;
        case kBits10:
            return 1;
        case kBits12:
            return 2;
        default:
            throw std::invalid_argument("no " + std::to_string(bits) + "-bit converter");
    }
}

const std::optional<BoardEngine::Channel>& BoardEngine::slot(int bits, int channel) const {
    const int i = converterIndex(bits);
    if (channel < 0 || channel >= kChannels)
        throw std::invalid_argument("no channel " + std::to_string(channel));
    return converters_[i].set[channel];
}

void BoardEngine::setReading(int bits, int channel, double value) {
    if (!std::isfinite(value)) throw std::invalid_argument("reading must be a finite number");
    setInput(bits, channel, BoardInput::constant(value));
}

void BoardEngine::setInput(int bits, int channel, BoardInput input) {
    slot(bits, channel);  // checks both
    if (input.kind == BoardInput::Kind::Alternate && input.values.empty())
        throw std::invalid_argument("an alternate input needs values");
    converters_[converterIndex(bits)].set[channel] = Channel{std::move(input), now(), 0};
}

BoardInput BoardEngine::input(int bits, int channel) const {
    const std::optional<Channel>& c = slot(bits, channel);
    return c ? c->input : BoardInput::constant(defaultReading(bits, channel));
}

void BoardEngine::clearReading(int bits, int channel) {
    slot(bits, channel);
    converters_[converterIndex(bits)].set[channel].reset();
}

double BoardEngine::reading(int bits, int channel) const {
    return word(bits, channel) / scaleOf(bits);
}

uint16_t BoardEngine::word(int bits, int channel) const {
    const std::optional<Channel>& c = slot(bits, channel);
    return wordOf(
        bits, c ? c->input.at(now() - c->since, c->conversions) : defaultReading(bits, channel));
}

// A conversion of the selected channel, starting now.
uint16_t BoardEngine::convert() {
    const std::chrono::microseconds t = now();
    std::optional<Channel>& c = converters_[converterIndex(selectedBits_)].set[channel_];
    const uint16_t w = wordOf(selectedBits_, c ? c->input.at(t - c->since, c->conversions++)
                                               : defaultReading(selectedBits_, channel_));
    ++conversionCount_;
    if (conversionObserver_)
        conversionObserver_(Conversion{t, selectedBits_, channel_, w, w / scaleOf(selectedBits_)});
    return w;
}

void BoardEngine::scriptReplies(const std::vector<std::string>& replies) {
    script_.insert(script_.end(), replies.begin(), replies.end());
}

void BoardEngine::scriptReply(std::string reply) {
    script_.push_back(std::move(reply));
}

void BoardEngine::overrideReply(std::string_view command, std::string reply, int times) {
    if (times == 0) {
        if (auto it = overrides_.find(command); it != overrides_.end()) overrides_.erase(it);
        return;
    }
    overrides_.insert_or_assign(std::string(command), Override{std::move(reply), times});
}

void BoardEngine::setReplySplit(std::size_t pieceBytes, std::chrono::microseconds gap) {
    pieceBytes_ = pieceBytes;
    pieceGap_ = gap;
}

Output BoardEngine::receive(std::string_view bytes) {
    Output out;
    receive(bytes, out);
    return out;
}

void BoardEngine::receive(std::string_view bytes, Output& out) {
    for (char c : bytes) {
        if (hangUpDue()) return;
        if (c == kCR) {
            raw_ += c;
            if (overflowed_) {
                // Already answered when the limit was passed; only the record remains.
                record(raw_);
                if (observer_) observer_(raw_, silent_ ? "" : errorReply('B', "Line too long"));
                raw_.clear();
                text_.clear();
                overflowed_ = false;
            } else {
                endLine(raw_, text_, out);
            }
            continue;
        }
        if (overflowed_) continue;
        if (raw_.size() >= options_.maxLine) {
            // A flood without line end: answer once, then drop bytes until the next CR.
            overflowed_ = true;
            if (!silent_) emit(errorReply('B', "Line too long"), replyDelay_, out);
            continue;
        }
        raw_ += c;
        if (c == kLF) continue;
        text_ += c;
        if (c == '@' && text_.size() == 1) endLine(raw_, text_, out);
    }
}

void BoardEngine::endLine(std::string_view raw, std::string_view text, Output& out) {
    record(raw);
    ++commandCount_;

    std::string reply = execute(text);
    if (auto it = overrides_.find(text); it != overrides_.end()) {
        reply = it->second.reply;
        if (it->second.times > 0 && --it->second.times == 0) overrides_.erase(it);
    } else if (options_.echo) {
        reply = std::string(text) + "\r\n" + replyPrefix_ + reply;
    } else {
        reply = replyPrefix_ + reply;
    }
    if (!script_.empty()) {
        reply = std::move(script_.front());
        script_.pop_front();
    }

    if (silent_) reply.clear();
    if (observer_) observer_(raw, reply);
    raw_.clear();
    text_.clear();
    emit(reply, replyDelay_, out);
    if (hangUpAfter_ > 0) --hangUpAfter_;
}

void BoardEngine::record(std::string_view raw) {
    if (!recordLines_) return;
    if (lines_.size() >= kHistoryLines) {
        lines_.erase(lines_.begin(), lines_.begin() + kHistoryDrop);
        linesBefore_ += kHistoryDrop;
    }
    lines_.emplace_back(raw);
}

std::string BoardEngine::execute(std::string_view text) {
    if (text == "@") return okReply(readByte(false));
    if (text == "PRS") return okReply(readByte(true));
    if (text == "PRA") return okReply(1);
    if (text == "PCSA128") {
        if (refuseSetup_ > 0) {
            --refuseSetup_;
            return errorReply('4', "Set-up failed");
        }
        // Restarts the converters' serial interface: a reading starts with its high byte.
        outOfStep_ = false;
        dummyPending_ = false;
        nextByte_ = 0;
        return okReply(0);
    }
    if (text.empty()) return ">";
    if (text.starts_with("PWS")) {
        const std::optional<int> address = parseAddress(text.substr(3));
        if (!address) return errorReply('3', "Bad address");
        switch (*address & 0x0F) {
            case 0:
                selectedBits_ = options_.bits8 ? kBits8 : kBits10;
                break;
            case 12:
                selectedBits_ = kBits12;
                break;
            default:
                return errorReply('3', "Bad address");
        }
        channel_ = *address >> 4;
        latched_.reset();
        dummyPending_ = true;
        nextByte_ = 0;
        return okReply(*address);
    }
    return errorReply('A', "Illegal command");
}

// The next byte the converter shifts out.
uint8_t BoardEngine::readByte(bool viaPrs) {
    if (selectedBits_ == kBits8) {
        // One byte per reading; out of step it comes one bit late.
        const uint16_t w = convert();
        return static_cast<uint8_t>(outOfStep_ ? w >> 1 : w);
    }
    int index;
    if (viaPrs) {
        // "PRS" starts a conversion and shifts out the high byte. Straight after an address
        // write that byte belongs to the conversion being started and is not used by the
        // reader: the two "@" that follow give high and low byte.
        latched_ = convert();
        index = 0;
        nextByte_ = dummyPending_ ? 0 : 1;
        dummyPending_ = false;
    } else {
        if (!latched_) latched_ = convert();
        index = nextByte_;
        nextByte_ ^= 1;
    }
    if (outOfStep_) index ^= 1;
    return static_cast<uint8_t>(index == 0 ? *latched_ >> 8 : *latched_ & 0xFF);
}

void BoardEngine::emit(std::string_view bytes, std::chrono::microseconds delay, Output& out) const {
    if (bytes.empty()) return;
    const std::size_t piece = pieceBytes_ == 0 ? bytes.size() : pieceBytes_;
    if (paceBaud_ == 0) {
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            const auto d = at == 0 ? delay : pieceGap_;
            if (d.count() == 0 && !out.empty())
                out.back().bytes.append(bytes.substr(at, piece));
            else
                out.push_back(Chunk{d, std::string(bytes.substr(at, piece))});
        }
        return;
    }
    // Each byte leaves the wire 10 bit times after the one before it. Times are rounded from
    // the start of this output so that rounding does not add up over a long reply.
    const auto wireTime = [this](std::size_t n) {
        return std::chrono::microseconds(static_cast<int64_t>(
            std::nearbyint(static_cast<double>(n) * 10'000'000.0 / paceBaud_)));
    };
    out.reserve(out.size() + bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        auto d = wireTime(i + 1) - wireTime(i);
        if (i == 0)
            d += delay;
        else if (i % piece == 0)
            d += pieceGap_;
        out.push_back(Chunk{d, std::string(1, bytes[i])});
    }
}

void setInputFromWords(BoardEngine& engine, const std::vector<std::string>& words) {
    if (words.size() < 3) throw std::invalid_argument("expected BITS CHANNEL KIND ARGS...");
    int number[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const std::string& w = words[static_cast<std::size_t>(i)];
        const auto [p, ec] = std::from_chars(w.data(), w.data() + w.size(), number[i]);
        if (ec != std::errc{} || p != w.data() + w.size())
            throw std::invalid_argument("not a whole number: " + w);
    }
    engine.setInput(number[0], number[1], parseInput({words.begin() + 2, words.end()}));
}

Output BoardEngine::unsolicited(std::string_view bytes) const {
    Output out;
    if (!hangUpDue()) emit(bytes, std::chrono::microseconds{0}, out);
    return out;
}

}  // namespace vantrel::sim
