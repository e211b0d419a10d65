// vantrel read: the pieces of its views that do not touch the board.
#include "live_view.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "output.hpp"
#include "text_escape.hpp"
#include "vantrel/converters.hpp"

namespace vantrel::cli {

namespace {

// Splits "a,b,c"; an empty entry is refused by the caller.
std::vector<std::string_view> split(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t comma = text.find(',');
        parts.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos) return parts;
        text.remove_prefix(comma + 1);
    }
}

// A whole number in [lo, hi], digits only (a leading minus allowed); nothing otherwise.
std::optional<int64_t> wholeNumber(std::string_view text, int64_t lo, int64_t hi) {
    int64_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || n < lo || n > hi)
        return std::nullopt;
    return n;
}

std::string padLeft(std::string text, std::size_t width) {
    if (text.size() < width) text.insert(0, width - text.size(), ' ');
    return text;
}

// The columns of the table before its history, and their widths.
constexpr std::size_t kChannelWidth = 7, kBitsWidth = 4, kValueWidth = 9, kCountWidth = 7,
                      kFailWidth = 4;

}  // namespace

std::vector<int16_t> parseChannels(std::string_view text) {
    std::vector<int16_t> channels;
    for (std::string_view part : split(text)) {
        const auto n = wholeNumber(part, std::numeric_limits<int16_t>::min(),
                                   std::numeric_limits<int16_t>::max());
        if (!n)
            throw CLI::ValidationError(
                "--channel",
                "expected channel numbers from -32768 to 32767 separated by commas, "
                "got \"" +
                    escapeC(part, false) + "\"");
        channels.push_back(static_cast<int16_t>(*n));
    }
    return channels;
}

std::vector<int> parseWidths(std::string_view text, std::size_t channels) {
    std::vector<int> widths;
    for (std::string_view part : split(text)) {
        const auto converters = vantrel::converters();
        const auto named =
            std::find_if(converters.begin(), converters.end(),
                         [&](const Converter& c) { return part == std::to_string(c.bits); });
        if (named == converters.end())
            throw CLI::ValidationError("--bits", "a converter width is " +
                                                     converterWidthsText(" or ") + ", got \"" +
                                                     escapeC(part, false) + "\"");
        widths.push_back(named->bits);
    }
    if (widths.size() == 1) widths.resize(channels, widths.front());
    if (widths.size() != channels)
        throw CLI::ValidationError(
            "--bits", "give one width for every channel, or one per channel: " +
                          std::to_string(widths.size()) + " widths for " +
                          std::to_string(channels) + " channel" + (channels == 1 ? "" : "s"));
    return widths;
}

Scaling Scaling::from(std::optional<double> scale, std::optional<double> offset,
                      std::optional<double> volts) {
    const auto finite = [](const char* name, std::optional<double> v) {
        if (v && !std::isfinite(*v))
            throw CLI::ValidationError(name, "the value must be a finite number");
    };
    finite("--scale", scale);
    finite("--offset", offset);
    finite("--volts", volts);
    Scaling s;
    if (volts) {
        if (scale || offset)
            throw CLI::ValidationError("--volts",
                                       "cannot be combined with --scale or --offset (it sets "
                                       "its own scale)");
        if (*volts <= 0) throw CLI::ValidationError("--volts", "the reference must be above 0 V");
        s.kind_ = Kind::Volts;
        s.volts_ = *volts;
    } else if (scale || offset) {
        s.kind_ = Kind::Linear;
        s.scale_ = scale.value_or(1.0);
        s.offset_ = offset.value_or(0.0);
    }
    return s;
}

double Scaling::apply(double raw, int bits) const {
    switch (kind_) {
        case Kind::None:
            return raw;
        case Kind::Linear:
            return raw * scale_ + offset_;
        case Kind::Volts:
            return raw / static_cast<double>((1 << bits) - 1) * volts_;
    }
    return raw;
}

std::string Scaling::describe() const {
    switch (kind_) {
        case Kind::None:
            return {};
        case Kind::Linear:
            return "value = raw x " + numberText(scale_) + (offset_ < 0 ? " - " : " + ") +
                   numberText(std::fabs(offset_));
        case Kind::Volts:
            return "value in volts, full scale " + numberText(volts_) + " V";
    }
    return {};
}

void History::add(std::optional<double> value) {
    values_[head_] = value;
    head_ = (head_ + 1) % kSize;
    size_ = std::min(size_ + 1, kSize);
}

std::string sparkline(const History& history, std::size_t width) {
    static constexpr std::array<std::string_view, 8> kBlocks = {"▁", "▂", "▃", "▄",
                                                                "▅", "▆", "▇", "█"};
    const std::size_t shown = std::min(width, history.size());
    const std::size_t first = history.size() - shown;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::size_t i = first; i < history.size(); ++i)
        if (const auto v = history.at(i)) {
            lo = std::min(lo, *v);
            hi = std::max(hi, *v);
        }
    std::string out;
    for (std::size_t i = first; i < history.size(); ++i) {
        const auto v = history.at(i);
        if (!v) {
            out += ' ';
        } else if (hi <= lo) {
            out += kBlocks[3];
        } else {
            const auto level = static_cast<std::size_t>(std::lround((*v - lo) / (hi - lo) * 7));
            out += kBlocks[std::min<std::size_t>(level, 7)];
        }
    }
    return out;
}

void ChannelStats::add(std::optional<double> rawValue, std::optional<double> value,
                       std::string_view error) {
    ++count;
    raw = rawValue;
    current = value;
    recent.add(value);
    if (!value) {
        ++failures;
        lastError = error;
        return;
    }
    lastError.clear();
    min = values == 0 ? *value : std::min(min, *value);
    max = values == 0 ? *value : std::max(max, *value);
    sum += *value;
    ++values;
}

void ChannelStats::addGap(double seconds) {
    ++gaps;
    awaySeconds += seconds;
    away = false;
    recent.add(std::nullopt);
}

std::optional<double> ChannelStats::mean() const {
    if (values == 0) return std::nullopt;
    return sum / static_cast<double>(values);
}

std::string numberText(std::optional<double> v) {
    if (!v) return std::string(kMissingText);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", *v);
    return buf;
}

std::string exactNumber(double v) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : numberText(v);
}

std::string csvHeader(bool scaled, bool gaps) {
    return std::string(scaled ? "time,bits,channel,value,scaled,result,error"
                              : "time,bits,channel,value,result,error") +
           (gaps ? ",status,duration" : "");
}

std::string csvRecord(const Reading& r, bool scaled, bool gaps) {
    std::vector<std::string> fields = {r.time, std::to_string(r.bits), std::to_string(r.channel),
                                       r.raw.isEmpty() ? "" : r.raw.toString()};
    if (scaled) fields.push_back(r.scaled ? exactNumber(*r.scaled) : std::string());
    fields.push_back(r.result ? "True" : "False");
    fields.push_back(escapeC(r.errorText, false));
    if (gaps) {
        fields.push_back(r.gapSeconds ? "gap" : r.result ? "ok" : "failed");
        fields.push_back(r.gapSeconds ? exactNumber(*r.gapSeconds) : std::string());
    }
    return csvRecord(fields);
}

Json jsonRecord(const Reading& r, bool scaled) {
    Json j = {
        {"time", r.time}, {"bits", r.bits}, {"channel", r.channel}, {"value", variantJson(r.raw)}};
    if (scaled) j["scaled"] = r.scaled ? Json(*r.scaled) : Json(nullptr);
    j["result"] = r.result;
    j["errorString"] = r.errorText;
    if (r.address) j["address"] = *r.address;
    if (r.errorNumber) j["error"] = {{"number", *r.errorNumber}, {"text", r.errorText}};
    if (r.gapSeconds) {
        j["status"] = "gap";
        j["duration"] = *r.gapSeconds;
    }
    return j;
}

std::string plainLine(const Reading& r, bool scaled, bool severalChannels) {
    std::string line = r.time;
    if (severalChannels)
        line += "  channel " + padLeft(std::to_string(r.channel), 2) + "  " +
                padLeft(std::to_string(r.bits), 2) + " bits";
    line += "  " + padLeft(r.raw.isEmpty() ? std::string(kMissingText) : r.raw.toString(), 10);
    if (scaled) line += "  " + padLeft(numberText(r.scaled), 10);
    line += std::string("  ") + (r.result ? "True" : "False");
    if (r.errorNumber) line += "  error " + std::to_string(*r.errorNumber) + ":";
    if (!r.errorText.empty()) line += "  " + escapeC(r.errorText, false);
    if (r.gapSeconds) line += "  gap of " + numberText(*r.gapSeconds) + " s";
    return line;
}

