// vantrel: waiting for a device that has gone away to come back, for Board and the tool.
#pragma once

#include "vantrel/export.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "vantrel/event_loop.hpp"

namespace vantrel VANTREL_API {

// What a Board does when its device goes away (unplugged, switched off, a network server
// restarted). Off unless `enabled`.
struct ReconnectPolicy {
    bool enabled = false;
    // How long a call made while the board is away waits for it before it throws Timeout.
    std::chrono::milliseconds callLimit{30'000};
    // Between two attempts to reach a network device (or a path that is there but does not
    // open yet): the first pause, doubled after each failure up to the cap.
    std::chrono::milliseconds firstPause{50};
    std::chrono::milliseconds maxPause{2'000};
};

// The name to wait on for a device: for a path that a link in /dev/serial/by-id leads to (a USB
// adapter), that link, so that another adapter that takes the same ttyUSB name is not taken
// for it; otherwise the device string itself. `byIdFolder` is the folder of such links.
std::string stableDeviceName(const std::string& device,
                             const std::string& byIdFolder = "/dev/serial/by-id");

// What tells the device that went away from another one that comes under its name.
struct DeviceIdentity {
    // The path as a symbolic link (a simulator's, udev's by-id link): the link itself, by its
    // file and change time. A link made again after the device went away is a new one; the
    // same link, left behind, leads wherever its target was handed next. Empty: not a link.
    std::string link;
    // The USB adapter behind the path, "vendor:product serial" as sysfs has them; empty for
    // devices that are not on USB, or when sysfs does not say.
    std::string usb;
};
// The identity of a device path now (for a URL, an empty one). `sysRoot` is sysfs.
DeviceIdentity deviceIdentity(const std::string& device, const std::string& sysRoot = "/sys");
// Why `now` is not the device that `before` was at `device`, the path it went away from;
// empty when it may be.
std::string notTheDeviceThatWentAway(const std::string& device, const DeviceIdentity& before,
                                     const DeviceIdentity& now);

// Waits on an event loop for a device to be there again. For a path it watches the path's
// folder with inotify (the nearest folder that exists, for a by-id folder that udev removes
// with the last adapter) and looks again when an entry is made there; for a URL it tries at
// the policy's pauses. Nothing is polled in between.
class DeviceWaiter {
  public:
    DeviceWaiter(EventLoop& loop, std::string device, const ReconnectPolicy& policy);
    ~DeviceWaiter();
    DeviceWaiter(const DeviceWaiter&) = delete;
    DeviceWaiter& operator=(const DeviceWaiter&) = delete;

    const std::string& device() const;

    // Runs the loop until the device may be opened (true), `deadline` passes or `stop`
    // returns true (false). `stop` is asked after each pass of the loop.
    bool wait(std::chrono::steady_clock::time_point deadline,
              const std::function<bool()>& stop = {});
    // The open that followed wait() failed: the next wait() returns after the folder changes
    // or the next pause, whichever comes first; pauses grow up to the cap.
    void openFailed();
    // The device was reached. The pauses start again from the first only once it has stayed
    // for a while (see stayedUp), so that a device that flaps costs ever fewer attempts.
    void opened();
    // The device has gone again after opened(): the pauses are reset only when it stayed up
    // for at least the cap's time.
    void wentAway();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel
