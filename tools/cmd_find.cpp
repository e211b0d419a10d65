// vantrel find: FindChip, with a line per port as its probe ends.
#include <algorithm>
#include <iterator>
#include <optional>

#include "commands.hpp"
#include "events.hpp"
#include "options.hpp"
#include "output.hpp"
#include "scan.hpp"
#include "session.hpp"
#include "text_escape.hpp"
#include "vantrel/platform.hpp"

namespace vantrel::cli {

namespace {

struct FindOptions {
    ControlOptions control;
    bool json = false;
    bool save = false;
};

// Adapters that no COM number reaches take free numbers from 1 to 8 for this run, so that the
// scan reaches them too.
void mapAdapters() {
    PortMap& map = PortMap::instance();
    for (const auto& [port, a] : map.freeNumbersFor(listSerialAdapters(map.systemPaths()))) {
        map.map(port, a.device);
        std::string what = a.manufacturer;
        if (!a.product.empty()) what += (what.empty() ? "" : " ") + a.product;
        printError("vantrel: COM" + std::to_string(port) + " is " + escapeC(a.device, false) +
                   (what.empty() ? "" : " (" + escapeC(what, false) + ")") + " for this scan");
    }
}

// The device to store for COM n after a search: a device this run mapped (--map, --device or
// an adapter given a free number), by its stable path. Nothing for a number that already opens
// the same device without this run's help.
std::optional<std::string> assignmentToStore(int port) {
    const PortMap::Entry e = PortMap::instance().entry(port);
    if (e.source != PortMap::Source::Run) return std::nullopt;
    return stablePath(e.device, PortMap::instance().systemPaths());
}

void storeAssignment(int port) {
    const std::optional<std::string> device = assignmentToStore(port);
    if (!device) return;
    // A pseudo-terminal's number is handed to the next terminal that opens: storing it could
    // send commands into someone's shell later.
    if (device->rfind("/dev/pts/", 0) == 0) {
        printError("vantrel: COM" + std::to_string(port) + " is " + escapeC(*device, false) +
                   ", a pseudo-terminal whose name does not last; not stored in the ports file "
                   "(give the simulator a --link and map that)");
        return;
    }
    const std::string file = PortMap::instance().store(port, *device);
    printError("vantrel: COM" + std::to_string(port) + " = " + escapeC(*device, false) +
               " stored in " + escapeC(file, false));
}

// FindChip's search, pass for pass through the same members, with one difference a person at
// a terminal needs: Ctrl-C ends it after the port being probed instead of after all eight (a
// silent port costs eight seconds at 300 baud).
bool searchPorts(VantrelCtrl& ctrl, int32_t baud, StopSignals& stop) {
    ctrl.Bauds(baud);
    for (int16_t port = kFirstPort; port <= kLastPort && !stop.raised(); ++port) {
        ctrl.ClosePort();
        ctrl.Port(port);
        if (!ctrl.OpenPort()) continue;
        std::string probe = "PRA";
        if (ctrl.Command(probe)) return true;
    }
    return false;
}

// find --baud auto: the control's default first, then from the fastest down.
constexpr int32_t kAutoRates[] = {9600, 115200, 57600, 38400, 19200, 4800, 2400, 1200, 600, 300};

int runFind(const FindOptions& o) {
    Session session(o.control);
    VantrelCtrl& ctrl = session.ctrl();
    EventRecorder events;
    mapAdapters();
    std::vector<int32_t> rates = {o.control.baud.value_or(ctrl.Bauds())};
    if (o.control.autoBaud) rates.assign(std::begin(kAutoRates), std::end(kAutoRates));
    bool found = false;
    std::vector<Probe> probes;
    std::vector<int32_t> probeRates;
    session.stop().setActivity("the port being probed");
    for (const int32_t baud : rates) {
        if (found || session.stop().raised()) break;
        printError("vantrel: looking for the board on COM1 to COM8 at " + std::to_string(baud) +
                   " baud");
        ScanWatcher watcher(session, events,
                            [](const Probe& p) { printError("  " + probeText(p)); });
        // A silent port costs eight seconds at 300 baud: say which one is being tried.
        watcher.onStart = [](int port, const std::string& device) {
            printError("probing COM" + std::to_string(port) + " (" +
                       (device.empty() ? "no device" : escapeC(device, false)) + ") ...");
        };
        ctrl.connect(&events);
        found = searchPorts(ctrl, baud, session.stop());
        ctrl.disconnect(&events);
        watcher.finish();
        probes.insert(probes.end(), watcher.probes().begin(), watcher.probes().end());
        probeRates.resize(probes.size(), baud);
    }
    const bool timedOut = std::any_of(probes.begin(), probes.end(), [](const Probe& p) {
        return p.outcome.find("timed out") != std::string::npos;
    });
    if (!found && timedOut) session.explainTimeout();
    const int port = ctrl.Port();
    const std::string device = PortMap::instance().devicePath(port);
    if (o.json) {
        Json list = Json::array();
        for (const Probe& p : probes)
            list.push_back({{"port", p.port},
                            {"device", p.device.empty() ? Json(nullptr) : Json(p.device)},
                            {"outcome", p.outcome},
                            {"answered", p.answered}});
        if (o.control.autoBaud)
            for (std::size_t i = 0; i < list.size(); ++i) list[i]["baud"] = probeRates[i];
        printJson({{"result", found},
                   {"port", found ? Json(port) : Json(nullptr)},
                   {"device", found ? Json(device) : Json(nullptr)},
                   {"baud", ctrl.Bauds()},
                   {"probes", std::move(list)}});
    } else if (found) {
        printLine("Board found on COM" + std::to_string(port) + " (" + escapeC(device, false) +
                  ") at " + std::to_string(ctrl.Bauds()) + " baud");
    } else if (session.stop().raised() && !probes.empty() && probes.back().port < kLastPort) {
        printLine("No board answered on COM1 to COM" + std::to_string(probes.back().port) + " at " +
                  std::to_string(ctrl.Bauds()) + " baud (stopped there)");
    } else {
        printLine("No board answered on COM1 to COM8 at " +
                  (o.control.autoBaud ? std::string("any of the usual rates")
                                      : std::to_string(ctrl.Bauds()) + " baud"));
    }
    if (o.save) {
        if (found) {
            storeAssignment(port);
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
        "Look for the board on COM1 to COM8 (FindChip), USB adapters not yet numbered taking "
        "free numbers among them, showing each port's outcome on stderr");
    o->control.addTo(*sub, false);
    sub->add_flag("--json", o->json, "the outcome as one JSON object");
    sub->add_flag("--save", o->save,
                  "write the port and rate found into the form entry, and the device of that "
                  "port into the ports file")
        ->needs(sub->get_option("--form"));
    return {sub, [o] { return runFind(*o); }};
}

}  // namespace vantrel::cli
