// vantrel resync: ADCReSynchronize, after a conversion of the width asked for.
#include "commands.hpp"
#include "events.hpp"
#include "options.hpp"
#include "output.hpp"
#include "platform/text_escape.hpp"
#include "session.hpp"

namespace vantrel::cli {

namespace {

struct ResyncOptions {
    ControlOptions control;
    int bits = 0;
};

// The half-scale reference input: a channel every converter has.
constexpr int16_t kHalfScaleChannel = 11;

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
    if (o.bits != 0) {
        // The control resynchronises the converter it used last: use the one asked for.
        int16_t channel = kHalfScaleChannel;
        const bool read = o.bits == 8    ? ctrl.ADC8(channel)
                          : o.bits == 10 ? ctrl.ADC10(channel)
                                         : ctrl.ADC12(channel);
        printLine("ADC" + std::to_string(o.bits) + " channel 11: " +
                  (read ? variantText(events.lastValue) : escapeC(ctrl.ErrorString(), false)));
        if (session.stop().raised()) {
            ctrl.disconnect(&events);
            return kExitFalse;
        }
    }
    const int before = events.newDataCount;
    const bool result = ctrl.ADCReSynchronize();
    const Variant value = events.newDataCount > before ? events.lastValue : Variant();
    printLine(std::string("ADCReSynchronize -> ") + (result ? "True" : "False") + ", reading " +
              variantText(value) +
              (ctrl.ErrorString().empty() ? "" : ", " + quotedText(ctrl.ErrorString())));
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
        ->check(oneOfCheck({8, 10, 12}));
    return {sub, [o] { return runResync(*o); }};
}

}  // namespace vantrel::cli
