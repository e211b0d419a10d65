// vantrel: which device is COM n: this run's mappings, the ports file, the default.
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "atomic_file.hpp"
#include "fd.hpp"
#include "ports/port_names.hpp"
#include "vantrel/error.hpp"
#include "vantrel/ports.hpp"
#include "vantrel/serial_comm.hpp"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

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

}  // namespace

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
