// vantrel read: repeated conversions of one or more channels: one record per reading, or on a
// terminal a table kept up to date in place; a summary per channel at the end.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "channels.hpp"
#include "commands.hpp"
#include "events.hpp"
#include "live_view.hpp"
#include "options.hpp"
#include "output.hpp"
#include "session.hpp"
#include "signals.hpp"
#include "text_escape.hpp"

namespace vantrel::cli {

namespace {

struct ReadOptions {
    ControlOptions control;
    std::string bits;
    std::string channels;
    std::optional<double> scale, offset, volts;
    int64_t count = 1;
    int64_t interval = 500;
    bool json = false;
    bool csv = false;
    ReconnectOptions reconnect;
};

enum class View { Plain, Table, Csv, Json };

// A bound a person can read back (0 reads without end anyway).
constexpr double kMaxCount = 1e9;

std::optional<double> numeric(const Variant& v) {
    switch (v.type()) {
        case VarType::Integer:
        case VarType::Long:
        case VarType::Double:
        case VarType::Currency:
            return v.toDouble();
        default:
            return std::nullopt;
    }
}

int terminalColumns() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

// Writes the table over its previous drawing. Throws OutputClosed like printLine.
void drawTable(const std::vector<std::string>& lines, std::size_t previousLines) {
    const std::string text = tableRedraw(lines, previousLines);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int e = errno;
        std::clearerr(stdout);
        throw OutputClosed(e);
    }
}

std::string channelName(int16_t channel, int bits) {
    return "channel " + std::to_string(channel) + " of the " + std::to_string(bits) +
           "-bit converter";
}

// A failure like the channel's one before is counted, not printed again.
struct Repeats {
    std::string last;
    int64_t count = 0;
};

int runRead(const ReadOptions& o) {
    const std::vector<int16_t> channels = parseChannels(o.channels);
    const std::vector<int> widths = parseWidths(o.bits, channels.size());
    const Scaling scaling = Scaling::from(o.scale, o.offset, o.volts);
    const bool scaled = scaling.on();
    const bool several = channels.size() > 1;
    const View view = o.json  ? View::Json
                      : o.csv ? View::Csv
                      // The trace writes to the terminal between readings: lines, not a table.
                      : ::isatty(STDOUT_FILENO) && !o.control.trace ? View::Table
                                                                    : View::Plain;

    Session session(o.control);
    EventRecorder events;
    events.live = [](const EventRecorder::Event&) {};
    session.ctrl().connect(&events);
    struct Disconnect {
        Session& session;
        EventRecorder& events;
        ~Disconnect() { session.ctrl().disconnect(&events); }
    } disconnect{session, events};
    StopSignals& stop = session.stop();
    stop.setActivity("the reading in progress");
    if (!session.openPort()) return kExitFalse;
    const std::unique_ptr<DeviceWaiter> waiter =
        o.reconnect.on ? session.makeWaiter() : std::unique_ptr<DeviceWaiter>();

    std::string what;
    for (std::size_t k = 0; k < channels.size(); ++k)
        what += (k == 0 ? "" : ", ") +
                (several ? std::to_string(channels[k]) + " (" + std::to_string(widths[k]) + " bits)"
                         : channelName(channels[k], widths[k]));
    printError("vantrel: " + std::string(several ? "channels " : "") + what + " on " +
               session.where() + (scaled ? "; " + scaling.describe() : "") +
               (o.count == 0 ? "; Ctrl-C ends" : ""));

    std::vector<ChannelStats> stats(channels.size());
    std::vector<Repeats> repeats(channels.size());
    for (std::size_t k = 0; k < channels.size(); ++k) {
        stats[k].channel = channels[k];
        stats[k].bits = widths[k];
    }
    const auto reportRepeats = [&](std::size_t k) {
        Repeats& r = repeats[k];
        if (r.count > 0)
            printError("vantrel: the same failure " + std::to_string(r.count) + " more time" +
                       (r.count == 1 ? "" : "s") + " on " + channelName(channels[k], widths[k]));
        r.count = 0;
    };
    std::size_t tableHeight = 0;
    // The summary goes to standard error however the run ends, so that standard output holds
    // only readings.
    const auto finish = [&](int status) {
        for (std::size_t k = 0; k < channels.size(); ++k) reportRepeats(k);
        for (const std::string& line : summaryLines(stats, scaled)) printError(line);
        return status;
    };

    // The device has gone: with --reconnect, waits for it and writes one gap record per channel
    // (also when the wait ends without it). False when the run ends here.
    const auto redraw = [&] {
        if (view != View::Table || stop.raised()) return;
        const auto lines = tableLines(stats, scaled, terminalColumns());
        drawTable(lines, tableHeight);
        tableHeight = lines.size();
    };
    const auto bridgeGap = [&]() -> bool {
        if (!waiter) return false;
        const auto since = std::chrono::steady_clock::now();
        const std::string at = view == View::Plain ? clockText() : dateTimeText();
        session.ctrl().disconnect(&events);
        for (ChannelStats& s : stats) s.away = true;
        redraw();
        if (view != View::Table)
            printError("vantrel: the device went away; waiting for " + waiter->device());
        const bool back = session.reconnect(*waiter, o.reconnect.deadline());
        session.ctrl().connect(&events);
        const double away =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
        for (std::size_t k = 0; k < channels.size(); ++k) {
            stats[k].addGap(away);
            if (view == View::Table) continue;
            Reading gap;
            gap.time = at;
            gap.channel = channels[k];
            gap.bits = widths[k];
            gap.gapSeconds = away;
            if (view == View::Json)
                printJson(jsonRecord(gap, scaled));
            else if (view == View::Csv)
                printLine(csvRecord(gap, scaled, true));
            else
                printLine(plainLine(gap, scaled, several));
        }
        redraw();
        if (back && view != View::Table)
            printError("vantrel: the device is back after " + numberText(away) + " s");
        if (!back && !stop.raised())
            printError("vantrel: the device did not come back within " +
                       numberText(o.reconnect.timeout) + " s");
        return back;
    };

    bool allTrue = true;
    bool failedCall = false;
    try {
        if (view == View::Csv) printLine(csvHeader(scaled, waiter != nullptr));
        if (view == View::Table) {
            const auto lines = tableLines(stats, scaled, terminalColumns());
            drawTable(lines, 0);
            tableHeight = lines.size();
        }
        for (int64_t i = 0; o.count == 0 || i < o.count; ++i) {
            if (i > 0) {
                // Passes over the loop even without a pause, so that signals and a device that
                // has gone away are seen.
                pumpFor(session.loop(), std::chrono::milliseconds(o.interval),
                        [&] { return stop.raised(); });
            }
            if (waiter && session.deviceGone() && !bridgeGap()) return finish(kExitFalse);
            for (std::size_t k = 0; k < channels.size(); ++k) {
                if (stop.raised()) return finish(kExitFalse);
                VantrelCtrl& ctrl = session.ctrl();
                Reading r;
                r.channel = channels[k];
                r.bits = widths[k];
                const Converter& converter = *findConverter(r.bits);
                int16_t channel = r.channel;
                const int before = events.newDataCount;
                const uint64_t writtenBefore = session.bytesWritten();
                std::optional<Error> failure;
                try {
                    r.result = (ctrl.*converter.convert)(channel);
                } catch (const Error& e) {
                    failure = e;
                }
                // A reading the departure cut short is covered by the gap record.
                if (waiter && !r.result && session.deviceGone()) {
                    if (!bridgeGap()) return finish(kExitFalse);
                    break;
                }
                allTrue = allTrue && r.result;
                failedCall = failedCall || failure.has_value();
                // A failed conversion keeps the previous value: show none.
                if (r.result && events.newDataCount > before) r.raw = events.lastValue;
                const std::optional<double> raw = numeric(r.raw);
                if (raw && scaled) r.scaled = scaling.apply(*raw, r.bits);
                if (converter.writesAddressBack && !failure) r.address = channel;
                r.errorText = failure ? failure->what() : ctrl.ErrorString();
                if (failure) r.errorNumber = failure->number();
                // A channel the converter does not have is refused without a word to the
                // device; a converter without a refusal text of its own leaves ErrorString as
                // the call before left it.
                const std::string refusal =
                    r.result || failure || session.bytesWritten() != writtenBefore
                        ? std::string()
                        : channelRefusal(converter, r.channel);
                if (!refusal.empty() && !converter.refusal) r.errorText = refusal;
                stats[k].add(raw, scaled ? r.scaled : raw, escapeC(r.errorText, false));

                const std::string failureKey =
                    r.result ? std::string()
                             : std::to_string(r.errorNumber.value_or(0)) + ":" + r.errorText;
                if (view == View::Table) {
                    // A signal's message may have been written below the table: drawing over
                    // it would leave the table out of place.
                    if (!stop.raised()) {
                        const auto lines = tableLines(stats, scaled, terminalColumns());
                        drawTable(lines, tableHeight);
                        tableHeight = lines.size();
                    }
                } else if (!r.result && failureKey == repeats[k].last) {
                    ++repeats[k].count;
                } else {
                    reportRepeats(k);
                    repeats[k].last = failureKey;
                    r.time = view == View::Plain ? clockText() : dateTimeText();
                    if (view == View::Json)
                        printJson(jsonRecord(r, scaled));
                    else if (view == View::Csv)
                        printLine(csvRecord(r, scaled, waiter != nullptr));
                    else
                        printLine(plainLine(r, scaled, several));
                }
                if (!waiter && session.deviceGone()) {
                    finish(kExitFalse);
                    printError("vantrel: the device closed the line");
                    return kExitFalse;
                }
                // Refused by the control without a word to the device (a channel the converter
                // does not have): every further reading would be refused the same way.
                if (!r.result && !failure && session.bytesWritten() == writtenBefore) {
                    finish(kExitFalse);
                    printError("vantrel: " + channelName(r.channel, r.bits) +
                               ": the control refused the reading without asking the device" +
                               (refusal.empty() ? std::string()
                                                : " (it has channels 0 to " +
                                                      std::to_string(converter.lastChannel) + ")") +
                               "; stopped");
                    return kExitFalse;
                }
            }
        }
    } catch (const OutputClosed&) {
        finish(kExitFalse);
        throw;
    }
    if (failedCall) return finish(kExitFailedCall);
    return finish(allTrue ? kExitTrue : kExitFalse);
}

}  // namespace

