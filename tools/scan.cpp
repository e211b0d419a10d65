// vantrel command-line tool: following a board search port by port.
#include "scan.hpp"

#include <algorithm>

#include "text_escape.hpp"

namespace vantrel::cli {

ScanWatcher::ScanWatcher(Session& session, EventRecorder& events,
                         std::function<void(const Probe&)> onProbe)
    : session_(session), events_(events), onProbe_(std::move(onProbe)) {
    session.site().onPropertyChanged = [this](std::string_view name) {
        if (name != "Port") return;
        finish();
        current_ = session_.ctrl().Port();
        if (onStart) onStart(*current_, PortMap::instance().devicePath(*current_));
    };
    events.live = [this](const EventRecorder::Event& e) {
        if (e.id != event_id::NewData || !current_) return;
        const bool answered = e.text.empty();
        report(answered ? "answered" : "not acknowledged: " + e.text, answered);
    };
}

ScanWatcher::~ScanWatcher() {
    session_.site().onPropertyChanged = nullptr;
    events_.live = nullptr;
}

void ScanWatcher::finish() {
    if (!current_) return;
    report("not opened: " + portProblem(*current_, session_.ctrl().comm()), false);
}

void ScanWatcher::report(std::string outcome, bool answered) {
    Probe p{*current_, PortMap::instance().devicePath(*current_), std::move(outcome), answered};
    current_.reset();
    if (onProbe_) onProbe_(p);
    probes_.push_back(std::move(p));
}

std::string probeText(const Probe& p) {
    std::string line = "COM" + std::to_string(p.port);
    line.resize(6, ' ');
    line += p.device.empty() ? std::string(kMissingText) : escapeC(p.device, false);
    line.resize(std::max<std::size_t>(line.size() + 2, 28), ' ');
    return line + escapeC(p.outcome, false);
}

}  // namespace vantrel::cli
