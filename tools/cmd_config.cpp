// vantrel config: shows or writes a control's entry in a form file.
#include "commands.hpp"
#include "options.hpp"
#include "output.hpp"
#include "session.hpp"

namespace vantrel::cli {

namespace {

struct ConfigOptions {
    ControlOptions control;
    bool save = false;
    bool json = false;
};

int runConfig(const ConfigOptions& o) {
    Session session(o.control);
    VantrelCtrl& ctrl = session.ctrl();
    if (o.save) session.save();
    if (o.json) {
        printJson({{"form", o.control.form},
                   {"name", o.control.name},
                   {"saved", o.save},
                   {"port", ctrl.Port()},
                   {"baud", ctrl.Bauds()},
                   {"portIsOpen", ctrl.PortIsOpen()}});
        return kExitTrue;
    }
    printLine(o.control.form + " [" + o.control.name + "]" + (o.save ? " saved" : "") + ": Port " +
              std::to_string(ctrl.Port()) + ", Bauds " + std::to_string(ctrl.Bauds()) +
              ", PortIsOpen " + (ctrl.PortIsOpen() ? "True" : "False"));
    return kExitTrue;
}

}  // namespace

Subcommand addConfig(CLI::App& app) {
    auto o = std::make_shared<ConfigOptions>();
    CLI::App* sub = app.add_subcommand(
        "config", "Show a control's stored properties, or with --save write --port and --baud");
    o->control.addTo(*sub);
    sub->get_option("--form")->required();
    sub->add_flag("--save", o->save, "write the entry back to the form file");
    sub->add_flag("--json", o->json, "one JSON object instead of text");
    return {sub, [o] { return runConfig(*o); }};
}

}  // namespace vantrel::cli
