// vantrel resync: ADCReSynchronize, after a conversion of the width asked for.
#include "commands.hpp"
#include "events.hpp"
#include "options.hpp"
#include "output.hpp"
#include "session.hpp"
#include "text_escape.hpp"

namespace vantrel::cli {

namespace {

struct ResyncOptions {
    ControlOptions control;
    int bits = 0;
    bool json = false;
};

int runResync(const ResyncOptions& o) {
    Session session(o.control);
    VantrelCtrl& ctrl = session.ctrl();
    EventRecorder events;
    events.live = [](const EventRecorder::Event&) {};
    ctrl.connect(&events);
    if (!session.openPort()) {
        ctrl.disconnect(&events);
        return kExitFalse;
    }
    Json out = {{"bits", o.bits != 0 ? Json(o.bits) : Json(nullptr)}, {"conversion", nullptr}};
    // A call that ends in an error: with --json the document says so, else main() does.
    const auto failed = [&](const Error& e) {
        ctrl.disconnect(&events);
        if (!o.json) throw e;
        out["error"] = {{"number", e.number()}, {"text", e.what()}};
        printJson(out);
        return kExitFailedCall;
    };
    if (o.bits != 0) {
        // The control resynchronises the converter it used last: use the one asked for, on
        // the input its resynchronisation tests (half scale, which every converter has).
        const Converter& converter = *findConverter(o.bits);
        const int16_t halfScale = converter.check(Scale::Half)->channel;
        int16_t channel = halfScale;
        const int before = events.newDataCount;
        bool read = false;
        try {
            read = (ctrl.*converter.convert)(channel);
        } catch (const Error& e) {
            return failed(e);
        }
        const std::optional<Variant> value =
            read && events.newDataCount > before ? std::optional(events.lastValue) : std::nullopt;
        if (o.json)
            out["conversion"] = {{"channel", halfScale},
                                 {"result", read},
                                 {"value", valueJson(value)},
                                 {"errorString", ctrl.ErrorString()}};
        else
            printLine(std::string(converter.member) + " channel " + std::to_string(halfScale) +
                      ": " + (read ? valueText(value) : escapeC(ctrl.ErrorString(), false)));
        if (session.stop().raised()) {
            ctrl.disconnect(&events);
            if (o.json) printJson(out);
            return kExitFalse;
        }
    }
    const int before = events.newDataCount;
    bool result = false;
    try {
        result = ctrl.ADCReSynchronize();
    } catch (const Error& e) {
        return failed(e);
    }
    // A refusal raises NewData too, with no reading in it (Empty).
    const std::optional<Variant> reading =
        events.newDataCount > before && !events.lastValue.isEmpty()
            ? std::optional(events.lastValue)
            : std::nullopt;
    if (o.json) {
        out["result"] = result;
        out["reading"] = valueJson(reading);
        out["errorString"] = ctrl.ErrorString();
        printJson(out);
    } else {
        printLine(std::string("ADCReSynchronize -> ") + (result ? "True" : "False") + ", reading " +
                  valueText(reading) +
                  (ctrl.ErrorString().empty() ? "" : ", " + quotedText(ctrl.ErrorString())));
    }
    ctrl.disconnect(&events);
    return result ? kExitTrue : kExitFalse;
}

}  // namespace

Subcommand addResync(CLI::App& app) {
    auto o = std::make_shared<ResyncOptions>();
    CLI::App* sub = app.add_subcommand(
        "resync",
        "Bring the converter used last back into step (ADCReSynchronize); --bits reads that "
        "converter's channel 11 first so the control knows which one");
    o->control.addTo(*sub);
    sub->add_option("--bits", o->bits, "converter width to read first")
        ->check(oneOfCheck(converterWidths()));
    sub->add_flag("--json", o->json, "one JSON object instead of text");
    return {sub, [o] { return runResync(*o); }};
}

}  // namespace vantrel::cli
