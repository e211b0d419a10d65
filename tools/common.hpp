// vantrel command-line tool: what the commands share (options that build a control, output
// helpers, exit statuses, Ctrl-C handling).
#pragma once

#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd.hpp"
#include "vantrel/ctrl.hpp"
#include "vantrel/platform.hpp"

namespace vantrel::cli {

// JSON output keeps the keys in the order they are written.
using Json = nlohmann::ordered_json;

// Exit statuses of every command.
inline constexpr int kExitTrue = 0;
inline constexpr int kExitFalse = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFailedCall = 3;

// A command: its part of the command line, and its entry point, which runs after the command
// line has been parsed and returns the exit status.
using Runner = std::function<int()>;
struct Subcommand {
    CLI::App* app;
    Runner run;
};

// The options of every command that works with a control.
struct ControlOptions {
    std::optional<int32_t> port;
    std::optional<int32_t> baud;
    std::vector<std::string> maps;  // "N=PATH"
    std::string device;             // the same as --map 1=PATH
    bool trace = false;
    std::string form;
    std::string name = "VantrelCtrl1";

    // Adds the options to a command. withPort: --port is offered (find scans instead).
    void addTo(CLI::App& app, bool withPort = true);
};

// Only the port-map options (for commands that inspect the map without a control).
struct MapOptions {
    std::vector<std::string> maps;
    std::string device;
    void addTo(CLI::App& app);
    // Puts the mappings in force. Throws CLI::ValidationError for a malformed entry.
    void apply() const;
};

// A site that reports property changes to the tool (find follows the scan through "Port").
class ToolSite : public LoopSite {
  public:
    explicit ToolSite(EventLoop& loop) : LoopSite(loop) {}
    void PropertyChanged(std::string_view name) override {
        if (onPropertyChanged) onPropertyChanged(name);
    }
    std::function<void(std::string_view)> onPropertyChanged;
};

// One control built from the options: the port map applied, the control created new or loaded
// from its form entry, tracing hooked in, Bauds and Port assigned (the given values, else the
// control's own, so that the serial component follows what was loaded).
class Session {
  public:
    explicit Session(const ControlOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    VantrelCtrl& ctrl() { return *ctrl_; }
    ToolSite& site() { return *site_; }
    EventLoop& loop() { return threadLoop(); }

    // Opens the port. A control loaded with its port flag set (the form was saved while the
    // port was open) is first put right with ClosePort, as the flag alone would refuse the open.
    // Reports a failure on standard error; returns OpenPort's result.
    bool openPort();

    // Whether the options named a form.
    bool hasForm() const { return form_ != nullptr; }
    // Writes the control's entry into the form and saves the file. Throws Error (FormFile).
    void save();

    // Called with every block of bytes received from the device (after the trace).
    std::function<void(std::string_view bytes)> onReceived;

  private:
    std::shared_ptr<ToolSite> site_;
    std::unique_ptr<FormFile> form_;
    std::string name_;
    std::unique_ptr<VantrelCtrl> ctrl_;
};

// Collects the control's events; either hands each one to `live` at once or keeps them in order
// for the caller to take.
class EventRecorder : public VantrelEvents {
  public:
    struct Event {
        int32_t id;        // event_id::InterruptLow, InterruptHigh, NewData
        Variant value;     // NewData's m_Value
        std::string text;  // NewData's ErrorStr
    };

    void InterruptLow() override { add({event_id::InterruptLow, {}, {}}); }
    void InterruptHigh() override { add({event_id::InterruptHigh, {}, {}}); }
    void NewData(Variant& m_Value, std::string& ErrorStr) override {
        lastValue = m_Value;
        lastText = ErrorStr;
        ++newDataCount;
        add({event_id::NewData, m_Value, ErrorStr});
    }

    std::vector<Event> take() { return std::exchange(events_, {}); }

    // When set, events go here as they come instead of being kept.
    std::function<void(const Event&)> live;
    // The last NewData's arguments, and how many there were.
    Variant lastValue;
    std::string lastText;
    int newDataCount = 0;

  private:
    void add(Event e) {
        if (live)
            live(e);
        else
            events_.push_back(std::move(e));
    }
    std::vector<Event> events_;
};

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

const char* eventName(int32_t id);
Json eventJson(const EventRecorder::Event& e);
std::string eventText(const EventRecorder::Event& e);

// Blocks SIGINT and SIGTERM and receives them through a signalfd on the loop, so that an
// operation in progress ends normally and the command stops at its next check. The previous
// signal mask comes back when this is destroyed.
class StopSignals {
  public:
    explicit StopSignals(EventLoop& loop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    bool raised() const { return raised_; }

  private:
    void drain();
    sigset_t old_{};
    Fd fd_;
    WatchHandle watch_;
    bool raised_ = false;
};

// Pumps the loop until `deadline` passes or stop() holds.
void pumpFor(EventLoop& loop, std::chrono::milliseconds duration,
             const std::function<bool()>& stop);

// --- Text ---------------------------------------------------------------------------------

// Text in double quotes with C escapes for quotes, backslashes and control characters
// (\r, \n, \t, \xNN); other characters (UTF-8 included) as they are.
std::string quotedText(std::string_view text);
// A value as the shell shows it: Empty, Null, True, False, a number, or quoted text.
std::string variantText(const Variant& v);
// A value as JSON: Empty as null, Null as {"type": "Null"}, numbers, booleans and strings.
Json variantJson(const Variant& v);
// Local time of day with milliseconds ("14:03:07.125"), or microseconds.
std::string clockText(bool micro = false);
// Local date and time with milliseconds, ISO 8601 ("2024-05-01T14:03:07.125").
std::string dateTimeText();
// Bytes for a trace line: printable runs in quotes, other bytes in hex ("PRA" 0D).
std::string traceText(std::string_view bytes);

// One JSON document on one line of standard output (invalid UTF-8 replaced), flushed.
void printJson(const Json& j);
// A line on standard output, flushed (output interleaves with events).
void printLine(std::string_view line);
// A line on standard error.
void printError(std::string_view line);

// --- The commands ---------------------------------------------------------------------------

Subcommand addShell(CLI::App& app);
Subcommand addCmd(CLI::App& app);
Subcommand addRead(CLI::App& app);
Subcommand addSelftest(CLI::App& app);
Subcommand addFind(CLI::App& app);
Subcommand addResync(CLI::App& app);
Subcommand addConfig(CLI::App& app);
Subcommand addPorts(CLI::App& app);
Subcommand addMonitor(CLI::App& app);
Subcommand addDemo(CLI::App& app);

}  // namespace vantrel::cli
