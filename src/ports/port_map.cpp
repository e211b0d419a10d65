// vantrel: which device is COM n (this run's mappings, the ports file, the default), and the
// serial devices present on this machine.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>

#include <toml++/toml.h>
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "atomic_file.hpp"
#include "fd.hpp"
#include "vantrel/serial_comm.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

constexpr int kLastPort = 255;

void checkPort(int port) {
    if (port < 1 || port > kLastPort) throw Error(err::InvalidPortNumber, "Invalid port number");
}

[[noreturn]] void portsFileError(const std::string& path, std::string_view what,
                                 const toml::source_region* where = nullptr) {
    std::string text = "ports file " + path;
    if (where && where->begin.line != 0) text += ", line " + std::to_string(where->begin.line);
    throw Error(err::PortsFile, text + ": " + std::string(what));
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
bool isPlaceholderUart(const fs::path& sysEntry) {
    std::ifstream type(sysEntry / "type");
    int value = -1;
    return type >> value && value == 0;
}

// The path with every link followed, or the path itself when it cannot be resolved: two names
// of one device compare equal this way.
std::string resolved(const std::string& path) {
    std::error_code ec;
    const fs::path p = fs::canonical(path, ec);
    return ec ? path : p.string();
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

// A TOML basic string.
std::string tomlString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The folder of a ports file, made if needed and locked (flock) while a program reads the file
// and replaces it, so that two programs storing COM numbers at once both keep theirs.
class FolderLock {
  public:
    explicit FolderLock(const std::string& folder) {
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec) throw Error(err::PortsFile, "create folder " + folder + ": " + ec.message());
        fd_.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd_) throw Error(err::PortsFile, sysMessage("open", folder, errno));
        // Saves take milliseconds; a lock held for seconds is a program that hangs.
        for (int waited = 0; ::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0; waited += 10) {
            if (errno != EWOULDBLOCK || waited >= 10'000)
                throw Error(err::PortsFile, sysMessage("lock", folder, errno));
            const timespec pause{0, 10'000'000};
            ::nanosleep(&pause, nullptr);
        }
    }

  private:
    Fd fd_;
};

std::string userPortsFile() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/vantrel/ports.toml";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "") + "/.config/vantrel/ports.toml";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The machine

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
    if (isNetDevice(device)) return true;
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

// ---------------------------------------------------------------------------------------------
// The ports file

std::string locatePortsFile(const SystemPaths& paths) {
    if (const char* env = std::getenv("VANTREL_PORTS"); env && *env) return env;
    std::string user = userPortsFile();
    std::error_code ec;
    if (fs::exists(user, ec)) return user;
    return paths.systemPortsFile;
}

std::string writablePortsFile() {
    if (const char* env = std::getenv("VANTREL_PORTS"); env && *env) return env;
    return userPortsFile();
}

std::map<int, std::string> loadPortsFile(const std::string& path) {
    std::map<int, std::string> ports;
    const std::optional<std::string> text = readWholeFile(path, err::PortsFile);
    if (!text) return ports;
    toml::table root;
    try {
        root = toml::parse(*text, path);
    } catch (const toml::parse_error& e) {
        portsFileError(path, std::string(e.description()), &e.source());
    }
    for (const auto& [key, node] : root) {
        if (key.str() != "ports" || !node.is_table())
            portsFileError(path,
                           "unexpected \"" + std::string(key.str()) +
                               "\" (the file holds one table, [ports], of COMn = \"device\")",
                           &key.source());
        for (const auto& [name, value] : *node.as_table()) {
            const std::string_view n = name.str();
            int port = 0;
            const char* end = n.data() + n.size();
            const bool numbered = n.size() > 3 && n.substr(0, 3) == "COM" && n[3] != '0' &&
                                  std::from_chars(n.data() + 3, end, port).ptr == end;
            if (!numbered || port < 1 || port > kLastPort)
                portsFileError(path, "\"" + std::string(n) + "\" is not a port (COM1 to COM255)",
                               &name.source());
            const auto* device = value.as_string();
            if (!device || device->get().empty())
                portsFileError(path, std::string(n) + " must be a device path in quotes, not empty",
                               &value.source());
            ports[port] = device->get();
        }
    }
    return ports;
}

void savePortsFile(const std::string& path, const std::map<int, std::string>& ports) {
    std::string text =
        "# Which device each COM number opens, for every vantrel program.\n"
        "# \"vantrel ports --assign N=DEVICE\" changes it; so does editing it.\n[ports]\n";
    for (const auto& [port, device] : ports) {
        checkPort(port);
        if (device.empty()) portsFileError(path, "COM" + std::to_string(port) + " has no device");
        text += "COM" + std::to_string(port) + " = " + tomlString(device) + "\n";
    }
    const std::string folder = folderOf(path);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw Error(err::PortsFile, "create folder " + folder + ": " + ec.message());
    replaceFile(path, text, err::PortsFile);
}

// ---------------------------------------------------------------------------------------------
// PortMap

PortMap& PortMap::instance() {
    static PortMap map = [] {
        SystemPaths paths = SystemPaths::fromEnvironment();
        std::string file = locatePortsFile(paths);
        return PortMap(std::move(file), std::move(paths));
    }();
    return map;
}

PortMap::PortMap(std::string portsFile, SystemPaths paths)
    : portsFile_(std::move(portsFile)), paths_(std::move(paths)) {}

void PortMap::loadLocked() const {
    if (loaded_) return;
    file_.clear();
    fileError_.clear();
    if (!portsFile_.empty()) {
        try {
            file_ = loadPortsFile(portsFile_);
        } catch (const Error& e) {
            fileError_ = e.what();
        }
    }
    consoles_.clear();
    for (const std::string& c : kernelConsoles(paths_)) consoles_.push_back(resolved(c));
    loaded_ = true;
}

PortMap::Entry PortMap::entry(int port) const {
    checkPort(port);
    const std::lock_guard lock(mutex_);
    if (const auto it = map_.find(port); it != map_.end()) return {it->second, Source::Run, {}};
    loadLocked();
    if (!fileError_.empty()) throw Error(err::PortsFile, fileError_);
    if (const auto it = file_.find(port); it != file_.end()) return {it->second, Source::File, {}};
    std::string device = paths_.dev + "/ttyS" + std::to_string(port - 1);
    if (std::find(consoles_.begin(), consoles_.end(), resolved(device)) != consoles_.end())
        return {{}, Source::None, device + " is the kernel console"};
    return {std::move(device), Source::Default, {}};
}

std::string PortMap::devicePath(int port) const {
    return entry(port).device;
}

void PortMap::map(int port, std::string path) {
    checkPort(port);
    if (path.empty()) throw Error(err::InvalidPropertyValue);
    const std::lock_guard lock(mutex_);
    map_[port] = std::move(path);
}

void PortMap::unmap(int port) {
    const std::lock_guard lock(mutex_);
    map_.erase(port);
}

void PortMap::clear() {
    const std::lock_guard lock(mutex_);
    map_.clear();
}

std::map<int, std::string> PortMap::mappings() const {
    const std::lock_guard lock(mutex_);
    return map_;
}

std::string PortMap::portsFile() const {
    const std::lock_guard lock(mutex_);
    return portsFile_;
}

std::map<int, std::string> PortMap::stored() const {
    const std::lock_guard lock(mutex_);
    loadLocked();
    if (!fileError_.empty()) throw Error(err::PortsFile, fileError_);
    return file_;
}

std::string PortMap::change(int port, const std::string* device) {
    checkPort(port);
    const std::lock_guard lock(mutex_);
    std::string target = portsFile_;
    const bool fromSystem = target.empty() || target == paths_.systemPortsFile;
    // Users keep their changes in their own file, which starts from what was in force.
    if (fromSystem) target = writablePortsFile();
    const FolderLock folderLock(folderOf(target));
    std::error_code ec;
    std::map<int, std::string> ports = loadPortsFile(
        !fromSystem || fs::exists(target, ec) || portsFile_.empty() ? target : portsFile_);
    if (device)
        ports[port] = *device;
    else
        ports.erase(port);
    savePortsFile(target, ports);
    portsFile_ = target;
    loaded_ = false;
    return target;
}

std::string PortMap::store(int port, const std::string& device) {
    if (device.empty())
        throw Error(err::PortsFile, "COM" + std::to_string(port) + " needs a device");
    return change(port, &device);
}

std::string PortMap::forget(int port) {
    return change(port, nullptr);
}

void PortMap::reload() {
    const std::lock_guard lock(mutex_);
    loaded_ = false;
}

int PortMap::portOf(const SerialAdapter& adapter) const {
    const std::string device = resolved(adapter.device);
    for (int port = 1; port <= kLastPort; ++port) {
        const Entry e = entry(port);
        if (!e.device.empty() && !isDeviceUrl(e.device) && resolved(e.device) == device)
            return port;
    }
    return 0;
}

std::vector<std::pair<int, SerialAdapter>> PortMap::freeNumbersFor(
    const std::vector<SerialAdapter>& present) const {
    std::set<std::string> presentDevices;
    for (const SerialAdapter& a : present) presentDevices.insert(resolved(a.device));
    std::vector<int> free;
    for (int port = 1; port <= 8; ++port) {
        const Entry e = entry(port);
        // The console's number stays unused, so that a scan never reaches it under any name.
        const bool taken = e.source != Source::Default || presentDevices.count(resolved(e.device));
        if (!taken) free.push_back(port);
    }
    std::vector<std::pair<int, SerialAdapter>> out;
    auto next = free.begin();
    for (const SerialAdapter& a : present) {
        if (next == free.end()) break;
        // The console stays out of every scan, and a UART is reached by its own number only:
        // free numbers are for USB adapters, which come and go and get other names.
        if (a.console || a.vendorId.empty() || portOf(a) != 0) continue;
        out.emplace_back(*next++, a);
    }
    return out;
}

}  // namespace vantrel
