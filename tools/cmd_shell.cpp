// vantrel shell: an automation console over the control's member table.
//
//   Command "PRA"      calls a method       Port = 3   assigns a property
//   Port               reads a property (or calls a method that takes no arguments)
//
//   Command("PRA")     the same call, written with parentheses
//
// Between calls the event loop keeps running, so text and interrupts that the board sends of its
// own accord are shown as they arrive. On a terminal (without --json) the shell is a console:
// a prompt, line editing, a history kept between runs, Tab completion, plain-word help, Ctrl-C
// dropping the line being typed.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

#include "channels.hpp"
#include "commands.hpp"
#include "events.hpp"
#include "line_editor.hpp"
#include "member_help.hpp"
#include "no_case.hpp"
#include "options.hpp"
#include "output.hpp"
#include "session.hpp"
#include "signals.hpp"
#include "vantrel/component.h"

namespace vantrel::cli {

namespace {

// The longest line the automation console takes; a longer one is refused whole, so that input
// without newlines cannot grow without bound.
constexpr std::size_t kMaxLine = 64 * 1024;
const std::string kTooLong = "line longer than 65536 bytes, ignored up to its end";

struct ShellOptions {
    ControlOptions control;
    bool json = false;
    std::string history = defaultHistoryFile();
};

struct Token {
    std::string text;
    bool quoted = false;
};

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits a line into words, quoted strings (with C escapes) and "=". Throws
// std::invalid_argument with the reason for an unfinished string or a bad escape.
std::vector<Token> tokenize(std::string_view line) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '=' || c == '(' || c == ')' || c == ',') {
            tokens.push_back({std::string(1, c), false});
            ++i;
        } else if (c == '"') {
            Token t{{}, true};
            ++i;
            for (;;) {
                if (i >= line.size()) throw std::invalid_argument("unfinished string");
                char d = line[i++];
                if (d == '"') break;
                if (d != '\\') {
                    t.text += d;
                    continue;
                }
                if (i >= line.size()) throw std::invalid_argument("unfinished string");
                d = line[i++];
                switch (d) {
                    case 'r':
                        t.text += '\r';
                        break;
                    case 'n':
                        t.text += '\n';
                        break;
                    case 't':
                        t.text += '\t';
                        break;
                    case '0':
                        t.text += '\0';
                        break;
                    case '\\':
                    case '"':
                    case '\'':
                        t.text += d;
                        break;
                    case 'x': {
                        int value = 0;
                        int digits = 0;
                        for (; digits < 2 && i < line.size() && hexDigit(line[i]) >= 0; ++digits)
                            value = value * 16 + hexDigit(line[i++]);
                        if (digits == 0) throw std::invalid_argument("\\x without hex digits");
                        t.text += static_cast<char>(value);
                        break;
                    }
                    default:
                        throw std::invalid_argument(std::string("unknown escape \\") + d);
                }
            }
            tokens.push_back(std::move(t));
        } else {
            Token t;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
                   line[i] != '=' && line[i] != '"' && line[i] != '(' && line[i] != ')' &&
                   line[i] != ',')
                t.text += line[i++];
            tokens.push_back(std::move(t));
        }
    }
    return tokens;
}

bool isMark(const Token& t, char mark) {
    return !t.quoted && t.text.size() == 1 && t.text[0] == mark;
}

// "Member(a, b)" -> "Member a b". Throws std::invalid_argument for parentheses or commas
// anywhere else.
void unwrapCall(std::vector<Token>& tokens) {
    if (tokens.size() >= 2 && isMark(tokens[1], '(')) {
        if (!isMark(tokens.back(), ')')) throw std::invalid_argument("expected ) at the end");
        std::vector<Token> plain = {tokens[0]};
        for (std::size_t i = 2; i + 1 < tokens.size(); ++i) {
            const bool wantValue = (i - 2) % 2 == 0;
            const bool comma = isMark(tokens[i], ',');
            if (wantValue == comma) throw std::invalid_argument("expected: Member(value, ...)");
            if (wantValue) plain.push_back(tokens[i]);
        }
        if (tokens.size() > 3 && tokens.size() % 2 == 1)
            throw std::invalid_argument("expected a value after ,");
        tokens = std::move(plain);
    }
    for (const Token& t : tokens)
        if (isMark(t, '(') || isMark(t, ')') || isMark(t, ','))
            throw std::invalid_argument("misplaced " + t.text);
}

