// vantrel command-line tool: following a board search port by port.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "events.hpp"
#include "session.hpp"

namespace vantrel::cli {

// One port of a board search, as it ended.
struct Probe {
    int port;
    std::string device;
    std::string outcome;  // "answered", "not acknowledged: <text>", "not opened: <text>"
    bool answered;
};

// Follows FindChip from outside, as a host can: each pass assigns Port (the site hears of it),
// and a probe that was sent ends with NewData. A pass without NewData is a port that did not
// open. Takes over the site's change notification and the recorder's live handler meanwhile.
class ScanWatcher {
  public:
    ScanWatcher(Session& session, EventRecorder& events, std::function<void(const Probe&)> onProbe);
    ~ScanWatcher();
    ScanWatcher(const ScanWatcher&) = delete;
    ScanWatcher& operator=(const ScanWatcher&) = delete;

    // Ends the last pass if nothing ended it yet (call after FindChip returns).
    void finish();
    const std::vector<Probe>& probes() const { return probes_; }

    // Called as each pass begins, before its probe is sent, with the port and its device.
    std::function<void(int port, const std::string& device)> onStart;

  private:
    void report(std::string outcome, bool answered);

    Session& session_;
    EventRecorder& events_;
    std::function<void(const Probe&)> onProbe_;
    std::optional<int> current_;
    std::vector<Probe> probes_;
};

// A probe as a progress line: port, device, outcome.
std::string probeText(const Probe& p);

}  // namespace vantrel::cli
