// vantrel command-line tool: how values, times and bytes are written.
#include "output.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "fd.hpp"
#include "text_escape.hpp"

namespace vantrel::cli {
std::string quotedText(std::string_view text) {
    std::string quoted(1, '"');  // not "\"" + std::string&&: g++ 12 -O3 warns falsely
    quoted += escapeC(text, false);
    quoted += '"';
    return quoted;
}

std::string variantText(const Variant& v) {
    switch (v.type()) {
        case VarType::Empty:
            return "Empty";
        case VarType::Null:
            return "Null";
        case VarType::String:
            return quotedText(v.asString());
        default:
            return v.toString();
    }
}

Json variantJson(const Variant& v) {
    switch (v.type()) {
        case VarType::Empty:
            return nullptr;
        case VarType::Null:
            return {{"type", "Null"}};
        case VarType::Integer:
            return v.asInteger();
        case VarType::Long:
            return v.asLong();
        case VarType::Double:
            return v.asDouble();
        case VarType::Currency:
            return v.toDouble();
        case VarType::String:
            return v.asString();
        case VarType::Boolean:
            return v.asBoolean();
    }
    return nullptr;
}

std::string valueText(const std::optional<Variant>& v) {
    return v ? variantText(*v) : std::string(kMissingText);
}

Json valueJson(const std::optional<Variant>& v) {
    return v ? variantJson(*v) : Json(nullptr);
}

std::string csvValue(const std::optional<Variant>& v) {
    if (!v || v->isEmpty()) return {};
    if (v->isNull()) return "Null";
    return v->toString();
}

std::string plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string csvRecord(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) line += ',';
        const std::string& f = fields[i];
        const bool quote = f.find_first_of(",\"\r\n") != std::string::npos ||
                           (!f.empty() && (f.front() == ' ' || f.back() == ' '));
        if (!quote) {
            line += f;
            continue;
        }
        line += '"';
        for (char c : f) {
            if (c == '"') line += '"';
            line += c;
        }
        line += '"';
    }
    return line;
}

std::string clockText(bool micro) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    const auto us = duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000;
    char buf[64];
    if (micro)
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%06lld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                      static_cast<long long>(us));
    else
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03lld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                      static_cast<long long>(us / 1000));
    return buf;
}

std::string dateTimeText() {
    return dateTimeText(std::chrono::system_clock::now());
}

std::string dateTimeText(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    // The second it falls in, rounded down (also before 1970), and the milliseconds into it.
    const auto second = floor<seconds>(when);
    const std::time_t t = system_clock::to_time_t(second);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    const auto ms = duration_cast<milliseconds>(when - second).count();
    const long offset = tm.tm_gmtoff / 60;  // minutes east of UTC
    const long absOffset = offset < 0 ? -offset : offset;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03lld%c%02ld:%02ld",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long long>(ms), offset < 0 ? '-' : '+', absOffset / 60,
                  absOffset % 60);
    return buf;
}

std::string traceText(std::string_view bytes) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2 + 4);
    bool inText = false;
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            if (!inText) {
                if (!out.empty()) out += ' ';
                out += '"';
                inText = true;
            }
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        } else {
            if (inText) out += '"';
            inText = false;
            if (!out.empty()) out += ' ';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    if (inText) out += '"';
    return out;
}

void printJson(const Json& j) {
    printLine(j.dump(-1, ' ', false, Json::error_handler_t::replace));
}

OutputClosed::OutputClosed(int error)
    : std::runtime_error(sysMessage("write", "standard output", error)) {}

void printLine(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int e = errno;
        std::clearerr(stdout);
        throw OutputClosed(e);
    }
}

void printError(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace vantrel::cli
