// vantrel recorder: the text forms of a reading.
#include "record.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace vantrel::acquire {

namespace {

void appendCsvField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += field;
        return;
    }
    out += '"';
    for (const char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

std::string optionalNumber(const std::optional<double>& v, std::string_view missing) {
    return v && std::isfinite(*v) ? numberText(*v) : std::string(missing);
}

// Seconds to the microsecond in plain digits ("12.000125").
std::string monoText(double mono) {
    char text[48];
    std::snprintf(text, sizeof text, "%.6f", mono);
    return text;
}

tm utcParts(std::chrono::system_clock::time_point time, long& millis) {
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch());
    const auto seconds = std::chrono::floor<std::chrono::seconds>(ms);
    millis = static_cast<long>((ms - seconds).count());
    const time_t t = static_cast<time_t>(seconds.count());
    tm parts{};
    ::gmtime_r(&t, &parts);
    return parts;
}

}  // namespace

const char* statusName(Status status) noexcept {
    switch (status) {
        case Status::Ok:
            return "ok";
        case Status::Error:
            return "error";
        case Status::Gap:
            return "gap";
        case Status::Alarm:
            return "alarm";
        case Status::Note:
            return "note";
    }
    return "";
}

std::string isoTime(std::chrono::system_clock::time_point time) {
    long millis = 0;
    const tm p = utcParts(time, millis);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", p.tm_year + 1900,
                  p.tm_mon + 1, p.tm_mday, p.tm_hour, p.tm_min, p.tm_sec, millis);
    return text;
}

std::chrono::system_clock::time_point parseIsoTime(const std::string& text) {
    tm p{};
    int millis = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &p.tm_year, &p.tm_mon, &p.tm_mday,
                    &p.tm_hour, &p.tm_min, &p.tm_sec, &millis) != 7)
        return {};
    p.tm_year -= 1900;
    p.tm_mon -= 1;
    return std::chrono::system_clock::from_time_t(::timegm(&p)) + std::chrono::milliseconds(millis);
}

std::string utcDay(std::chrono::system_clock::time_point time) {
    return isoTime(time).substr(0, 10);
}

std::string numberText(double value) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::string();
}

std::string csvHeader(MinMax columns) {
    std::string line;
    for (const char* column : kColumns) {
        if (!line.empty()) line += ',';
        line += column;
    }
    if (columns == MinMax::With) line += ",min,max";
    return line + '\n';
}

std::string csvLine(const Record& r, MinMax columns) {
    std::string line;
    line.reserve(96 + r.text.size());
    line += isoTime(r.time);
    line += ',';
    line += monoText(r.mono);
    line += ',';
    appendCsvField(line, r.board);
    line += ',';
    line += std::to_string(r.bits);
    line += ',';
    line += std::to_string(r.channel);
    line += ',';
    appendCsvField(line, r.name);
    line += ',';
    line += optionalNumber(r.raw, "");
    line += ',';
    line += optionalNumber(r.value, "");
    line += ',';
    appendCsvField(line, r.unit);
    line += ',';
    line += statusName(r.status);
    line += ',';
    appendCsvField(line, r.text);
    if (columns == MinMax::With) {
        line += ',';
        line += optionalNumber(r.min, "");
        line += ',';
        line += optionalNumber(r.max, "");
    }
    line += '\n';
    return line;
}

std::string jsonLine(const Record& r) {
    std::string line;
    line.reserve(160 + r.text.size());
    line += "{\"time\":\"";
    line += isoTime(r.time);
    line += "\",\"mono\":";
    line += monoText(r.mono);
    line += ",\"board\":";
    appendJsonString(line, r.board);
    line += ",\"bits\":";
    line += std::to_string(r.bits);
    line += ",\"channel\":";
    line += std::to_string(r.channel);
    line += ",\"name\":";
    appendJsonString(line, r.name);
    line += ",\"raw\":";
    line += optionalNumber(r.raw, "null");
    line += ",\"value\":";
    line += optionalNumber(r.value, "null");
    line += ",\"unit\":";
    appendJsonString(line, r.unit);
    line += ",\"status\":\"";
    line += statusName(r.status);
    line += '"';
    if (!r.text.empty()) {
        line += ",\"text\":";
        appendJsonString(line, r.text);
    }
    if (r.min && std::isfinite(*r.min)) line += ",\"min\":" + numberText(*r.min);
    if (r.max && std::isfinite(*r.max)) line += ",\"max\":" + numberText(*r.max);
    line += "}\n";
    return line;
}

}  // namespace vantrel::acquire
