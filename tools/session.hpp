// vantrel command-line tool: one control built from the command line, and the site it reports
// to.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "options.hpp"
#include "signals.hpp"
#include "vantrel/ctrl.hpp"
#include "vantrel/platform.hpp"
#include "vantrel/reconnect.hpp"

namespace vantrel::cli {

// A site that reports property changes to the tool (find follows the scan through "Port").
class ToolSite : public LoopSite {
  public:
    explicit ToolSite(EventLoop& loop) : LoopSite(loop) {}
    void PropertyChanged(std::string_view name) override {
        if (onPropertyChanged) onPropertyChanged(name);
    }
    std::function<void(std::string_view)> onPropertyChanged;
};

// One control built from the options: SIGINT and SIGTERM taken over (see StopSignals; a second
// signal closes the port, which puts the line settings back, before the process ends), the port
// map applied, the control created new or loaded from its form entry, tracing hooked in, Bauds
// and Port assigned (the given values, else the control's own, so that the serial component
// follows what was loaded).
class Session {
  public:
    explicit Session(const ControlOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    VantrelCtrl& ctrl() { return *ctrl_; }
    ToolSite& site() { return *site_; }
    EventLoop& loop() { return threadLoop(); }
    StopSignals& stop() { return stop_; }

    // Bytes written to the device so far: a call that fails having written nothing was refused
    // by the control itself and fails the same way every time.
    uint64_t bytesWritten() const { return written_; }
    // The port, device and rate the serial component actually uses: "COM3 (/dev/pts/4) at
    // 9600 baud".
    std::string where();
    // Whether the device has gone away (hung up, unplugged) since the port was opened.
    bool deviceGone() const;

    // Opens the port. A control loaded with its port flag set (the form was saved while the
    // port was open) is first put right with ClosePort, as the flag alone would refuse the open.
    // Reports a failure on standard error; returns OpenPort's result.
    bool openPort();

    // Whether the options named a form.
    bool hasForm() const { return form_ != nullptr; }
    // Whether the port leads to a board that `vantrel serve` holds open (unix://, vantrel://):
    // opening it only joins the daemon's clients.
    bool served() const;
    // Writes the control's entry into the form and saves the file. Throws Error (FormFile).
    void save();

    // After deviceGone(): closes the port, waits for the device under its stable name and
    // opens it again with a new control at the same port and rate (the converters' last
    // addresses and the board's setup count as unknown then). False when a stop signal came
    // or the device was not back by `deadline`. Controls connected to events must be
    // connected again to ctrl().
    bool reconnect(DeviceWaiter& waiter, std::chrono::steady_clock::time_point deadline);
    // A waiter for the device the port leads to now.
    // Also notes the identity of the device as it is now: reconnect() takes back only that one.
    std::unique_ptr<DeviceWaiter> makeWaiter();
    // For the commands that watch the line: whether the device has gone and stays gone. With
    // a waiter (--reconnect) a device that has gone is waited for first; `say` tells a person
    // what happens, and `renewed` connects what listened to the old control to the new one.
    bool goneForGood(DeviceWaiter* waiter, std::chrono::steady_clock::time_point deadline,
                     const std::function<void(const std::string&)>& say,
                     const std::function<void(VantrelCtrl&)>& renewed = {});
    // Once per run, on standard error: what a reply that did not come in time usually means.
    void explainTimeout();

    // Called with every block of bytes received from the device (after the trace).
    std::function<void(std::string_view bytes)> onReceived;

  private:
    void hook(VantrelCtrl& ctrl);

    StopSignals stop_;
    std::shared_ptr<ToolSite> site_;
    std::unique_ptr<FormFile> form_;
    std::string name_;
    std::unique_ptr<VantrelCtrl> ctrl_;
    uint64_t written_ = 0;
    uint64_t received_ = 0;
    bool opened_ = false;
    bool trace_ = false;
    bool timeoutExplained_ = false;
    ReconnectPolicy policy_{.enabled = true};
    DeviceIdentity identity_;
};

// --reconnect and --reconnect-timeout for the commands that keep a port open.
struct ReconnectOptions {
    bool on = false;
    double timeout = 0;  // seconds a return is waited for; 0: without end
    void addTo(CLI::App& app);
    // The end of one wait that starts now.
    std::chrono::steady_clock::time_point deadline() const;
};

// Why a device could not be opened, found out after the control's own attempt failed (the
// control reports only that it failed). Opens the device for a moment without writing; for a
// network device, the reason the control's component gave.
std::string deviceProblem(const std::string& path, const SerialComm& comm);
// The same for a device of this machine (a path, not a URL).
std::string localDeviceProblem(const std::string& path);
// The same for COM n, which may have no device at all (the kernel console's number) or a ports
// file that cannot be read.
std::string portProblem(int port, const SerialComm& comm);

}  // namespace vantrel::cli
