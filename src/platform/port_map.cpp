// vantrel: which device is COM n, and the serial devices present on this machine.
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {

namespace {

// The map is process-wide and components on several threads may open ports at once.
std::mutex& mapMutex() {
    static std::mutex m;
    return m;
}

void checkPort(int port) {
    if (port < 1 || port > 255) throw Error(err::InvalidPortNumber, "Invalid port number");
}

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
bool isPlaceholderUart(const std::filesystem::path& sysEntry) {
    std::ifstream type(sysEntry / "type");
    int value = -1;
    return type >> value && value == 0;
}

}  // namespace

PortMap& PortMap::instance() {
    static PortMap map;
    return map;
}

std::string PortMap::devicePath(int port) const {
    {
        const std::lock_guard lock(mapMutex());
        const auto it = map_.find(port);
        if (it != map_.end()) return it->second;
    }
    return "/dev/ttyS" + std::to_string(port - 1);
}

void PortMap::map(int port, std::string path) {
    checkPort(port);
    if (path.empty()) throw Error(err::InvalidPropertyValue);
    const std::lock_guard lock(mapMutex());
    map_[port] = std::move(path);
}

void PortMap::unmap(int port) {
    const std::lock_guard lock(mapMutex());
    map_.erase(port);
}

void PortMap::clear() {
    const std::lock_guard lock(mapMutex());
    map_.clear();
}

std::map<int, std::string> PortMap::mappings() const {
    const std::lock_guard lock(mapMutex());
    return map_;
}

std::vector<std::string> listSerialDevices() {
    namespace fs = std::filesystem;
    std::vector<std::string> devices;
    std::error_code ec;
    for (fs::directory_iterator it("/sys/class/tty", ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& entry = it->path();
        // Virtual terminals and pseudo-terminals have no device behind them.
        std::error_code noDevice;
        if (!fs::exists(entry / "device", noDevice) || isPlaceholderUart(entry)) continue;
        const std::string dev = "/dev/" + entry.filename().string();
        struct stat st {};
        if (::stat(dev.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) devices.push_back(dev);
    }
    std::sort(devices.begin(), devices.end(), deviceLess);
    return devices;
}

}  // namespace vantrel