// A word as a value: a keyword or a number (Integer, Long or Double, as a literal would be).
Variant wordValue(const Token& t) {
    if (t.quoted) return Variant(t.text);
    if (equalsNoCase(t.text, "Empty")) return Variant();
    if (equalsNoCase(t.text, "Null")) return Variant::null();
    if (equalsNoCase(t.text, "True")) return Variant(true);
    if (equalsNoCase(t.text, "False")) return Variant(false);
    const std::optional<double> n = parseNumericText(t.text);
    if (!n) throw std::invalid_argument("not a value: " + t.text + " (quote text)");
    const bool whole = t.text.find_first_of(".eEdD") == std::string::npos || t.text[0] == '&';
    if (whole && *n >= -32768 && *n <= 32767) return Variant(static_cast<int16_t>(*n));
    if (whole && *n >= -2147483648.0 && *n <= 2147483647.0)
        return Variant(static_cast<int32_t>(*n));
    return Variant(*n);
}

std::string guidText(const vantrel_guid& g) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.data1), g.data2, g.data3, g.data4[0], g.data4[1],
                  g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    return buf;
}

const char* kindName(InvokeKind k) {
    switch (k) {
        case InvokeKind::Method:
            return "method";
        case InvokeKind::PropertyGet:
            return "get";
        case InvokeKind::PropertyPut:
            return "put";
    }
    return "?";
}

std::string hexId(int32_t id) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(id));
    return buf;
}

