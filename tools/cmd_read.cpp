// vantrel read: repeated conversions of one channel, one line each.
#include <chrono>

#include "commands.hpp"
#include "events.hpp"
#include "options.hpp"
#include "output.hpp"
#include "platform/text_escape.hpp"
#include "session.hpp"
#include "signals.hpp"

namespace vantrel::cli {

namespace {

struct ReadOptions {
    ControlOptions control;
    int bits = 0;
    int16_t channel = 0;
    int64_t count = 1;
    int64_t interval = 500;
    bool json = false;
    bool csv = false;
};

std::string csvField(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

bool convert(VantrelCtrl& ctrl, int bits, int16_t& channel) {
    switch (bits) {
        case 8:
            return ctrl.ADC8(channel);
        case 10:
            return ctrl.ADC10(channel);
        default:
            return ctrl.ADC12(channel);
    }
}

int runRead(const ReadOptions& o) {
    Session session(o.control);
    VantrelCtrl& ctrl = session.ctrl();
    EventRecorder events;
    events.live = [](const EventRecorder::Event&) {};
    ctrl.connect(&events);
    StopSignals& stop = session.stop();
    stop.setActivity("the reading in progress");
    if (!session.openPort()) {
        ctrl.disconnect(&events);
        return kExitFalse;
    }
    printError("vantrel: channel " + std::to_string(o.channel) + " of the " +
               std::to_string(o.bits) + "-bit converter on " + session.where() +
               (o.count == 0 ? "; Ctrl-C ends" : ""));
    if (o.csv) printLine("time,bits,channel,value,result,error");

    int64_t readings = 0;
    bool allTrue = true;
    bool failedCall = false;
    bool refused = false;
    // A failure like the one before is counted, not printed again.
    std::string lastFailure;
    int64_t repeats = 0;
    const auto reportRepeats = [&] {
        if (repeats > 0)
            printError("vantrel: the same failure " + std::to_string(repeats) + " more time" +
                       (repeats == 1 ? "" : "s"));
        repeats = 0;
    };
    for (int64_t i = 0; (o.count == 0 || i < o.count) && !stop.raised(); ++i) {
        if (i > 0) {
            // Passes over the loop even without a pause, so that signals and a device that
            // has gone away are seen.
            pumpFor(session.loop(), std::chrono::milliseconds(o.interval),
                    [&] { return stop.raised(); });
            if (stop.raised()) break;
        }
        int16_t channel = o.channel;
        const int before = events.newDataCount;
        const uint64_t writtenBefore = session.bytesWritten();
        bool result = false;
        std::optional<Error> failure;
        try {
            result = convert(ctrl, o.bits, channel);
        } catch (const Error& e) {
            failure = e;
        }
        ++readings;
        allTrue = allTrue && result;
        failedCall = failedCall || failure.has_value();
        // A failed conversion keeps the previous value: show none.
        const Variant value = result && events.newDataCount > before ? events.lastValue : Variant();
        const std::string errorText = failure ? failure->what() : ctrl.ErrorString();
        const std::string failureKey =
            result ? std::string()
                   : std::to_string(failure ? failure->number() : 0) + ":" + errorText;
        if (!result && failureKey == lastFailure) {
            ++repeats;
        } else {
            reportRepeats();
            lastFailure = failureKey;
            const std::string time = o.json || o.csv ? dateTimeText() : clockText();
            if (o.json) {
                Json j = {{"time", time},         {"bits", o.bits},
                          {"channel", o.channel}, {"value", variantJson(value)},
                          {"result", result},     {"errorString", errorText}};
                if (o.bits != 8 && !failure) j["address"] = channel;
                if (failure)
                    j["error"] = {{"number", failure->number()}, {"text", failure->what()}};
                printJson(j);
            } else if (o.csv) {
                printLine(time + "," + std::to_string(o.bits) + "," + std::to_string(o.channel) +
                          "," + (value.isEmpty() ? "" : value.toString()) + "," +
                          (result ? "True" : "False") + "," + csvField(escapeC(errorText, false)));
            } else {
                std::string v = value.isEmpty() ? "-" : value.toString();
                v.insert(0, v.size() < 10 ? 10 - v.size() : 0, ' ');
                std::string line = time + "  " + v + "  " + (result ? "True" : "False");
                if (failure) line += "  error " + std::to_string(failure->number()) + ":";
                if (!errorText.empty()) line += "  " + escapeC(errorText, false);
                printLine(line);
            }
        }
        if (session.deviceGone()) {
            reportRepeats();
            printError("vantrel: the device closed the line");
            ctrl.disconnect(&events);
            return kExitFalse;
        }
        // Refused by the control without a word to the device (a channel the converter does
        // not have): every further reading would be refused the same way.
        if (!result && !failure && session.bytesWritten() == writtenBefore) {
            refused = true;
            break;
        }
    }
    reportRepeats();
    ctrl.disconnect(&events);
    if (refused) {
        printError("vantrel: the control refused the reading without asking the device; stopped");
        return kExitFalse;
    }
    if (failedCall) return kExitFailedCall;
    return readings > 0 && allTrue ? kExitTrue : kExitFalse;
}

}  // namespace

Subcommand addRead(CLI::App& app) {
    auto o = std::make_shared<ReadOptions>();
    CLI::App* sub = app.add_subcommand(
        "read", "Read one channel of a converter, repeatedly: time, value, result, error text");
    o->control.addTo(*sub);
    sub->add_option("--bits", o->bits, "converter width")
        ->required()
        ->check(CLI::IsMember({8, 10, 12}));
    sub->add_option("--channel", o->channel, "channel number (the control checks the range)")
        ->required();
    sub->add_option("--count", o->count, "number of readings, 0 for until Ctrl-C")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--interval", o->interval, "pause between readings in milliseconds")
        ->capture_default_str()
        ->check(CLI::Range(int64_t{0}, int64_t{86'400'000}));
    auto* json = sub->add_flag("--json", o->json, "one JSON object per reading");
    auto* csv = sub->add_flag("--csv", o->csv, "comma-separated values with a header line");
    json->excludes(csv);
    return {sub, [o] { return runRead(*o); }};
}

}  // namespace vantrel::cli
