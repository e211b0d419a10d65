// The TOML reader.
#include "store/toml_reader.hpp"

#include <vector>

namespace vantrel {

namespace {

// How deep the tables, arrays and dotted keys of a TOML text nest, without building anything:
// the parser recurses once per level (and so do the tables' destructors and the writer), so a
// few kilobytes of "a.a.a..." would overflow a thread's stack. The scan follows strings,
// comments and keys closely enough never to count less than the parser will build; it may
// count more for a text the parser then refuses anyway.
class NestingScan {
  public:
    NestingScan(std::string_view text, int limit) : t_(text), limit_(limit) {}

    // The line on which the nesting first goes beyond the limit, or 0.
    size_t tooDeepAt() {
        while (i_ < t_.size()) {
            const char c = t_[i_];
            if (c == '\n') {
                ++line_;
                ++i_;
            } else if (c == ' ' || c == '\t' || c == '\r') {
                ++i_;
            } else if (c == '#') {
                skipToLineEnd();
            } else if (c == '[') {  // [table] or [[array of tables]]
                ++i_;
                int parts = 0;
                if (at('[')) {
                    ++i_;
                    parts = 1;
                }
                base_ = parts + keyParts("]\n");
                if (base_ > limit_) return line_;
                skipToLineEnd();
            } else {  // key = value
                const int depth = base_ + keyParts("=\n");
                if (depth > limit_) return line_;
                if (!at('=')) {
                    skipToLineEnd();  // malformed: the parser says where
                    continue;
                }
                ++i_;
                if (value(depth)) return line_;
            }
        }
        return 0;
    }

  private:
    bool at(char c) const { return i_ < t_.size() && t_[i_] == c; }

    void skipToLineEnd() {
        while (i_ < t_.size() && t_[i_] != '\n') ++i_;
    }

