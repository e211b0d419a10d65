// vantrel command-line tool: one control built from the command line.
#include "session.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "device_access.hpp"
#include "fd.hpp"
#include "output.hpp"

namespace vantrel::cli {

std::string portProblem(int port, const SerialComm& comm) {
    try {
        const PortMap::Entry entry = PortMap::instance().entry(port);
        if (entry.device.empty())
            return "COM" + std::to_string(port) + " has no device: " + entry.note +
                   " (map it to use it)";
        return deviceProblem(entry.device, comm);
    } catch (const Error& e) {
        return e.what();
    }
}

std::string deviceProblem(const std::string& path, const SerialComm& comm) {
    // A connection cannot be looked at from outside without connecting again.
    if (isDeviceUrl(path)) return comm.lastOpenError();
    return localDeviceProblem(path);
}

std::string localDeviceProblem(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        const int e = errno;
        std::string text = sysMessage("open", path, e);
        if (const std::string note = e == ENOENT ? windowsNameNote(path) : ""; !note.empty())
            text += "; " + note;
        if (e == EACCES || e == EPERM) {
            const std::string root = systemRoot();
            const AccessVerdict v = accessVerdict(root, path, Identity::of(root));
            if (!v.why.empty()) text += "; " + v.why + "; fix: " + v.fix;
        }
        return text;
    }
    if (!::isatty(fd.get())) return path + " is not a terminal";
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return path + " is in use";
    return path + " refused the line settings";
}

Session::Session(const ControlOptions& options)
    : stop_(threadLoop()), site_(std::make_shared<ToolSite>(threadLoop())), name_(options.name) {
    stop_.onSecond = [this] {
        if (ctrl_ && ctrl_->comm().PortOpen()) ctrl_->comm().PortOpen(false);
    };
    applyMaps(options.maps, options.device);
    if (!options.form.empty()) {
        form_ = std::make_unique<FormFile>(FormFile::load(options.form));
        ctrl_ = VantrelCtrl::createFromForm(*form_, name_, site_);
        // What the form holds is checked as --port and --baud are, when they do not replace it.
        if (form_->contains(name_)) {
            const std::string entry = "form " + options.form + ", entry " + name_ + ", ";
            const std::string rate = rateProblem(ctrl_->Bauds());
            if (!options.baud && !rate.empty())
                throw CLI::ValidationError(entry + "Bauds " + std::to_string(ctrl_->Bauds()) +
                                           ": " + rate);
            if (!options.port && options.withPort &&
                (ctrl_->Port() < kFirstPort || ctrl_->Port() > kLastPort))
                throw CLI::ValidationError(entry + "Port " + std::to_string(ctrl_->Port()) +
                                           ": the port must be from 1 to 8");
        }
    } else {
        ctrl_ = VantrelCtrl::createNew(site_);
    }
    trace_ = options.trace;
    hook(*ctrl_);
    // A loaded control leaves its serial component at the component's own settings until the
    // host assigns the two properties; the tool always does, so the loaded values take effect.
    ctrl_->Bauds(options.baud.value_or(ctrl_->Bauds()));
    if (!ctrl_->ErrorString().empty())
        printError("vantrel: baud rate " + std::to_string(ctrl_->Bauds()) + ": " +
                   ctrl_->ErrorString());
    const int32_t port = options.port.value_or(ctrl_->Port());
    ctrl_->Port(port);
    if (!ctrl_->ErrorString().empty())
        printError("vantrel: port " + std::to_string(port) + ": " + ctrl_->ErrorString());
}

void Session::hook(VantrelCtrl& ctrl) {
    ctrl.comm().setTrace([this, trace = trace_](TraceDirection d, std::string_view b) {
        if (d == TraceDirection::Written) written_ += b.size();
        if (d == TraceDirection::Received) received_ += b.size();
        if (trace)
            printError("[" + clockText(true) + "] " + (d == TraceDirection::Written ? "> " : "< ") +
                       traceText(b));
        if (d == TraceDirection::Received && onReceived) onReceived(b);
    });
}

std::unique_ptr<DeviceWaiter> Session::makeWaiter() {
    auto waiter = std::make_unique<DeviceWaiter>(
        threadLoop(), stableDeviceName(PortMap::instance().devicePath(ctrl_->Port())), policy_);
    identity_ = deviceIdentity(waiter->device());
    return waiter;
}