std::vector<std::string> tableLines(const std::vector<ChannelStats>& channels, bool scaled,
                                    int columns) {
    // Each row as its cells, each cell right-aligned in its column.
    const auto row = [&](std::string channel, std::string bits, std::string raw, std::string value,
                         std::string min, std::string max, std::string mean, std::string count,
                         std::string fail) {
        std::vector<std::string> cells = {padLeft(std::move(channel), kChannelWidth),
                                          padLeft(std::move(bits), kBitsWidth)};
        if (scaled) cells.push_back(padLeft(std::move(raw), kValueWidth));
        for (std::string* v : {&value, &min, &max, &mean})
            cells.push_back(padLeft(std::move(*v), kValueWidth));
        cells.push_back(padLeft(std::move(count), kCountWidth));
        cells.push_back(padLeft(std::move(fail), kFailWidth));
        return cells;
    };
    std::vector<std::vector<std::string>> rows;
    rows.reserve(channels.size() + 1);
    rows.push_back(row("channel", "bits", "raw", "value", "min", "max", "mean", "count", "fail"));
    for (const ChannelStats& s : channels)
        rows.push_back(
            row(std::to_string(s.channel), std::to_string(s.bits), numberText(s.raw),
                numberText(s.current), numberText(s.values ? std::optional(s.min) : std::nullopt),
                numberText(s.values ? std::optional(s.max) : std::nullopt), numberText(s.mean()),
                std::to_string(s.count), std::to_string(s.failures)));
    // A terminal too narrow for every column loses whole columns from the right: a number cut
    // after some of its digits would read as another number.
    std::size_t shown = rows.front().size();
    for (const auto& cells : rows) {
        std::size_t n = 0;
        for (std::size_t width = 0; n < cells.size(); ++n) {
            width += (n == 0 ? 0 : 1) + cells[n].size();
            if (width > static_cast<std::size_t>(std::max(columns, 0))) break;
        }
        shown = std::min(shown, n);
    }
    const bool whole = shown == rows.front().size();
    std::vector<std::string> lines;
    lines.reserve(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (std::size_t n = 0; n < shown; ++n) line += (n == 0 ? "" : " ") + rows[r][n];
        if (whole) {
            line += "  ";
            if (r == 0) {
                line += "recent";
            } else {
                const ChannelStats& s = channels[r - 1];
                // The history takes the room that is left, up to its full length.
                const int room = columns - static_cast<int>(line.size());
                if (room > 0) line += sparkline(s.recent, static_cast<std::size_t>(room));
                if (s.away)
                    line += "  away, waiting for the device";
                else if (s.count > 0 && !s.current)
                    line += "  " + s.lastError;
                if (s.gaps > 0 && !s.away) line += "  (" + plural(s.gaps, "gap", "gaps") + ")";
            }
        }
        lines.push_back(fitWidth(line, columns));
    }
    return lines;
}

std::string tableRedraw(const std::vector<std::string>& lines, std::size_t previousLines) {
    std::string out;
    if (previousLines > 0) out += "\x1b[" + std::to_string(previousLines) + "A";
    for (const std::string& l : lines) out += "\r" + l + "\x1b[K\n";
    return out;
}

std::vector<std::string> summaryLines(const std::vector<ChannelStats>& channels, bool scaled) {
    std::vector<std::string> lines;
    lines.reserve(channels.size() + 1);
    const std::string what = scaled ? " (scaled)" : "";
    lines.push_back(padLeft("channel", kChannelWidth) + " " + padLeft("bits", kBitsWidth) + " " +
                    padLeft("count", kCountWidth) + " " + padLeft("failures", 8) + " " +
                    padLeft("min", kValueWidth) + " " + padLeft("max", kValueWidth) + " " +
                    padLeft("mean", kValueWidth) + what);
    for (const ChannelStats& s : channels) {
        std::string line =
            padLeft(std::to_string(s.channel), kChannelWidth) + " " +
            padLeft(std::to_string(s.bits), kBitsWidth) + " " +
            padLeft(std::to_string(s.count), kCountWidth) + " " +
            padLeft(std::to_string(s.failures), 8) + " " +
            padLeft(numberText(s.values ? std::optional(s.min) : std::nullopt), kValueWidth) + " " +
            padLeft(numberText(s.values ? std::optional(s.max) : std::nullopt), kValueWidth) + " " +
            padLeft(numberText(s.mean()), kValueWidth);
        if (s.failures > 0 && !s.lastError.empty()) line += "  last failure: " + s.lastError;
        if (s.gaps > 0)
            line += "  disconnections: " + std::to_string(s.gaps) + ", away " +
                    numberText(s.awaySeconds) + " s";
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string fitWidth(std::string_view text, int columns) {
    int shown = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // A UTF-8 continuation byte belongs to the character before it.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (shown++ == columns) return std::string(text.substr(0, i));
    }
    return std::string(text);
}

}  // namespace vantrel::cli
