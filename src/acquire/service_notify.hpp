// vantrel recorder: telling systemd how the service is doing, over the datagram socket it names
// in NOTIFY_SOCKET ("READY=1", "WATCHDOG=1", "STOPPING=1", "STATUS=..."). Without that variable
// every call does nothing.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::acquire {

class ServiceNotifier {
  public:
    // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID from the environment.
    ServiceNotifier();

    bool active() const { return !socket_.empty(); }
    // Sends one message. Returns false (and leaves errno) when it could not be sent.
    bool send(std::string_view state) const;
    // How often to send "WATCHDOG=1": half the watchdog's time, when it is on for this process.
    std::optional<std::chrono::microseconds> watchdogEvery() const { return watchdog_; }

  private:
    std::string socket_;
    std::optional<std::chrono::microseconds> watchdog_;
};

}  // namespace vantrel::acquire