bool Session::reconnect(DeviceWaiter& waiter, std::chrono::steady_clock::time_point deadline) {
    try {
        if (ctrl_->PortIsOpen()) ctrl_->ClosePort();
    } catch (const Error&) {
        // The device has gone; its close goes with it.
    }
    waiter.wentAway();
    std::string lastRefusal;
    const int port = ctrl_->Port();
    // The port leads to the stable name from now on: another adapter that takes the old
    // ttyUSB name is not opened in its place.
    if (PortMap::instance().devicePath(port) != waiter.device())
        PortMap::instance().map(port, waiter.device());
    while (true) {
        if (!waiter.wait(deadline, [this] { return stop_.raised(); })) return false;
        // Only the device that went away: not another adapter under its name, nor what a
        // stale link leads to now.
        const DeviceIdentity now = deviceIdentity(waiter.device());
        const std::string refusal = notTheDeviceThatWentAway(waiter.device(), identity_, now);
        if (!refusal.empty()) {
            if (refusal != lastRefusal) printError("vantrel: " + refusal);
            lastRefusal = refusal;
            waiter.openFailed();
            continue;
        }
        std::unique_ptr<VantrelCtrl> fresh = VantrelCtrl::createNew(site_);
        fresh->Bauds(ctrl_->Bauds());
        fresh->Port(port);
        hook(*fresh);
        if (fresh->OpenPort()) {
            ctrl_ = std::move(fresh);
            identity_ = now;
            waiter.opened();
            return true;
        }
        waiter.openFailed();
    }
}

bool Session::goneForGood(DeviceWaiter* waiter, std::chrono::steady_clock::time_point deadline,
                          const std::function<void(const std::string&)>& say,
                          const std::function<void(VantrelCtrl&)>& renewed) {
    if (!deviceGone()) return false;
    if (!waiter) return true;
    const auto since = std::chrono::steady_clock::now();
    say("the device went away; waiting for " + waiter->device());
    if (!reconnect(*waiter, deadline)) {
        if (!stop_.raised()) say("the device did not come back");
        return true;
    }
    if (renewed) renewed(*ctrl_);
    const double away =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    char text[64];
    std::snprintf(text, sizeof text, "the device is back after %.3g s", away);
    say(text);
    return false;
}

void ReconnectOptions::addTo(CLI::App& app) {
    app.add_flag("--reconnect", on,
                 "when the device goes away, wait for it to come back and go on");
    app.add_option("--reconnect-timeout", timeout,
                   "with --reconnect: give up after the device has been away this many seconds "
                   "(default: wait without end)")
        ->type_name("S")
        ->check(CLI::Range(0.0, 1e8));
}

std::chrono::steady_clock::time_point ReconnectOptions::deadline() const {
    const auto now = std::chrono::steady_clock::now();
    if (timeout <= 0) return std::chrono::steady_clock::time_point::max();
    return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(timeout));
}

Session::~Session() {
    // A device that never said a word to a command that timed out: the usual causes.
    if (ctrl_->ErrorString() == "Serial port timed out" && received_ == 0) explainTimeout();
    ctrl_.reset();
}

void Session::explainTimeout() {
    if (std::exchange(timeoutExplained_, true)) return;
    printError(
        "vantrel: no reply in time usually means another baud rate (find --baud auto tries the "
        "usual ones), a cable with TX and RX not crossed, or a board without power");
}

bool Session::openPort() {
    if (ctrl_->PortIsOpen() && !ctrl_->comm().PortOpen()) {
        printError(
            "vantrel: " + (form_ ? "the form's entry " + name_ : std::string("the control")) +
            " says the port is open (saved while it was); closing it first");
        ctrl_->ClosePort();
    }
    if (ctrl_->OpenPort()) {
        opened_ = true;
        return true;
    }
    printError("vantrel: COM" + std::to_string(ctrl_->Port()) + ": " + ctrl_->ErrorString() + " (" +
               portProblem(ctrl_->Port(), ctrl_->comm()) + ")");
    return false;
}

std::string Session::where() {
    SerialComm& comm = ctrl_->comm();
    const std::string settings = comm.Settings();
    return "COM" + std::to_string(comm.CommPort()) + " (" +
           PortMap::instance().devicePath(comm.CommPort()) + ") at " +
           settings.substr(0, settings.find(',')) + " baud";
}

bool Session::served() const {
    std::string device;
    try {
        device = PortMap::instance().devicePath(ctrl_->Port());
    } catch (const Error&) {
        return false;  // opening it says why
    }
    std::transform(device.begin(), device.end(), device.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return device.starts_with("unix://") || device.starts_with("vantrel://");
}

bool Session::deviceGone() const {
    return opened_ && (ctrl_->comm().HungUp() || !ctrl_->comm().PortOpen());
}

void Session::save() {
    if (!form_) throw Error(err::FormFile, "no form file given (--form FILE)");
    PropertyBag& bag = form_->bag(name_);
    ctrl_->UserControl_WriteProperties(bag);
    // An open port is the state of this run, not a setting: a form saved with the flag set
    // would make the next program's OpenPort refuse ("A port is already open").
    bag.WriteProperty("PortIsOpen", Variant(false), Variant(false));
    form_->save();
}

}  // namespace vantrel::cli