    // From an opening quote to just past the closing one (or the end of a line that does not
    // close a one-line string).
    void skipString() {
        const char q = t_[i_];
        const std::string_view triple = q == '"' ? R"(""")" : "'''";
        if (t_.substr(i_, 3) == triple) {
            i_ += 3;
            while (i_ < t_.size()) {
                if (t_.substr(i_, 3) == triple) {
                    i_ += 3;
                    // Up to two more quotes belong to the string itself.
                    for (int extra = 0; extra < 2 && at(q); ++extra) ++i_;
                    return;
                }
                if (q == '"' && t_[i_] == '\\' && i_ + 1 < t_.size()) ++i_;
                if (t_[i_] == '\n') ++line_;
                ++i_;
            }
            return;
        }
        ++i_;
        while (i_ < t_.size() && t_[i_] != '\n') {
            const char c = t_[i_++];
            if (c == q) return;
            if (q == '"' && c == '\\' && i_ < t_.size() && t_[i_] != '\n') ++i_;
        }
    }

    // The parts of a dotted key, up to one of the stop characters (left unread).
    int keyParts(std::string_view stops) {
        int parts = 1;
        while (i_ < t_.size() && stops.find(t_[i_]) == std::string_view::npos) {
            const char c = t_[i_];
            if (c == '"' || c == '\'') {
                skipString();
                continue;
            }
            if (c == '.') ++parts;
            if (c == '\n') ++line_;
            ++i_;
        }
        return parts;
    }

    // A value whose slot is at depth `slot`; true when something in it nests too deep.
    bool value(int slot) {
        struct Frame {
            char kind;
            int depth;
        };
        std::vector<Frame> open;
        int next = slot;   // the depth of a table or array opening now
        bool key = false;  // inside an inline table, before the '=' of a key
        while (i_ < t_.size()) {
            const char c = t_[i_];
            if (open.empty() && (c == '\n' || c == '#')) return false;
            if (key) {
                next = open.back().depth + keyParts("=,}");
                if (next > limit_) return true;
                key = false;
                if (at('=')) ++i_;
                continue;
            }
            switch (c) {
                case '\n':
                    ++line_;
                    ++i_;
                    break;
                case '#':
                    skipToLineEnd();
                    break;
                case '"':
                case '\'':
                    skipString();
                    break;
                case '[':
                case '{':
                    if (next > limit_) return true;
                    open.push_back({c, next});
                    ++i_;
                    if (c == '[')
                        next = open.back().depth + 1;
                    else
                        key = true;
                    break;
                case ']':
                case '}':
                    if (open.empty()) return false;  // malformed: the parser says where
                    open.pop_back();
                    ++i_;
                    if (!open.empty() && open.back().kind == '[') next = open.back().depth + 1;
                    break;
                case ',':
                    ++i_;
                    if (!open.empty() && open.back().kind == '{') key = true;
                    break;
                default:
                    ++i_;
            }
        }
        return false;
    }

    std::string_view t_;
    int limit_;
    size_t i_ = 0;
    size_t line_ = 1;
    int base_ = 0;  // the depth of the current [table]
};

// The parser's complaint in our words. Its position is where it stopped, which for a string
// that runs into the end of its line is that line end: the quote that is missing.
std::string reasonOf(const toml::parse_error& e, std::string_view text) {
    std::string_view d = e.description();
    constexpr std::string_view lead = "Error while parsing ";
    std::string_view kind;
    if (d.substr(0, lead.size()) == lead) {
        d.remove_prefix(lead.size());
        const auto colon = d.find(": ");
        if (colon != std::string_view::npos) {
            kind = d.substr(0, colon);
            d.remove_prefix(colon + 2);
        }
    }
    const auto has = [&](std::string_view part) { return d.find(part) != std::string_view::npos; };
    const bool inString = kind.find("string") != std::string_view::npos;
    if (inString && has("control characters")) {
        // The offset of line:column, to see what the parser stopped at.
        std::size_t at = 0;
        for (std::size_t line = 1; line < e.source().begin.line && at < text.size(); ++at)
            if (text[at] == '\n') ++line;
        at += e.source().begin.column > 0 ? e.source().begin.column - 1 : 0;
        if (at >= text.size() || text[at] == '\n' || text[at] == '\r')
            return "a string is not closed: its closing quote is missing on this line";
        return "a string holds a control character: write it as an escape (\\t, \\n, \\u0001)";
    }
    if (has("control characters")) return "a comment holds a control character";
    if (has("end-of-file"))
        return "the file ends inside " +
               std::string(inString ? "a string: its closing quotes are missing"
                                    : "a " + std::string(kind) + ": a closing bracket is missing");
    if (has("cannot redefine")) {
        const auto quote = d.find('\'');
        return quote == std::string_view::npos
                   ? "a key is given twice"
                   : "the key " + std::string(d.substr(quote)) + " is given twice";
    }
    if (has("expected value")) return "a value is missing after '='";
    if (has("expected '='")) return "expected '=' after the key (a key with spaces needs quotes)";
    if (has("unknown escape sequence"))
        return "a string holds " + std::string(d.substr(d.find("unknown"))) +
               " (a backslash is written \\\\, or use 'single quotes')";
    if (has("not representable")) return "a number out of range: " + std::string(d);
    return "not valid TOML: " + (kind.empty() ? "" : "in a " + std::string(kind) + ", ") +
           std::string(d);
}

}  // namespace

TomlError::TomlError(const std::string& name, std::size_t line, std::size_t column,
                     std::string reason)
    : std::runtime_error(name + ":" + std::to_string(line) +
                         (column ? ":" + std::to_string(column) : "") + ": " + reason),
      line_(line),
      column_(column),
      reason_(std::move(reason)) {}

toml::table readToml(std::string_view text, const std::string& name) {
    if (const std::size_t line = NestingScan(text, kMaxTomlNesting).tooDeepAt())
        throw TomlError(name, line, 0,
                        "nested deeper than " + std::to_string(kMaxTomlNesting) + " levels");
    try {
        return toml::parse(text, name);
    } catch (const toml::parse_error& e) {
        throw TomlError(name, e.source().begin.line, e.source().begin.column, reasonOf(e, text));
    }
}

}  // namespace vantrel
