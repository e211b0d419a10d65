// vantrel: the serial devices present on this machine, as sysfs describes them, and the kernel's
// consoles among them.
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ports/port_names.hpp"
#include "vantrel/ports.hpp"
#include "vantrel/serial_comm.hpp"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// "ttyS10" sorts after "ttyS9": compare the name without its trailing number, then the number.
bool deviceLess(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& s) {
        const size_t end = s.find_last_not_of("0123456789") + 1;
        unsigned long number = 0;
        std::from_chars(s.data() + end, s.data() + s.size(), number);
        return std::pair{std::string_view(s).substr(0, end), number};
    };
    const auto [prefixA, numberA] = split(a);
    const auto [prefixB, numberB] = split(b);
    if (prefixA != prefixB) return prefixA < prefixB;
    if (numberA != numberB) return numberA < numberB;
    return a < b;
}

// The kernel registers every legacy 8250 port slot whether or not a UART answers there; such
// slots report type 0.
bool isPlaceholderUart(const fs::path& sysEntry) {
    std::ifstream type(sysEntry / "type");
    int value = -1;
    return type >> value && value == 0;
}

// The first line of a sysfs attribute, or "" when there is none.
std::string attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

// Resolved device -> its by-id path (the first in name order when several name it).
std::map<std::string, std::string> byIdLinks(const SystemPaths& paths) {
    std::map<std::string, std::string> links;
    const fs::path dir = fs::path(paths.dev) / "serial" / "by-id";
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string link = (dir / name).string();
        links.emplace(resolved(link), link);
    }
    return links;
}

}  // namespace

SystemPaths SystemPaths::fromEnvironment() {
    SystemPaths paths;
    const char* root = std::getenv("VANTREL_SYSROOT");
    if (root && *root) {
        paths.sys = std::string(root) + paths.sys;
        paths.dev = std::string(root) + paths.dev;
        paths.cmdline = std::string(root) + paths.cmdline;
        paths.systemPortsFile = std::string(root) + paths.systemPortsFile;
    }
    return paths;
}

std::vector<std::string> kernelConsoles(const SystemPaths& paths) {
    std::ifstream in(paths.cmdline);
    std::vector<std::string> consoles;
    std::string word;
    while (in >> word) {
        if (word.rfind("console=", 0) != 0) continue;
        // console=ttyS0,115200n8: the device name ends at the first comma.
        const std::string name = word.substr(8, word.find(',') - 8);
        if (!name.empty() && name.find('/') == std::string::npos)
            consoles.push_back(paths.dev + "/" + name);
    }
    return consoles;
}

std::vector<SerialAdapter> listSerialAdapters(const SystemPaths& paths) {
    std::set<std::string> consoles;
    for (const std::string& c : kernelConsoles(paths)) consoles.insert(resolved(c));
    const std::map<std::string, std::string> byId = byIdLinks(paths);
    std::error_code rootEc;
    const fs::path sysRoot = fs::canonical(paths.sys, rootEc);

    std::vector<SerialAdapter> adapters;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(paths.sys) / "class" / "tty", ec), end;
         !ec && it != end; it.increment(ec)) {
        const fs::path& entry = it->path();
        // Virtual terminals and pseudo-terminals have no device behind them.
        std::error_code noDevice;
        const fs::path deviceDir = fs::canonical(entry / "device", noDevice);
        if (noDevice || isPlaceholderUart(entry)) continue;
        SerialAdapter a;
        a.device = paths.dev + "/" + entry.filename().string();
        struct stat st {};
        if (::stat(a.device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;

        const std::string device = resolved(a.device);
        if (auto link = byId.find(device); link != byId.end()) a.byId = link->second;
        a.console = consoles.count(device) != 0;
        std::error_code noDriver;
        const fs::path driver = fs::canonical(deviceDir / "driver", noDriver);
        if (!noDriver) a.driver = driver.filename().string();
        // The USB device is the nearest folder above the port that has a vendor id.
        for (fs::path dir = deviceDir; !rootEc && dir != sysRoot && dir.has_relative_path();
             dir = dir.parent_path()) {
            std::error_code noId;
            if (!fs::exists(dir / "idVendor", noId)) continue;
            a.vendorId = attribute(dir / "idVendor");
            a.productId = attribute(dir / "idProduct");
            a.serialNumber = attribute(dir / "serial");
            a.manufacturer = attribute(dir / "manufacturer");
            a.product = attribute(dir / "product");
            break;
        }
        adapters.push_back(std::move(a));
    }
    std::sort(adapters.begin(), adapters.end(), [](const SerialAdapter& a, const SerialAdapter& b) {
        return deviceLess(a.device, b.device);
    });
    return adapters;
}

std::vector<std::string> listSerialDevices() {
    std::vector<std::string> devices;
    for (SerialAdapter& a : listSerialAdapters(SystemPaths::fromEnvironment()))
        devices.push_back(std::move(a.device));
    return devices;
}

bool devicePresent(const std::string& device, const SystemPaths& paths) {
    if (isDeviceUrl(device)) return true;
    std::error_code ec;
    if (!fs::exists(device, ec)) return false;
    // A legacy 8250 slot has a node, under whatever name it is reached; opening it fails.
    const std::string target = resolved(device);
    for (fs::directory_iterator it(fs::path(paths.sys) / "class" / "tty", ec), end;
         !ec && it != end; it.increment(ec)) {
        if (isPlaceholderUart(it->path()) &&
            resolved(paths.dev + "/" + it->path().filename().string()) == target)
            return false;
    }
    return true;
}

std::string stablePath(const std::string& device, const SystemPaths& paths) {
    if (isDeviceUrl(device)) return device;
    const std::map<std::string, std::string> byId = byIdLinks(paths);
    const auto link = byId.find(resolved(device));
    return link != byId.end() ? link->second : device;
}

}  // namespace vantrel