Subcommand addRead(CLI::App& app) {
    auto o = std::make_shared<ReadOptions>();
    CLI::App* sub = app.add_subcommand(
        "read",
        "Read channels of the converters, repeatedly: one record per reading, or on a terminal a "
        "table updated in place; a summary per channel at the end");
    o->control.addTo(*sub);
    sub->add_option("--bits", o->bits,
                    "converter width, " + converterWidthsText(" or ") +
                        ": one for every channel or one per channel "
                        "(10,12,8)")
        ->type_name("W[,W...]")
        ->required();
    sub->add_option("-c,--channel", o->channels,
                    "channel numbers separated by commas (the control checks the range)")
        ->type_name("C[,C...]")
        ->required();
    sub->add_option("-n,--count", o->count, "readings of each channel, 0 for until Ctrl-C")
        ->capture_default_str()
        ->check(numberCheck({0, kMaxCount, true, {}}));
    sub->add_option("--interval", o->interval, "pause between rounds in milliseconds")
        ->capture_default_str()
        ->check(numberCheck({0, 86'400'000, true, "milliseconds"}));
    sub->add_option("--scale", o->scale, "show raw x K (+ --offset)")->type_name("K");
    sub->add_option("--offset", o->offset, "show raw x --scale + B")->type_name("B");
    sub->add_option("--volts", o->volts,
                    "show volts: raw / full scale of the channel's width x REF")
        ->type_name("REF");
    auto* json = sub->add_flag("--json", o->json, "one JSON object per reading");
    auto* csv = sub->add_flag("--csv", o->csv, "comma-separated values with a header line");
    json->excludes(csv);
    o->reconnect.addTo(*sub);
    return {sub, [o] { return runRead(*o); }};
}

}  // namespace vantrel::cli
