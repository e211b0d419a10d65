#include "sim/board_console.hpp"

#include "text_escape.hpp"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace vantrel::sim {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

long toLong(const std::string& word) {
    long v = 0;
    const char* end = word.data() + word.size();
    const auto [p, ec] = std::from_chars(word.data(), end, v);
    if (ec != std::errc{} || p != end) throw std::invalid_argument("not a whole number: " + word);
    return v;
}

double toDouble(const std::string& word) {
    double v = 0;
    const char* end = word.data() + word.size();
    const auto [p, ec] = std::from_chars(word.data(), end, v);
    if (ec != std::errc{} || p != end) throw std::invalid_argument("not a number: " + word);
    return v;
}

bool toSwitch(const std::string& word) {
    if (word == "on") return true;
    if (word == "off") return false;
    throw std::invalid_argument("expected on or off, got " + word);
}

void need(const std::vector<std::string>& w, std::size_t min, std::size_t max, const char* usage) {
    if (w.size() < min || w.size() > max)
        throw std::invalid_argument(std::string("usage: ") + usage);
}

// "10-bit channel 3 reads 805.25 (word 51536)", the input when it moves, and a note when the
// board does not convert that width at all.
std::string describeChannel(const BoardEngine& e, int bits, int channel) {
    // One sample gives both, for an input that moves.
    const uint16_t word = e.word(bits, channel);
    const double reading = word / (bits == 10 ? 64.0 : bits == 12 ? 16.0 : 1.0);
    char text[96];
    std::snprintf(text, sizeof text, "%d-bit channel %d reads %.6g (word %u)", bits, channel,
                  reading, word);
    std::string line = text;
    const BoardInput input = e.input(bits, channel);
    if (input.kind != BoardInput::Kind::Constant) line += " now, input " + input.describe();
    if (bits == BoardEngine::kBits8 && !e.bits8())
        line +=
            "; but the board answers 8-bit reads from the 10-bit converter (its top 8 bits) "
            "unless started with --bits8, so this reading is not converted";
    if (bits == BoardEngine::kBits10 && e.bits8())
        line +=
            "; but with --bits8 the 8-bit converter answers instead, so this reading is not "
            "converted";
    return line + "\n";
}

}  // namespace

std::vector<std::string> splitWords(std::string_view line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n') {
            ++i;
            continue;
        }
        std::string word;
        bool quoted = false;
        for (; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '"') {
                quoted = !quoted;
                continue;
            }
            if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) break;
            if (c != '\\') {
                word += c;
                continue;
            }
            if (++i == line.size()) throw std::invalid_argument("escape at end of line");
            switch (line[i]) {
                case 'r':
                    word += '\r';
                    break;
                case 'n':
                    word += '\n';
                    break;
                case 't':
                    word += '\t';
                    break;
                case '0':
                    word += '\0';
                    break;
                case '\\':
                    word += '\\';
                    break;
                case '"':
                    word += '"';
                    break;
                case 'x': {
                    const int hi = i + 1 < line.size() ? hexDigit(line[i + 1]) : -1;
                    const int lo = i + 2 < line.size() ? hexDigit(line[i + 2]) : -1;
                    if (hi < 0 || lo < 0) throw std::invalid_argument("\\x needs two hex digits");
                    word += static_cast<char>(hi * 16 + lo);
                    i += 2;
                    break;
                }
                default:
                    throw std::invalid_argument(std::string("unknown escape \\") + line[i]);
            }
        }
        if (quoted) throw std::invalid_argument("unfinished quote");
        words.push_back(std::move(word));
    }
    return words;
}

std::string escapeBytes(std::string_view bytes) {
    return escapeC(bytes, true);
}

