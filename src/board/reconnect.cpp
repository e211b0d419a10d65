// Waiting for a device to come back: inotify on the folder of a path, paced attempts for a URL.
#include "vantrel/reconnect.hpp"

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

#include "fd.hpp"
#include "vantrel/serial_comm.hpp"

namespace vantrel {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string stableDeviceName(const std::string& device, const std::string& kById) {
    if (device.empty() || isDeviceUrl(device)) return device;
    std::error_code ec;
    const fs::path real = fs::canonical(device, ec);
    if (ec) return device;
    // Already a by-id link: keep it as given.
    if (fs::path(device).parent_path() == kById) return device;
    for (fs::directory_iterator it(kById, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code e2;
        if (fs::canonical(it->path(), e2) == real && !e2) return it->path().string();
    }
    return device;
}

namespace {

std::string firstLine(const fs::path& file) {
    std::string line;
    if (FILE* f = std::fopen(file.c_str(), "re")) {
        char buffer[256];
        if (std::fgets(buffer, sizeof buffer, f)) line = buffer;
        std::fclose(f);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

}  // namespace

DeviceIdentity deviceIdentity(const std::string& device, const std::string& sysRoot) {
    DeviceIdentity id;
    if (device.empty() || isDeviceUrl(device)) return id;
    struct stat st {};
    if (::lstat(device.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        id.link = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
                  std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
    std::error_code ec;
    const fs::path real = fs::canonical(device, ec);
    if (ec) return id;
    // The tty's device in sysfs, then up to the USB device that carries the ids.
    fs::path dir =
        fs::canonical(fs::path(sysRoot) / "class" / "tty" / real.filename() / "device", ec);
    for (; !ec && !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
        if (!fs::exists(dir / "idVendor", ec)) continue;
        id.usb = firstLine(dir / "idVendor") + ":" + firstLine(dir / "idProduct") + " " +
                 firstLine(dir / "serial");
        break;
    }
    return id;
}

std::string notTheDeviceThatWentAway(const std::string& device, const DeviceIdentity& before,
                                     const DeviceIdentity& now) {
    if (!before.usb.empty() && !now.usb.empty() && before.usb != now.usb)
        return device + " is another adapter (" + now.usb + ", not " + before.usb +
               "): waiting for the one that went away";
    const bool sameAdapter = !before.usb.empty() && before.usb == now.usb;
    if (!before.link.empty() && before.link == now.link && !sameAdapter)
        return device +
               " is the link the board that went away left behind; what it leads to "
               "now is not that board: waiting for it to be made again";
    return {};
}

struct DeviceWaiter::Impl {
    EventLoop& loop;
    std::string device;
    ReconnectPolicy policy;
    bool url;
    Fd inotify;
    WatchHandle watchHandle;
    int watchId = -1;
    std::string watched;  // the folder watched now
    bool changed = false;
    // No attempt before this (after a failed open, or for a URL between attempts).
    Clock::time_point notBefore{};
    std::chrono::milliseconds pause{};
    Clock::time_point upSince{};

    Impl(EventLoop& l, std::string d, const ReconnectPolicy& p)
        : loop(l), device(std::move(d)), policy(p), url(isDeviceUrl(device)), pause(p.firstPause) {
        if (url) return;
        inotify.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!inotify) return;  // then only the pauses bring the next look
        watchHandle = loop.watch(inotify.get(), EPOLLIN, [this](uint32_t) { drain(); });
    }

    void drain() {
        alignas(inotify_event) std::array<char, 4096> buffer;
        while (::read(inotify.get(), buffer.data(), buffer.size()) > 0) {
        }
        changed = true;
    }

    // Watches the nearest folder of the path that exists.
    void placeWatch() {
        if (!inotify) return;
        fs::path folder = fs::path(device).parent_path();
        std::error_code ec;
        while (!folder.empty() && folder != folder.root_path() && !fs::is_directory(folder, ec))
            folder = folder.parent_path();
        if (folder.empty()) folder = ".";
        if (folder.string() == watched && watchId >= 0) return;
        if (watchId >= 0) ::inotify_rm_watch(inotify.get(), watchId);
        watchId = ::inotify_add_watch(
            inotify.get(), folder.c_str(),
            IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
        watched = watchId >= 0 ? folder.string() : std::string();
    }

    bool present() const { return ::access(device.c_str(), F_OK) == 0; }
};

DeviceWaiter::DeviceWaiter(EventLoop& loop, std::string device, const ReconnectPolicy& policy)
    : impl_(std::make_unique<Impl>(loop, std::move(device), policy)) {}

DeviceWaiter::~DeviceWaiter() = default;

const std::string& DeviceWaiter::device() const {
    return impl_->device;
}

bool DeviceWaiter::wait(Clock::time_point deadline, const std::function<bool()>& stop) {
    Impl& d = *impl_;
    while (true) {
        if (stop && stop()) return false;
        const auto now = Clock::now();
        std::optional<Clock::time_point> wake;
        if (d.url) {
            if (now >= d.notBefore) return true;
            wake = d.notBefore;
        } else {
            d.placeWatch();
            d.changed = false;
            if (d.present()) {
                if (now >= d.notBefore) return true;
                wake = d.notBefore;
            } else if (!d.inotify || d.watchId < 0) {
                // Nothing to watch: look again after a pause.
                wake = now + d.pause;
            }
        }
        if (now >= deadline) return false;
        const auto until = wake ? std::min(*wake, deadline) : deadline;
        // Passes over the loop until the pause ends or the folder changes.
        while (!d.changed && Clock::now() < until && !(stop && stop()))
            d.loop.pumpOnce(std::chrono::ceil<std::chrono::milliseconds>(
                std::min<Clock::duration>(until - Clock::now(), std::chrono::hours(1))));
        if (d.changed) d.notBefore = {};
    }
}

void DeviceWaiter::openFailed() {
    Impl& d = *impl_;
    d.notBefore = Clock::now() + d.pause;
    d.pause = std::min(d.pause * 2, d.policy.maxPause);
}

void DeviceWaiter::opened() {
    Impl& d = *impl_;
    d.notBefore = {};
    d.upSince = Clock::now();
}

void DeviceWaiter::wentAway() {
    Impl& d = *impl_;
    if (d.upSince != Clock::time_point{} && Clock::now() - d.upSince >= d.policy.maxPause) {
        d.pause = d.policy.firstPause;
        return;
    }
    // Up for less than the cap: the device flaps. The next attempt waits a pause of its own.
    if (d.upSince != Clock::time_point{}) {
        d.notBefore = Clock::now() + d.pause;
        d.pause = std::min(d.pause * 2, d.policy.maxPause);
    }
}

}  // namespace vantrel
