// vantrel monitor: keeps the port open and shows what the board sends of its own accord.
#include <chrono>

#include "commands.hpp"
#include "events.hpp"
#include "options.hpp"
#include "output.hpp"
#include "session.hpp"
#include "signals.hpp"
#include "text_escape.hpp"

namespace vantrel::cli {

namespace {

struct MonitorOptions {
    ControlOptions control;
    double seconds = 0;
    bool json = false;
    bool csv = false;
    ReconnectOptions reconnect;
};

// A number of seconds the clock can count to: at most about three years.
constexpr double kMaxSeconds = 1e8;

// The CSV header; every record starts with its date-time.
constexpr const char* kCsvHeader = "time,event,value,text";

int runMonitor(const MonitorOptions& o) {
    Session session(o.control);
    VantrelCtrl& ctrl = session.ctrl();
    EventRecorder events;
    // One thing seen: the event's name ("received" for text), its value and text if it has them.
    const auto show = [&](Json j, const std::string& event, const std::optional<Variant>& value,
                          const std::string& text, const std::string& plain) {
        if (o.json) {
            Json record = {{"time", dateTimeText()}};
            for (auto& [key, item] : j.items()) record[key] = std::move(item);
            printJson(record);
        } else if (o.csv) {
            printLine(csvRecord({dateTimeText(), event, csvValue(value), escapeC(text, false)}));
        } else {
            printLine(clockText() + "  " + plain);
        }
    };
    events.live = [&](const EventRecorder::Event& e) {
        const bool data = e.id == event_id::NewData;
        show(eventJson(e), eventName(e.id), data ? std::optional(e.value) : std::nullopt, e.text,
             eventText(e));
    };
    session.onReceived = [&](std::string_view bytes) {
        const std::string text = bytesToText(bytes);
        show({{"received", text}}, "received", std::nullopt, text, "received " + quotedText(text));
    };
    ctrl.connect(&events);

    StopSignals& stop = session.stop();
    if (!session.openPort()) {
        ctrl.disconnect(&events);
        return kExitFalse;
    }
    const std::unique_ptr<DeviceWaiter> waiter =
        o.reconnect.on ? session.makeWaiter() : std::unique_ptr<DeviceWaiter>();
    const std::string where = session.where();
    if (o.csv) printLine(kCsvHeader);
    printError("vantrel: monitoring " + where + (o.seconds > 0 ? "" : "; Ctrl-C ends"));

    const auto say = [](const std::string& text) { printError("vantrel: " + text); };
    const auto renewed = [&](VantrelCtrl& fresh) { fresh.connect(&events); };
    const auto done = [&] {
        return stop.raised() ||
               session.goneForGood(waiter.get(), o.reconnect.deadline(), say, renewed);
    };
    if (o.seconds > 0) {
        const auto ms = std::chrono::milliseconds(static_cast<int64_t>(o.seconds * 1000));
        pumpFor(session.loop(), ms, done);
    } else {
        while (!done()) session.loop().pumpOnce();
    }
    const bool hungUp = session.deviceGone();
    if (hungUp) printError("vantrel: the device closed the line");
    session.ctrl().disconnect(&events);
    return hungUp ? kExitFalse : kExitTrue;
}

}  // namespace

Subcommand addMonitor(CLI::App& app) {
    auto o = std::make_shared<MonitorOptions>();
    CLI::App* sub = app.add_subcommand(
        "monitor",
        "Keep the port open and show received text and InterruptLow/InterruptHigh as they come");
    o->control.addTo(*sub);
    sub->add_option("--seconds", o->seconds, "stop after this many seconds (default: Ctrl-C)")
        ->check(numberCheck({0, kMaxSeconds, false, "seconds"}));
    auto* json = sub->add_flag("--json", o->json, "one JSON object per line");
    auto* csv = sub->add_flag("--csv", o->csv,
                              "comma-separated values: a header line, then time, event, value and "
                              "text, one record per line");
    json->excludes(csv);
    o->reconnect.addTo(*sub);
    return {sub, [o] { return runMonitor(*o); }};
}

}  // namespace vantrel::cli