const std::string& BoardConsole::help() {
    static const std::string text =
        std::string(
            "commands:\n"
            "  set BITS CHANNEL VALUE        reading of a channel (BITS 8, 10, 12; "
            "CHANNEL 0..15)\n"
            "  input BITS CHANNEL KIND ARGS  an input that moves; a conversion samples "
            "it when it starts:\n") +
        inputUsage() +
        "  clear BITS CHANNEL            back to the default reading\n"
        "  get BITS CHANNEL              show the input, its reading now and its output word\n"
        "  one converter answers addresses Channel x 16: the 10-bit one, whose top 8 bits\n"
        "  are then the 8-bit reads (8-bit readings set here are not converted), or with\n"
        "  --bits8 the 8-bit one (10-bit readings set here are not converted)\n"
        "  script \"REPLY\"...             exact replies for the next commands (\"\": none)\n"
        "  override CMD \"REPLY\" [TIMES]  fixed reply to one command (TIMES 0 removes it)\n"
        "  fault silent on|off           answer nothing\n"
        "  fault outofstep on|off        converter bytes shifted by one until PCSA128\n"
        "  fault delay MS                pause before every reply\n"
        "  fault split BYTES GAP_MS      replies in pieces with gaps (0 0: whole)\n"
        "  fault prefix \"BYTES\"          garbage before every reply (\"\": none)\n"
        "  unsolicited \"TEXT\" [PERIOD_MS] send now, or every period (period 0 stops)\n"
        "  refuse-setup N                refuse the next N PCSA128\n"
        "  hangup-after N                answer N more commands, then hang up\n"
        "  hangup                        hang up now\n"
        "  echo on|off                   echo command lines\n"
        "  pace off|line|BAUD            send at 10 bit times per byte\n"
        "  baud off|BAUD                 the board's own rate: a client at another rate\n"
        "                                sends and gets garbage\n"
        "  lines                         the last command lines received (4096 at most)\n"
        "  status                        the board's state\n"
        "  help, quit\n"
        "text takes \\r \\n \\t \\0 \\\\ \\\" \\xHH\n";
    return text;
}

std::string BoardConsole::status() const {
    const BoardEngine& e = board_.engine();
    std::string text = "line " + board_.slavePath() + (board_.hungUp() ? " (hung up)" : "");
    text += ", line rate " + std::to_string(board_.lineBaud());
    text += "\ncommands " + std::to_string(e.commandCount());
    text += ", scripted left " + std::to_string(e.scriptedLeft());
    text += e.echo() ? ", echo" : "";
    if (e.paceBaud() != 0) text += ", paced at " + std::to_string(e.paceBaud());
    if (board_.boardBaud() != 0)
        text += ", board rate " + std::to_string(board_.boardBaud()) +
                (board_.rateMismatch() ? " (the line's differs: garbage)" : "");
    text += ", conversions " + std::to_string(e.conversionCount());

    // Inputs that move.
    std::string moving;
    for (const int bits : {BoardEngine::kBits8, BoardEngine::kBits10, BoardEngine::kBits12})
        for (int channel = 0; channel < BoardEngine::kChannels; ++channel) {
            const BoardInput input = e.input(bits, channel);
            if (input.kind == BoardInput::Kind::Constant) continue;
            moving += (moving.empty() ? "" : ", ") + std::to_string(bits) + " " +
                      std::to_string(channel) + " " + input.describe();
        }
    if (!moving.empty()) text += "\ninputs: " + moving;

    // Everything that makes the board answer other than a sound board would.
    std::vector<std::string> faults;
    const auto ms = [](std::chrono::microseconds d) {
        return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) +
               " ms";
    };
    if (e.silent()) faults.push_back("silent");
    if (e.outOfStep()) faults.push_back("out of step");
    if (e.replyDelay().count() != 0) faults.push_back("delay " + ms(e.replyDelay()));
    if (e.replySplitBytes() != 0)
        faults.push_back("split " + std::to_string(e.replySplitBytes()) + " bytes, gap " +
                         ms(e.replySplitGap()));
    if (!e.replyPrefix().empty())
        faults.push_back("prefix \"" + escapeBytes(e.replyPrefix()) + "\"");
    if (e.refusalsLeft() > 0) faults.push_back("refuse-setup " + std::to_string(e.refusalsLeft()));
    if (e.commandsBeforeHangUp() >= 0)
        faults.push_back("hangup-after " + std::to_string(e.commandsBeforeHangUp()));
    for (const auto& [command, o] : e.overrides())
        faults.push_back("override \"" + escapeBytes(command) + "\" \"" + escapeBytes(o.reply) +
                         "\"" + (o.times > 0 ? " " + std::to_string(o.times) : ""));
    if (board_.unsolicitedPeriod().count() != 0)
        faults.push_back("unsolicited \"" + escapeBytes(board_.unsolicitedBytes()) + "\" every " +
                         std::to_string(board_.unsolicitedPeriod().count()) + " ms");
    text += "\nfaults: ";
    if (faults.empty()) text += "none";
    for (std::size_t i = 0; i < faults.size(); ++i) text += (i ? ", " : "") + faults[i];
    return text + "\n";
}

BoardConsole::Result BoardConsole::run(std::string_view line) {
    using std::chrono::milliseconds;
    BoardEngine& e = board_.engine();
    try {
        const std::vector<std::string> w = splitWords(line);
        if (w.empty()) return {};
        const std::string& cmd = w[0];
        if (cmd == "help") return {help()};
        if (cmd == "quit" || cmd == "exit") return {"", true};
        if (cmd == "set" || cmd == "input") {
            if (cmd == "set")
                need(w, 4, 4, "set BITS CHANNEL VALUE");
            else
                need(w, 4, SIZE_MAX, "input BITS CHANNEL KIND ARGS...");
            const int bits = static_cast<int>(toLong(w[1]));
            const int channel = static_cast<int>(toLong(w[2]));
            if (cmd == "set")
                e.setReading(bits, channel, toDouble(w[3]));
            else
                setInputFromWords(e, {w.begin() + 1, w.end()});
            return {describeChannel(e, bits, channel)};
        }
        if (cmd == "clear" || cmd == "get") {
            need(w, 3, 3, "clear|get BITS CHANNEL");
            const int bits = static_cast<int>(toLong(w[1]));
            const int channel = static_cast<int>(toLong(w[2]));
            if (cmd == "clear") e.clearReading(bits, channel);
            return {describeChannel(e, bits, channel)};
        }
        if (cmd == "script") {
            need(w, 2, SIZE_MAX, "script \"REPLY\"...");
            e.scriptReplies(std::vector<std::string>(w.begin() + 1, w.end()));
            return {std::to_string(e.scriptedLeft()) + " scripted replies queued\n"};
        }
        if (cmd == "override") {
            need(w, 3, 4, "override CMD \"REPLY\" [TIMES]");
            e.overrideReply(w[1], w[2], w.size() == 4 ? static_cast<int>(toLong(w[3])) : -1);
            return {"ok\n"};
        }
        if (cmd == "fault") {
            need(w, 3, 4, "fault silent|outofstep|delay|split|prefix ...");
            const std::string& what = w[1];
            if (what == "silent") {
                e.setSilent(toSwitch(w[2]));
            } else if (what == "outofstep") {
                e.setOutOfStep(toSwitch(w[2]));
            } else if (what == "delay") {
                e.setReplyDelay(milliseconds(toLong(w[2])));
            } else if (what == "split") {
                need(w, 4, 4, "fault split BYTES GAP_MS");
                const long bytes = toLong(w[2]);
                if (bytes < 0) throw std::invalid_argument("BYTES must not be negative");
                e.setReplySplit(static_cast<std::size_t>(bytes), milliseconds(toLong(w[3])));
            } else if (what == "prefix") {
                e.setReplyPrefix(w[2]);
            } else {
                throw std::invalid_argument("unknown fault " + what);
            }
            return {"ok\n"};
        }
        if (cmd == "unsolicited") {
            need(w, 2, 3, "unsolicited \"TEXT\" [PERIOD_MS]");
            if (w.size() == 3) {
                board_.setUnsolicitedEvery(w[1], milliseconds(toLong(w[2])));
            } else {
                board_.sendUnsolicited(w[1]);
            }
            return {"ok\n"};
        }
        if (cmd == "refuse-setup") {
            need(w, 2, 2, "refuse-setup N");
            e.refuseSetup(static_cast<int>(toLong(w[1])));
            return {"ok\n"};
        }
        if (cmd == "hangup-after") {
            need(w, 2, 2, "hangup-after N");
            e.hangUpAfter(static_cast<int>(toLong(w[1])));
            return {"ok\n"};
        }
        if (cmd == "hangup") {
            board_.hangUp();
            return {"hung up\n"};
        }
        if (cmd == "echo") {
            need(w, 2, 2, "echo on|off");
            e.setEcho(toSwitch(w[1]));
            return {"ok\n"};
        }
        if (cmd == "pace") {
            need(w, 2, 2, "pace off|line|BAUD");
            board_.setPaceFromLine(w[1] == "line");
            if (w[1] == "off" || w[1] == "line") {
                e.setPaceBaud(0);
            } else {
                const long baud = toLong(w[1]);
                if (baud <= 0) throw std::invalid_argument("BAUD must be positive");
                e.setPaceBaud(static_cast<uint32_t>(baud));
            }
            return {"ok\n"};
        }
        if (cmd == "baud") {
            need(w, 2, 2, "baud off|BAUD");
            const long baud = w[1] == "off" ? 0 : toLong(w[1]);
            if (baud < 0) throw std::invalid_argument("BAUD must be positive");
            board_.setBoardBaud(static_cast<uint32_t>(baud));
            return {"ok\n"};
        }
        if (cmd == "lines") {
            std::string text;
            for (const std::string& l : e.lines()) {
                text += '"';
                text += escapeBytes(l);
                text += "\"\n";
            }
            return {text};
        }
        if (cmd == "status") return {status()};
        throw std::invalid_argument("unknown command " + cmd + " (try help)");
    } catch (const std::exception& ex) {
        return {std::string("error: ") + ex.what() + "\n"};
    }
}

}  // namespace vantrel::sim
