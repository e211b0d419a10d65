// vantrel cmd: one command line to the board through Command, and everything it left behind.
#include "commands.hpp"
#include "events.hpp"
#include "options.hpp"
#include "output.hpp"
#include "session.hpp"

namespace vantrel::cli {

namespace {

struct CmdOptions {
    ControlOptions control;
    bool json = false;
    std::string text;
};

int runCmd(const CmdOptions& o) {
    Session session(o.control);
    VantrelCtrl& ctrl = session.ctrl();
    EventRecorder events;
    ctrl.connect(&events);

    // A port that does not open is reported here; Command then says "Port is not operational".
    session.openPort();
    std::string s = o.text;
    bool result = false;
    try {
        result = ctrl.Command(s);
    } catch (const Error& e) {
        ctrl.disconnect(&events);
        if (!o.json) throw;
        printJson({{"error", {{"number", e.number()}, {"text", e.what()}}}});
        return kExitFailedCall;
    }

    // The value as NewData carried it (unrounded); Value() would round it and could overflow.
    const std::optional<Variant> value =
        events.newDataCount > 0 ? std::optional(events.lastValue) : std::nullopt;
    if (o.json) {
        printJson({{"result", result},
                   {"value", valueJson(value)},
                   {"errorNr", ctrl.ErrorNr()},
                   {"errorString", ctrl.ErrorString()},
                   {"s", s},
                   {"reply", ctrl.ReturnedStr()}});
    } else {
        printLine(std::string("result       ") + (result ? "True" : "False"));
        printLine("value        " + valueText(value));
        printLine("errorNr      " + std::to_string(ctrl.ErrorNr()));
        printLine("errorString  " + quotedText(ctrl.ErrorString()));
        printLine("s            " + quotedText(s));
        printLine("reply        " + quotedText(ctrl.ReturnedStr()));
    }
    ctrl.disconnect(&events);
    return result ? kExitTrue : kExitFalse;
}

}  // namespace

Subcommand addCmd(CLI::App& app) {
    auto o = std::make_shared<CmdOptions>();
    CLI::App* sub = app.add_subcommand(
        "cmd",
        "Send one command line (Bauds, Port, OpenPort, Command) and show the result, the "
        "value, the board's error number and text, the returned s and the raw reply");
    o->control.addTo(*sub);
    sub->add_flag("--json", o->json, "one JSON object instead of text");
    sub->add_option("TEXT", o->text, "the command line, without its CR (e.g. PRA)")->required();
    return {sub, [o] { return runCmd(*o); }};
}

}  // namespace vantrel::cli
