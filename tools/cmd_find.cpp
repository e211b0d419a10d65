// vantrel find: FindChip, with a line per port as its probe ends.
#include "commands.hpp"
#include "events.hpp"
#include "options.hpp"
#include "output.hpp"
#include "scan.hpp"
#include "session.hpp"

namespace vantrel::cli {

namespace {

struct FindOptions {
    ControlOptions control;
    bool json = false;
    bool save = false;
};

int runFind(const FindOptions& o) {
    Session session(o.control);
    VantrelCtrl& ctrl = session.ctrl();
    EventRecorder events;
    int32_t baud = o.control.baud.value_or(ctrl.Bauds());
    printError("vantrel: looking for the board on COM1 to COM8 at " + std::to_string(baud) +
               " baud");
    bool found = false;
    std::vector<Probe> probes;
    {
        ScanWatcher watcher(session, events,
                            [](const Probe& p) { printError("  " + probeText(p)); });
        ctrl.connect(&events);
        found = ctrl.FindChip(baud);
        ctrl.disconnect(&events);
        watcher.finish();
        probes = watcher.probes();
    }
    const int port = ctrl.Port();
    const std::string device = PortMap::instance().devicePath(port);
    if (o.json) {
        Json list = Json::array();
        for (const Probe& p : probes)
            list.push_back({{"port", p.port},
                            {"device", p.device},
                            {"outcome", p.outcome},
                            {"answered", p.answered}});
        printJson({{"result", found},
                   {"port", found ? Json(port) : Json(nullptr)},
                   {"device", found ? Json(device) : Json(nullptr)},
                   {"baud", ctrl.Bauds()},
                   {"probes", std::move(list)}});
    } else if (found) {
        printLine("Board found on COM" + std::to_string(port) + " (" + device + ") at " +
                  std::to_string(ctrl.Bauds()) + " baud");
    } else {
        printLine("No board answered on COM1 to COM8 at " + std::to_string(ctrl.Bauds()) + " baud");
    }
    if (o.save) {
        if (found) {
            session.save();
            printError("vantrel: saved COM" + std::to_string(port) + " at " +
                       std::to_string(ctrl.Bauds()) + " baud to " + o.control.form + " [" +
                       o.control.name + "]");
        } else {
            printError("vantrel: nothing found, " + o.control.form + " left as it was");
        }
    }
    return found ? kExitTrue : kExitFalse;
}

}  // namespace

Subcommand addFind(CLI::App& app) {
    auto o = std::make_shared<FindOptions>();
    CLI::App* sub = app.add_subcommand(
        "find",
        "Look for the board on COM1 to COM8 (FindChip), showing each port's outcome on stderr");
    o->control.addTo(*sub, false);
    sub->add_flag("--json", o->json, "the outcome as one JSON object");
    sub->add_flag("--save", o->save, "write the port found into the form entry")
        ->needs(sub->get_option("--form"));
    return {sub, [o] { return runFind(*o); }};
}

}  // namespace vantrel::cli
