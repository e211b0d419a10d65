// vantrel ports: the serial devices on this machine, which device each COM number opens, and
// the COM numbers that stick (the ports file).
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>

#include "commands.hpp"
#include "options.hpp"
#include "output.hpp"
#include "text_escape.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel::cli {

namespace {

struct PortsOptions {
    MapOptions map;
    bool json = false;
    std::vector<std::string> assign;  // "N=DEVICE"
    std::vector<int> forget;
};

const char* sourceName(PortMap::Source s) {
    switch (s) {
        case PortMap::Source::Run:
            return "mapped";
        case PortMap::Source::File:
            return "stored";
        case PortMap::Source::Default:
            return "default";
        case PortMap::Source::None:
            break;
    }
    return "none";
}

// A name from outside (a device path, a USB descriptor string, an entry of the ports file) as
// it is shown on the terminal: escaped as the board's text is, so that it cannot act on it.
std::string shown(std::string_view name) {
    return escapeC(name, false);
}

// A text that may be missing, as JSON: null when empty.
Json orNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

// Stores the assignments and removals in the ports file; reports each on standard error.
void change(const PortsOptions& o) {
    PortMap& map = PortMap::instance();
    for (const std::string& a : o.assign) {
        const auto parsed = parseMapping(a);
        if (!parsed) throw CLI::ValidationError("--assign", "expected N=DEVICE: " + a);
        const auto& [port, device] = *parsed;
        if (!isDeviceUrl(device) && ::access(device.c_str(), F_OK) != 0)
            throw Error(err::PortsFile, shown(device) + ": " + std::strerror(errno) +
                                            "; nothing stored for COM" + std::to_string(port));
        if (device.rfind("/dev/pts/", 0) == 0)
            throw Error(err::PortsFile, shown(device) +
                                            " is a pseudo-terminal whose name does not last; "
                                            "give the simulator a --link and assign that");
        // The by-id path names the adapter itself, whichever ttyUSB number it gets next time.
        const std::string stored = stablePath(device, map.systemPaths());
        const std::string file = map.store(port, stored);
        printError("vantrel: COM" + std::to_string(port) + " = " + shown(stored) + " stored in " +
                   shown(file));
    }
    for (const int port : o.forget) {
        const std::string file = map.forget(port);
        printError("vantrel: COM" + std::to_string(port) + " removed from " + shown(file));
    }
}

int runPorts(const PortsOptions& o) {
    o.map.apply();
    change(o);
    PortMap& map = PortMap::instance();
    const std::vector<SerialAdapter> adapters = listSerialAdapters(map.systemPaths());
    const std::map<int, std::string> mapped = map.mappings();
    const std::map<int, std::string> stored = map.stored();
    std::set<int> ports;
    for (int n = 1; n <= 8; ++n) ports.insert(n);
    for (const auto& [n, path] : mapped) ports.insert(n);
    for (const auto& [n, path] : stored) ports.insert(n);

    Json devices = Json::array();
    Json details = Json::array();
    std::vector<std::string> deviceRows;
    for (const SerialAdapter& a : adapters) {
        const int port = map.portOf(a);
        devices.push_back(a.device);
        details.push_back({{"device", a.device},
                           {"byId", orNull(a.byId)},
                           {"vendorId", orNull(a.vendorId)},
                           {"productId", orNull(a.productId)},
                           {"serialNumber", orNull(a.serialNumber)},
                           {"manufacturer", orNull(a.manufacturer)},
                           {"product", orNull(a.product)},
                           {"driver", orNull(a.driver)},
                           {"console", a.console},
                           {"port", port == 0 ? Json(nullptr) : Json(port)}});
        std::string row = "  " + shown(a.device);
        row.resize(std::max<std::size_t>(row.size() + 2, 18), ' ');
        row += port != 0   ? "COM" + std::to_string(port)
               : a.console ? "console"
                           : std::string(kMissingText);
        row.resize(std::max<std::size_t>(row.size() + 2, 28), ' ');
        if (!a.vendorId.empty()) row += shown(a.vendorId) + ":" + shown(a.productId) + "  ";
        std::string name = a.manufacturer;
        if (!a.product.empty()) name += (name.empty() ? "" : " ") + a.product;
        if (!name.empty()) row += shown(name) + "  ";
        if (!a.serialNumber.empty()) row += "serial " + shown(a.serialNumber) + "  ";
        row += a.driver.empty() ? "" : "(" + shown(a.driver) + ")";
        deviceRows.push_back(row);
        if (!a.byId.empty()) deviceRows.push_back("                            " + shown(a.byId));
    }

    Json list = Json::array();
    std::vector<std::string> rows;
    for (const int n : ports) {
        const PortMap::Entry e = map.entry(n);
        const bool present = !e.device.empty() && devicePresent(e.device, map.systemPaths());
        Json item = {{"port", n},
                     {"device", orNull(e.device)},
                     {"mapped", e.source == PortMap::Source::Run},
                     {"source", sourceName(e.source)},
                     {"present", present}};
        item["note"] = orNull(e.note);
        list.push_back(std::move(item));
        std::string row = "  COM" + std::to_string(n);
        row.resize(9, ' ');
        if (e.device.empty()) {
            row += kMissingText;
            row.resize(32, ' ');
            rows.push_back(row + "(" + shown(e.note) + "; map it to use it)");
            continue;
        }
        row += shown(e.device);
        row.resize(std::max<std::size_t>(row.size() + 2, 32), ' ');
        row += sourceName(e.source);
        row.resize(row.size() + 9 - std::string_view(sourceName(e.source)).size(), ' ');
        row += present ? "present" : "absent";
        rows.push_back(std::move(row));
    }
    const std::string file = map.portsFile();
    if (o.json) {
        printJson({{"devices", std::move(devices)},
                   {"adapters", std::move(details)},
                   {"portsFile", file},
                   {"map", std::move(list)}});
        return kExitTrue;
    }
    printLine("Serial devices present:");
    if (deviceRows.empty()) printLine("  (none)");
    for (const std::string& r : deviceRows) printLine(r);
    printLine("COM map in force (ports file " + shown(file) +
              (::access(file.c_str(), F_OK) == 0 ? "" : ", not there yet") + "):");
    for (const std::string& r : rows) printLine(r);
    return kExitTrue;
}

}  // namespace

Subcommand addPorts(CLI::App& app) {
    auto o = std::make_shared<PortsOptions>();
    CLI::App* sub = app.add_subcommand(
        "ports",
        "List the serial devices present and the device each COM number opens; --assign makes a "
        "COM number stick to an adapter");
    o->map.addTo(*sub);
    sub->add_flag("--json", o->json, "one JSON object instead of text");
    sub->add_option("--assign", o->assign,
                    "store COM N = DEVICE in the ports file, by the adapter's /dev/serial/by-id "
                    "path when it has one (repeatable)")
        ->check(kMapping)
        ->type_name("N=DEVICE");
    sub->add_option("--forget", o->forget, "remove COM N from the ports file (repeatable)")
        ->check(numberCheck({1, 255, true, {}}))
        ->type_name("N");
    return {sub, [o] { return runPorts(*o); }};
}

}  // namespace vantrel::cli
