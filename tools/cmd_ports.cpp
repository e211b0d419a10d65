// vantrel ports: the serial devices on this machine and which device each COM number opens.
#include <unistd.h>

#include <map>

#include "commands.hpp"
#include "options.hpp"
#include "output.hpp"
#include "vantrel/platform.hpp"

namespace vantrel::cli {

namespace {

struct PortsOptions {
    MapOptions map;
    bool json = false;
};

int runPorts(const PortsOptions& o) {
    o.map.apply();
    const std::vector<std::string> devices = listSerialDevices();
    const std::map<int, std::string> mapped = PortMap::instance().mappings();
    std::map<int, bool> ports;  // COM number -> mapped
    for (int n = 1; n <= 8; ++n) ports[n] = false;
    for (const auto& [n, path] : mapped) ports[n] = true;

    Json map = Json::array();
    std::vector<std::string> rows;
    for (const auto& [n, isMapped] : ports) {
        const std::string path = PortMap::instance().devicePath(n);
        const bool present = ::access(path.c_str(), F_OK) == 0;
        map.push_back({{"port", n}, {"device", path}, {"mapped", isMapped}, {"present", present}});
        std::string row = "  COM" + std::to_string(n);
        row.resize(9, ' ');
        row += path;
        row.resize(std::max<std::size_t>(row.size() + 2, 32), ' ');
        row += isMapped ? "mapped   " : "default  ";
        row += present ? "present" : "absent";
        rows.push_back(std::move(row));
    }
    if (o.json) {
        printJson({{"devices", devices}, {"map", std::move(map)}});
        return kExitTrue;
    }
    printLine("Serial devices present:");
    if (devices.empty()) printLine("  (none)");
    for (const std::string& d : devices) printLine("  " + d);
    printLine("COM map in force:");
    for (const std::string& r : rows) printLine(r);
    return kExitTrue;
}

}  // namespace

Subcommand addPorts(CLI::App& app) {
    auto o = std::make_shared<PortsOptions>();
    CLI::App* sub = app.add_subcommand(
        "ports", "List the serial devices present and the device each COM number opens");
    o->map.addTo(*sub);
    sub->add_flag("--json", o->json, "one JSON object instead of text");
    return {sub, [o] { return runPorts(*o); }};
}

}  // namespace vantrel::cli