class Shell {
  public:
    explicit Shell(const ShellOptions& o)
        : json_(o.json),
          console_(!o.json && ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO)),
          history_(o.history),
          session_(o.control) {
        session_.ctrl().connect(&events_);
        events_.live = [this](const EventRecorder::Event& e) { showLive(e); };
        session_.onReceived = [this](std::string_view bytes) {
            if (inCall_) return;
            const std::string text = bytesToText(bytes);
            if (json_)
                printJson({{"received", text}});
            else
                show("received " + quotedText(text));
        };
    }
    ~Shell() { session_.ctrl().disconnect(&events_); }

    int run() {
        // A control loaded from a form is one a program set up before: the shell opens its port
        // as that program would, so that the first call reaches the board. A board that
        // `vantrel serve` holds is open already; the shell joins it the same way.
        if ((session_.hasForm() || session_.served()) && session_.openPort())
            printError("vantrel: opened " + session_.where() +
                       (session_.hasForm() ? " as the form says" : ", served by vantrel serve") +
                       " (ClosePort closes it)");
        return console_ ? runConsole() : runAutomation();
    }

  private:
    int runAutomation() {
        StopSignals& stop = session_.stop();
        std::string input;
        bool eof = false;
        bool skipping = false;  // in a line that was too long, up to its end
        while (!quit_ && !eof && !stop.raised()) {
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {session_.loop().fd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                throw Error(err::EventLoopFailed, sysMessage("poll", "", errno));
            }
            if (fds[1].revents != 0) session_.loop().dispatchPending();
            if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buf[4096];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                throw Error(err::PortIo, sysMessage("read", "standard input", errno));
            }
            if (n == 0) eof = true;
            // The unfinished line was searched before: only the new bytes are.
            std::size_t scanned = input.size();
            input.append(buf, static_cast<std::size_t>(n));
            std::size_t start = 0;
            for (std::size_t nl; !quit_ && (nl = input.find('\n', scanned)) != std::string::npos;
                 start = scanned = nl + 1) {
                if (skipping) {
                    skipping = false;  // the end of a line that was too long
                    continue;
                }
                line(std::string_view(input).substr(start, nl - start));
            }
            input.erase(0, start);
            if (input.size() > kMaxLine) {
                if (!skipping) syntaxError(std::string_view(input).substr(0, 40), kTooLong);
                skipping = true;
                input.clear();
            }
        }
        if (skipping) input.clear();
        if (eof && !quit_ && !input.empty()) line(input);
        return kExitTrue;
    }

    int runConsole() {
        editor_ = std::make_unique<LineEditor>(
            [this] { return promptText(); },
            [](std::string_view before) { return completions(before); }, history_);
        printLine("Console on COM" + std::to_string(session_.ctrl().Port()) +
                  ": help lists the members, Tab completes, Ctrl-D ends.");
        const int endedBy = cli::runConsole(
            session_.stop(), session_.loop(), *editor_,
            [this](const std::string& text) { line(text); }, [this] { return quit_; });
        editor_.reset();
        return endedBy != 0 ? 128 + endedBy : kExitTrue;
    }

    std::string promptText() {
        return "COM" + std::to_string(session_.ctrl().Port()) + " " +
               std::to_string(session_.ctrl().Bauds()) + "> ";
    }

    // What Tab offers: member names and the shell's words at the start of a line, member names
    // after "help", values elsewhere.
    static std::vector<std::string> completions(std::string_view before) {
        const std::size_t first = before.find_first_not_of(" \t");
        std::vector<std::string> words;
        if (first == std::string_view::npos) {
            words = memberNames();
            for (const char* w : {"help", "quit", "exit"}) words.emplace_back(w);
        } else if (equalsNoCase(before.substr(first, before.find_last_not_of(" \t") + 1 - first),
                                "help")) {
            words = memberNames();
        } else {
            for (const char* w : {"True", "False", "Empty", "Null"}) words.emplace_back(w);
        }
        return words;
    }

    // A line of plain output: above the line being typed when the console is editing one.
    void show(const std::string& text) {
        if (editor_)
            editor_->printAbove(text + "\n");
        else
            printLine(text);
    }

    void showLive(const EventRecorder::Event& e) {
        if (json_)
            printJson(eventJson(e));
        else
            show("event " + eventText(e));
    }

    void line(std::string_view text) {
        std::vector<Token> tokens;
        try {
            tokens = tokenize(text);
        } catch (const std::invalid_argument& e) {
            syntaxError(text, e.what());
            return;
        }
        if (tokens.empty() || (!tokens[0].quoted && tokens[0].text.starts_with("#"))) return;
        try {
            unwrapCall(tokens);
        } catch (const std::invalid_argument& e) {
            syntaxError(text, e.what());
            return;
        }
        const Token& first = tokens[0];
        if (!first.quoted && tokens.size() == 2 && !tokens[1].quoted &&
            equalsNoCase(first.text, "help")) {
            helpOn(tokens[1].text);
            return;
        }
        if (!first.quoted && tokens.size() == 1) {
            if (equalsNoCase(first.text, "quit") || equalsNoCase(first.text, "exit")) {
                quit_ = true;
                return;
            }
            if (equalsNoCase(first.text, "help")) {
                help();
                return;
            }
        }
        if (first.quoted || first.text == "=") {
            syntaxError(text, "a line starts with a member name (try help)");
            return;
        }

        InvokeKind kind = InvokeKind::Method;
        std::vector<Variant> args;
        try {
            if (tokens.size() >= 2 && !tokens[1].quoted && tokens[1].text == "=") {
                if (tokens.size() != 3) throw std::invalid_argument("expected: Member = value");
                kind = InvokeKind::PropertyPut;
                args.push_back(wordValue(tokens[2]));
            } else {
                for (std::size_t i = 1; i < tokens.size(); ++i) {
                    if (!tokens[i].quoted && tokens[i].text == "=")
                        throw std::invalid_argument("misplaced =");
                    args.push_back(wordValue(tokens[i]));
                }
            }
        } catch (const std::invalid_argument& e) {
            syntaxError(text, e.what());
            return;
        } catch (const Error& e) {
            syntaxError(text, e.what());  // a number beyond a double
            return;
        }
        call(first.text, kind, std::move(args));
    }

    void call(const std::string& name, InvokeKind kind, std::vector<Variant> args) {
        const std::optional<int32_t> id = memberIdByName(name);
        std::string shown = name;
        if (id && args.empty() && kind == InvokeKind::Method &&
            findMember(*id, InvokeKind::PropertyGet))
            kind = InvokeKind::PropertyGet;
        const MemberInfo* info = id ? findMember(*id, kind) : nullptr;
        if (info) shown = info->name;

        Json out = {{"call", shown}, {"kind", kindName(kind)}};
        if (id) out["id"] = *id;
        Variant result;
        std::optional<Error> failure;
        inCall_ = true;
        events_.live = nullptr;
        try {
            if (!id) throw Error(err::MemberNotFound);
            result = invoke(session_.ctrl(), *id, kind, args);
        } catch (const Error& e) {
            failure = e;
        }
        inCall_ = false;
        const std::vector<EventRecorder::Event> raised = events_.take();
        events_.live = [this](const EventRecorder::Event& e) { showLive(e); };

        if (json_) {
            if (!failure) out["result"] = variantJson(result);
            // By-reference arguments come back also from a failed call.
            Json a = Json::array();
            for (const Variant& v : args) a.push_back(variantJson(v));
            out["args"] = std::move(a);
            Json ev = Json::array();
            for (const auto& e : raised) ev.push_back(eventJson(e));
            out["events"] = std::move(ev);
            if (failure) out["error"] = {{"number", failure->number()}, {"text", failure->what()}};
            printJson(out);
            return;
        }
        if (failure) {
            show(shown + ": error " + std::to_string(failure->number()) + ": " + failure->what());
            if (!id) show("  no member called " + name + " (help lists them)");
        } else if (kind == InvokeKind::PropertyPut) {
            // Port and Bauds refuse a value by setting ErrorString, not by failing.
            const std::string refusal = console_ ? session_.ctrl().ErrorString() : std::string();
            if (refusal.empty())
                show(shown + " = " + variantText(args[0]));
            else
                show(shown + " = " + variantText(args[0]) + " refused: " + refusal + " (it stays " +
                     variantText(invoke(session_.ctrl(), *id, InvokeKind::PropertyGet, {})) + ")");
        } else {
            std::string text = shown + " -> " + variantText(result);
            if (info)
                for (std::size_t i = 0; i < info->params.size() && i < args.size(); ++i)
                    if (info->params[i].byRef)
                        text +=
                            ", " + std::string(info->params[i].name) + " = " + variantText(args[i]);
            show(text);
            // The control says only that the open failed; the device says why.
            if (info && std::string_view(info->name) == "OpenPort" &&
                result.type() == VarType::Boolean && !result.asBoolean())
                show("  " + openRefusal());
            if (console_ && info && std::string_view(info->name) == "Command")
                show("  reply " + quotedText(session_.ctrl().ReturnedStr()));
            // A conversion without a refusal text of its own (8 bits) refuses a channel without
            // a word in ErrorString.
            const Converter* converter = info ? converterByMember(info->name) : nullptr;
            if (console_ && converter && !converter->refusal && result.type() == VarType::Boolean &&
                !result.asBoolean() && args[0].type() == VarType::Integer) {
                const std::string why = channelRefusal(*converter, args[0].asInteger());
                if (!why.empty()) show("  " + why);
            }
        }
        for (const auto& e : raised) show("  event " + eventText(e));
    }

    // Why OpenPort returned False: the control's text, then the device's reason.
    std::string openRefusal() {
        VantrelCtrl& ctrl = session_.ctrl();
        const std::string said = ctrl.ErrorString();
        if (ctrl.PortIsOpen())
            return said + " (PortIsOpen is True: ClosePort, then OpenPort again)";
        return said + (said.empty() ? "" : ": ") + portProblem(ctrl.Port(), ctrl.comm());
    }

    void syntaxError(std::string_view text, const std::string& why) {
        if (json_)
            printJson({{"line", std::string(text)}, {"syntaxError", why}});
        else
            show("syntax error: " + why);
    }

    // One member explained (the console's and the automation console's help MEMBER).
    void helpOn(const std::string& name) {
        const std::vector<std::string> details = memberDetails(name);
        if (json_) {
            if (details.empty())
                printJson({{"help", name}, {"error", "no such member"}});
            else
                printJson({{"help", name}, {"summary", memberSummary(name)}, {"text", details}});
            return;
        }
        if (details.empty()) {
            show("help: no member called " + name + " (help lists them)");
            return;
        }
        for (const std::string& l : details) show(l);
    }

    // The type library: the class, its dispatch interface and its event interface. On the
    // console, the members in plain words instead.
    void help() {
        if (console_) {
            show("Members (help MEMBER explains one; Tab completes names):");
            for (const std::string& l : memberOverview()) show(l);
            show("Events: NewData(value, error text) after a command or reading; InterruptLow and");
            show("  InterruptHigh when the board sends \"L\" or \"H\".");
            show(
                "Lines: Member args | Member(args) | Member = value | help | quit. Values: "
                "numbers, \"text\"");
            show(
                "  (\\r \\n \\t \\\\ \\\" \\xNN), Empty, Null, True, False. Up and "
                "Down recall earlier lines; Ctrl-C drops the line; Ctrl-D ends.");
            return;
        }
        const vantrel_type_library_desc& lib = *vantrel_type_library();
        const auto memberJson = [](const vantrel_member_desc& m) {
            Json params = Json::array();
            for (std::size_t i = 0; i < m.param_count; ++i)
                params.push_back({{"name", m.params[i].name},
                                  {"type", vtName(m.params[i].type)},
                                  {"byRef", m.params[i].by_ref != 0}});
            Json row = {{"name", m.name},
                        {"kind", kindName(static_cast<InvokeKind>(m.kind))},
                        {"id", m.id},
                        {"params", std::move(params)}};
            if (m.result != VANTREL_VT_EMPTY) row["result"] = vtName(m.result);
            return row;
        };
        const auto memberText = [](const vantrel_member_desc& m, bool event) {
            std::string row = "  ";
            row += m.name;
            row.resize(std::max<std::size_t>(row.size() + 1, 20), ' ');
            if (!event) {
                row += kindName(static_cast<InvokeKind>(m.kind));
                row.resize(std::max<std::size_t>(row.size() + 1, 28), ' ');
            }
            row += (event ? std::to_string(m.id) : hexId(m.id)) + "  (";
            for (std::size_t i = 0; i < m.param_count; ++i) {
                if (i) row += ", ";
                if (m.params[i].by_ref) row += "ByRef ";
                row += std::string(m.params[i].name) + " As " + vtName(m.params[i].type);
            }
            row += ")";
            if (m.result != VANTREL_VT_EMPTY) row += std::string(" -> ") + vtName(m.result);
            return row;
        };
        if (json_) {
            Json members = Json::array();
            for (std::size_t i = 0; i < lib.dispatch.member_count; ++i)
                members.push_back(memberJson(lib.dispatch.members[i]));
            Json events = Json::array();
            for (std::size_t i = 0; i < lib.events.member_count; ++i)
                events.push_back(memberJson(lib.events.members[i]));
            printJson({{"library", lib.name},
                       {"version", std::to_string(lib.major) + "." + std::to_string(lib.minor)},
                       {"class", lib.class_name},
                       {"clsid", guidText(lib.clsid)},
                       {"interface", lib.dispatch.name},
                       {"members", std::move(members)},
                       {"eventInterface", lib.events.name},
                       {"events", std::move(events)}});
            return;
        }
        printLine(std::string(lib.name) + " " + std::to_string(lib.major) + "." +
                  std::to_string(lib.minor) + ", class " + lib.class_name + " " +
                  guidText(lib.clsid));
        printLine(std::string(lib.dispatch.name) + " " + guidText(lib.dispatch.iid) + ":");
        for (std::size_t i = 0; i < lib.dispatch.member_count; ++i)
            printLine(memberText(lib.dispatch.members[i], false));
        printLine(std::string(lib.events.name) + " " + guidText(lib.events.iid) + " (events):");
        for (std::size_t i = 0; i < lib.events.member_count; ++i)
            printLine(memberText(lib.events.members[i], true));
        printLine(
            "Lines: Member arg ... | Member = value | Member | help | quit. Values: numbers, "
            "\"text\" (\\r \\n \\t \\\\ \\\" \\xNN), Empty, Null, True, False.");
    }

    bool json_;
    bool console_;
    std::string history_;
    std::unique_ptr<LineEditor> editor_;
    Session session_;
    EventRecorder events_;
    bool inCall_ = false;
    bool quit_ = false;
};

}  // namespace

Subcommand addShell(CLI::App& app) {
    auto o = std::make_shared<ShellOptions>();
    CLI::App* sub = app.add_subcommand(
        "shell",
        "Automation console: 'Member arg ...' calls a method, 'Member = value' assigns a "
        "property, 'Member' reads one; 'help' lists the members, 'quit' or end of input ends");
    o->control.addTo(*sub);
    sub->add_flag("--json", o->json, "one JSON object per line");
    sub->add_option("--history", o->history,
                    "where the console keeps the lines typed (default ~/.vantrel_history)");
    return {sub, [o] { return Shell(*o).run(); }};
}

}  // namespace vantrel::cli
