// vantrel log: the recorder. Channels of one or more boards paced on deadlines into a CSV,
// JSON Lines or SQLite file, from a configuration file or, for a quick run, from options;
// "log export" writes a database's records out as CSV or JSON Lines, "log snapshot" copies it
// while it is written, "log status" shows a run's status file, "log note" writes a note into a
// running recording.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "atomic_file.hpp"
#include "commands.hpp"
#include "log_config.hpp"
#include "note_inbox.hpp"
#include "options.hpp"
#include "output.hpp"
#include "publishers.hpp"
#include "recorder.hpp"
#include "service_notify.hpp"
#include "session.hpp"
#include "signals.hpp"
#include "sqlite_output.hpp"
#include "vantrel/error.hpp"

namespace vantrel::cli {

namespace {

using namespace vantrel::acquire;
using Clock = std::chrono::steady_clock;

struct LogOptions {
    std::string config;
    std::string device;
    std::optional<int32_t> port;
    std::optional<int32_t> baud;
    std::string channels;
    std::optional<double> period;
    std::optional<double> check;
    std::optional<double> duration;
    std::string out;
    std::string status;
    std::optional<uint64_t> rotateSize;
    bool rotateDaily = false;
    std::optional<double> retain;
    std::string http;
    std::optional<double> httpMinutes;
    std::string metrics;
    std::string mqtt;
    bool mqttDiscovery = false;
    std::string influx;
    std::string credentials;
    bool allowRemote = false;
    std::vector<std::string> allowHosts;
};

struct ExportOptions {
    std::string database;
    std::string from;
    std::string to;
    bool csv = false;
    bool jsonl = false;
};

// "10:3,12:0" -> channels of those widths.
std::vector<ChannelConfig> parseChannelList(const std::string& text, double period) {
    std::vector<ChannelConfig> out;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        const auto colon = item.find(':');
        int bits = 0, channel = 0;
        std::size_t used1 = 0, used2 = 0;
        try {
            if (colon == std::string::npos) throw std::invalid_argument(item);
            bits = std::stoi(item.substr(0, colon), &used1);
            channel = std::stoi(item.substr(colon + 1), &used2);
        } catch (const std::exception&) {
            used1 = 0;
        }
        if (used1 == 0 || used1 != colon || used2 != item.size() - colon - 1)
            throw CLI::ValidationError(
                "--channel", "expected BITS:CH[,BITS:CH...] (10:3,12:0), got \"" + item + "\"");
        ChannelConfig c;
        c.bits = bits;
        c.channel = channel;
        c.name = std::to_string(bits) + ":" + std::to_string(channel);
        c.period = period;
        out.push_back(std::move(c));
    }
    if (out.empty()) throw CLI::ValidationError("--channel", "expected BITS:CH[,BITS:CH...]");
    return out;
}

LogConfig configOf(const LogOptions& o) {
    LogConfig c;
    const bool quick = !o.device.empty() || o.port || !o.channels.empty();
    if (!o.config.empty()) {
        if (quick || o.period || o.baud || o.check)
            throw CLI::ValidationError(
                "--config",
                "the board options (--device, --port, --baud, --channel, --period, --check) "
                "and --config exclude each other: the file names the boards");
        c = loadConfig(o.config);
    } else {
        if (o.device.empty() && !o.port)
            throw CLI::ValidationError(
                "log", "give --config FILE, or --device DEV (or --port N) with --channel");
        if (o.channels.empty())
            throw CLI::ValidationError("--channel", "is required with --device or --port");
        BoardConfig b;
        b.device = o.device;
        b.port = o.port;
        b.baud = o.baud.value_or(9600);
        b.check = o.check.value_or(kDefaultCheck);
        b.name = b.port ? "COM" + std::to_string(*b.port) : b.device;
        b.channels = parseChannelList(o.channels, o.period.value_or(1.0));
        c.boards.push_back(std::move(b));
        checkConfig(c);
    }
    if (!o.out.empty()) c.out = o.out;
    if (o.duration) c.duration = *o.duration;
    if (!o.status.empty()) c.status = o.status;
    if (o.rotateSize) c.rotate.maxBytes = *o.rotateSize;
    if (o.rotateDaily) c.rotate.daily = true;
    if (o.retain) c.rotate.retainDays = *o.retain;
    if (!o.http.empty()) c.publish.http = o.http;
    if (o.httpMinutes) c.publish.httpMinutes = *o.httpMinutes;
    if (!o.metrics.empty()) c.publish.metrics = o.metrics;
    if (!o.mqtt.empty()) c.publish.mqtt = o.mqtt;
    if (o.mqttDiscovery) c.publish.mqttDiscovery = true;
    if (!o.influx.empty()) c.publish.influx = o.influx;
    if (!o.credentials.empty()) c.publish.credentials = o.credentials;
    if (o.allowRemote) c.publish.allowRemote = true;
    for (const std::string& name : o.allowHosts) c.publish.allowHosts.push_back(name);
    publish::checkPublish(c);
    outputKind(c.out);  // throws for an output of no known kind, before anything starts
    return c;
}

void writeStatus(const Recorder& recorder, const std::string& path, bool& complained) {
    try {
        replaceFile(path, recorder.statusJson(), err::FormFile);
        complained = false;
    } catch (const std::exception& e) {
        if (!complained) printError(std::string("vantrel: log: status file: ") + e.what());
        complained = true;
    }
}

int runLog(const LogOptions& o) {
    LogConfig config;
    try {
        config = configOf(o);
    } catch (const ConfigError& e) {
        printError(std::string("vantrel: log: ") + e.what());
        return kExitUsage;
    }

    // The signals are taken over before any thread starts, so that every thread has them
    // blocked and they arrive here, through the descriptor.
    const ProcessSignals signals;

    std::size_t channelCount = 0;
    for (const BoardConfig& b : config.boards) channelCount += b.channels.size();
    const ServiceNotifier notifier;
    const auto say = [](const std::string& text) { printError("vantrel: log: " + text); };
    // The published outputs outlive the recorder's boards, which hand them every record.
    std::optional<publish::Publishers> publishers;
    try {
        publishers.emplace(config, say);
    } catch (const std::runtime_error& e) {
        printError(std::string("vantrel: log: ") + e.what());
        return kExitFailedCall;
    }
    // A service's journal gets one line each time a board cannot be opened, goes away or
    // comes back; the gap records say the same in the recording.
    const auto notice = [](const BoardConfig& b, BoardEvent event, const std::string& why) {
        const std::string device = b.port ? "COM" + std::to_string(*b.port) : b.device;
        const std::string who = b.name == device ? b.name : b.name + " (" + device + ")";
        switch (event) {
            case BoardEvent::CannotOpen: {
                const std::string local =
                    b.port || isDeviceUrl(b.device) ? std::string() : localDeviceProblem(b.device);
                const bool adds = !local.empty() && why.find(local) == std::string::npos;
                printError("vantrel: log: " + who + ": cannot be opened: " + why +
                           (adds ? "; " + local : "") + "; looking for it again every round");
                break;
            }
            case BoardEvent::Away:
                printError("vantrel: log: " + who + ": went away: " + why +
                           "; looking for it again every round");
                break;
            case BoardEvent::Back:
                printError("vantrel: log: " + who + ": opened; recording");
                break;
        }
    };
    std::optional<Recorder> recorder;
    try {
        recorder.emplace(config, say, publishers->taps(), notice);
    } catch (const OutputError& e) {
        printError(std::string("vantrel: log: ") + e.what());
        return kExitFailedCall;
    }
    publishers->setBoards([&recorder] { return recorder->boards(); });
    publishers->setCursors([&recorder](const std::string& output, uint64_t seq) {
        recorder->saveCursor(output, seq);
    });
    const auto takeNote = [&recorder](const std::string& text) -> std::string {
        if (const auto problem = noteProblem(text)) throw std::invalid_argument(*problem);
        return isoTime(recorder->note(text).time);
    };
    publishers->setNotes(takeNote);
    // Other programs reach the run through the socket its status file names; a run without
    // one still records.
    std::optional<NoteInbox> inbox;
    try {
        inbox.emplace(std::filesystem::absolute(notesSocketFor(config.statusPath())).string(),
                      takeNote);
        recorder->setNotesSocket(inbox->path());
    } catch (const std::exception& e) {
        printError(std::string("vantrel: log: notes: ") + e.what() +
                   "; `vantrel log note` cannot reach this run");
    }
    printError("vantrel: log: " + plural(channelCount, "channel", "channels") + " of " +
               plural(config.boards.size(), "board", "boards") + " to " + config.out +
               (config.duration > 0 ? "" : "; Ctrl-C ends"));

    const std::string statusPath = config.statusPath();
    bool statusComplained = false;
    bool ready = false;
    int signalled = 0;
    const auto statusEvery = std::chrono::seconds(5);
    auto nextStatus = Clock::now();
    auto nextWatchdog = Clock::now();
    while (signalled == 0 && !recorder->finished()) {
        const auto now = Clock::now();
        if (!ready && recorder->started()) {
            ready = true;
            notifier.send("READY=1\nSTATUS=recording");
            nextStatus = now;
        }
        if (now >= nextStatus) {
            writeStatus(*recorder, statusPath, statusComplained);
            nextStatus = now + statusEvery;
        }
        auto wake = nextStatus;
        if (notifier.watchdogEvery()) {
            if (now >= nextWatchdog) {
                notifier.send("WATCHDOG=1");
                nextWatchdog = now + *notifier.watchdogEvery();
            }
            wake = std::min(wake, nextWatchdog);
        }
        // Short waits until every board has started, and from the run's end until its last
        // round is done; the descriptor wakes this at once for a signal.
        const auto end = recorder->end();
        if (!ready || (end && now >= *end))
            wake = std::min(wake, now + std::chrono::milliseconds(20));
        else if (end)
            wake = std::min(wake, *end);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
        pollfd p[2] = {{signals.fd(), POLLIN, 0}, {inbox ? inbox->fd() : -1, POLLIN, 0}};
        if (::poll(p, 2, static_cast<int>(std::max<int64_t>(wait.count(), 0))) < 0 &&
            errno != EINTR)
            throw Error(err::EventLoopFailed, sysMessage("poll", "", errno));
        if (inbox && (p[1].revents & POLLIN)) inbox->takeAll();
        signalfd_siginfo info;
        while (::read(signals.fd(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo == SIGHUP) {
                printError("vantrel: log: reopening " + config.out);
                recorder->reopen();
            } else if (signalled == 0) {
                signalled = static_cast<int>(info.ssi_signo);
            }
        }
    }
    notifier.send("STOPPING=1");
    if (signalled != 0) {
        printError("vantrel: log: stopping: writing what is left and closing " + config.out +
                   "; Ctrl-C again ends at once");
        // A second signal takes its default course and ends the process where it stands.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        ::pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    }
    inbox.reset();
    recorder->setNotesSocket({});
    publishers->setNotes({});
    // The outputs send what they hold and store their cursors while the file is still open.
    recorder->stopBoards();
    publishers->stop();
    const uint64_t lost = recorder->stop();
    writeStatus(*recorder, statusPath, statusComplained);
    const RecordWriter::Stats out = recorder->output();
    for (const BoardStatus& b : recorder->boards())
        printError("vantrel: log: " + b.name + ": " + plural(b.readings, "reading", "readings") +
                   ", " + plural(b.errors, "error", "errors") + ", " +
                   plural(b.overruns, "overrun", "overruns") + ", " +
                   plural(b.gaps, "gap", "gaps") + ", " +
                   plural(b.reconnects, "reconnect", "reconnects"));
    for (const auto& p : publishers->outputs())
        printError("vantrel: log: " + std::string(p->kind()) + ": " +
                   plural(p->sent(), "reading", "readings") + " published" +
                   (p->dropped() > 0 ? ", " + std::to_string(p->dropped()) + " dropped" : ""));
    printError(
        "vantrel: log: " + plural(out.written, "record", "records") + " written to " + config.out +
        (out.dropped > 0 ? "; " + plural(out.dropped, "record", "records") + " dropped" : ""));
    if (signalled != 0) return 128 + signalled;
    return lost > 0 || out.dropped > 0 ? kExitFailedCall : kExitTrue;
}

int runExport(const ExportOptions& o) {
    std::string from, to;
    for (const auto& [text, bound, name] :
         {std::tuple(&o.from, &from, "--from"), std::tuple(&o.to, &to, "--to")}) {
        if (text->empty()) continue;
        const auto t = timeBound(*text);
        if (!t)
            throw CLI::ValidationError(
                name,
                "expected a UTC time such as 2026-12-08, 2026-12-08T06:30 or "
                "2026-12-08T06:30:15.250Z, got \"" +
                    *text + "\"");
        *bound = *t;
    }
    try {
        const uint64_t n = exportRecords(
            o.database, from, to, o.jsonl ? ExportFormat::JsonLines : ExportFormat::Csv, stdout);
        if (std::fflush(stdout) != 0) throw OutputClosed(errno);
        printError("vantrel: log export: " + plural(n, "record", "records"));
    } catch (const OutputError& e) {
        printError(std::string("vantrel: log export: ") + e.what());
        return kExitFailedCall;
    }
    return kExitTrue;
}

int runSnapshot(const std::string& database, const std::string& out) {
    try {
        const uint64_t n = snapshotDatabase(database, out);
        printError("vantrel: log snapshot: " + plural(n, "record", "records") + " copied to " +
                   out);
    } catch (const OutputError& e) {
        printError(std::string("vantrel: log snapshot: ") + e.what());
        return kExitFailedCall;
    }
    return kExitTrue;
}

// The status file a command is given: the run's output or its status file itself.
std::string statusFileOf(const std::string& given) {
    const std::string suffix = ".status.json";
    return given.ends_with(suffix) ? given : given + suffix;
}

int runNote(const std::string& text, const std::string& given) {
    const std::string path = statusFileOf(given);
    if (const auto problem = noteProblem(text)) {
        printError("vantrel: log note: " + *problem);
        return kExitUsage;
    }
    const auto status = readWholeFile(path, err::FormFile, 1024 * 1024, "status file");
    if (!status) {
        printError("vantrel: log note: " + path + ": no status file (is a recorder running?)");
        return kExitFailedCall;
    }
    std::string socket;
    try {
        const nlohmann::json j = nlohmann::json::parse(*status);
        socket = j.value("notes", std::string());
        if (!j.value("running", false)) socket.clear();
    } catch (const nlohmann::json::exception& e) {
        printError("vantrel: log note: " + path + ": not a status file: " + e.what());
        return kExitFailedCall;
    }
    if (socket.empty()) {
        printError("vantrel: log note: " + path +
                   ": the recorder is not running, or takes no notes");
        return kExitFailedCall;
    }
    std::string answer;
    try {
        answer = sendNote(socket, text, std::chrono::seconds(5));
    } catch (const std::exception& e) {
        printError("vantrel: log note: " + std::string(e.what()) + " (is the recorder of " + path +
                   " still running?)");
        return kExitFailedCall;
    }
    if (answer.starts_with("error: ")) {
        printError("vantrel: log note: " + answer.substr(7));
        return kExitFailedCall;
    }
    printLine("note at " + answer);
    return kExitTrue;
}

std::string jsonText(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || it->is_null()) return "-";
    if (it->is_string()) return it->get<std::string>();
    if (it->is_number_float()) return readableNumber(it->get<double>());
    return it->dump();
}

int runStatus(const std::string& given) {
    const std::string path = statusFileOf(given);
    const bool isStatus = path == given;
    const auto text = readWholeFile(path, err::FormFile, 1024 * 1024, "status file");
    if (!text) {
        printError("vantrel: log status: " + path + ": no status file (is a recorder writing to " +
                   (isStatus ? std::string("it") : given) + "?)");
        return kExitFalse;
    }
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(*text);
    } catch (const nlohmann::json::exception& e) {
        printError("vantrel: log status: " + path + ": not a status file: " + e.what());
        return kExitFalse;
    }
    const int64_t pid = j.value("pid", int64_t{0});
    const bool running = j.value("running", false) && pid > 0 &&
                         (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
    printLine("recorder " + std::string(running ? "running" : "not running") + " (pid " +
              std::to_string(pid) + "), started " + jsonText(j, "started") + ", status of " +
              jsonText(j, "updated"));
    printLine(
        "output " + jsonText(j, "out") + ": " + jsonText(j, "written") + " written, " +
        jsonText(j, "held") + " held, " + jsonText(j, "dropped") + " dropped" +
        (j.value("problem", std::string()).empty() ? "" : "; problem: " + jsonText(j, "problem")));
    for (const auto& b : j.value("boards", nlohmann::json::array())) {
        const auto count = [&b](const char* key, const char* one, const char* many) {
            const auto it = b.find(key);
            return it != b.end() && it->is_number_unsigned()
                       ? plural(it->get<uint64_t>(), one, many)
                       : std::string("- ") + many;
        };
        const bool read = b.contains("last_time") && !b["last_time"].is_null();
        printLine("board " + jsonText(b, "name") + " (" + jsonText(b, "device") +
                  "): " + jsonText(b, "state") + "; " +
                  (read ? "last reading " + jsonText(b, "last_time") + " " +
                              jsonText(b, "last_channel") + " = " + jsonText(b, "last_value")
                        : std::string("no reading yet")) +
                  "; " + count("readings", "reading", "readings") + ", " +
                  count("errors", "error", "errors") + ", " +
                  count("overruns", "overrun", "overruns") + ", " + count("gaps", "gap", "gaps") +
                  ", " + count("reconnects", "reconnect", "reconnects") +
                  (jsonText(b, "last_error").empty()
                       ? ""
                       : "; last error: " + jsonText(b, "last_error")));
    }
    return running ? kExitTrue : kExitFalse;
}

}  // namespace

Subcommand addLog(CLI::App& app) {
    auto o = std::make_shared<LogOptions>();
    auto e = std::make_shared<ExportOptions>();
    auto statusPath = std::make_shared<std::string>();
    CLI::App* sub = app.add_subcommand(
        "log",
        "Record channels of one or more boards, paced on deadlines, into a CSV, JSON Lines or "
        "SQLite "
        "file (by --out's extension), from --config FILE or from the options; until --duration or "
        "SIGINT/SIGTERM (exit 130/143); SIGHUP reopens the output");
    sub->require_subcommand(0, 1);
    sub->add_option("--config", o->config, "the run described in a TOML file (see docs/log.md)")
        ->type_name("FILE");
    sub->add_option("--device", o->device,
                    "the board's device: a path, a /dev/serial/by-id link or a URL")
        ->type_name("DEV");
    sub->add_option("--port", o->port, "the board's COM number (through the ports file)")
        ->type_name("N")
        ->check(CLI::Range(1, 255));
    sub->add_option("--baud", o->baud, "the line's rate (default 9600)")->type_name("B");
    sub->add_option("--channel", o->channels, "the channels to record")
        ->type_name("BITS:CH[,BITS:CH...]");
    sub->add_option("--period", o->period, "seconds from one round's start to the next (default 1)")
        ->type_name("SECONDS")
        ->check(CLI::Range(kMinPeriod, kMaxPeriod));
    sub->add_option("--check", o->check,
                    "seconds between checks of the converters on their reference input; readings "
                    "are kept once the next check passes (default 1; 0: never)")
        ->type_name("SECONDS")
        ->check(CLI::Number);
    sub->add_option("--duration", o->duration, "seconds to record; 0 or absent: until stopped")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 1e9));
    sub->add_option("--out", o->out,
                    "the output: .csv, .jsonl, .sqlite or .db (default vantrel-log.sqlite)")
        ->type_name("FILE");
    sub->add_option("--status", o->status,
                    "the status file (default: the output's name + .status.json)")
        ->type_name("FILE");
    sub->add_option("--rotate-size", o->rotateSize,
                    "start a new file before this many bytes (SQLite: once it has this many)")
        ->type_name("BYTES")
        ->check(CLI::Range(uint64_t{4096}, uint64_t{1} << 50));
    sub->add_flag("--rotate-daily", o->rotateDaily, "start a new file each UTC day");
    sub->add_option("--retain", o->retain,
                    "remove records (SQLite: all but the hours' summaries) and rotated files "
                    "older than this; 0: keep everything")
        ->type_name("DAYS")
        ->check(CLI::Range(0.0, 36500.0));
    sub->add_option("--http", o->http,
                    "serve a live page of the readings (host 127.0.0.1 unless given; "
                    "docs/dashboards.md)")
        ->type_name("[HOST:]PORT");
    sub->add_option("--http-minutes", o->httpMinutes,
                    "how far back the page's plots go (default 10)")
        ->type_name("MINUTES")
        ->check(CLI::Range(1.0, 1440.0));
    sub->add_option("--metrics", o->metrics, "serve Prometheus metrics at /metrics")
        ->type_name("[HOST:]PORT");
    sub->add_option("--mqtt", o->mqtt, "publish each reading to an MQTT broker")
        ->type_name("mqtt://HOST[:PORT][/PREFIX]");
    sub->add_flag("--mqtt-discovery", o->mqttDiscovery,
                  "also send Home Assistant discovery messages");
    sub->add_option("--influx", o->influx, "write the readings to InfluxDB 1.x")
        ->type_name("http://HOST[:PORT]/DB");
    sub->add_option("--credentials", o->credentials,
                    "the MQTT and InfluxDB user names, passwords and TLS CA files (owner-only)")
        ->type_name("FILE");
    sub->add_flag("--allow-remote", o->allowRemote,
                  "let --http and --metrics listen on an address other than loopback");
    sub->add_option("--allow-host", o->allowHosts,
                    "a name the live page and metrics answer to besides their address and "
                    "localhost (repeatable)")
        ->type_name("NAME");

    CLI::App* exp = sub->add_subcommand(
        "export",
        "Write the records of a recording's database as CSV or JSON Lines, in order of time");
    exp->add_option("database", e->database, "the database (.sqlite or .db)")
        ->required()
        ->type_name("DB");
    exp->add_option("--from", e->from, "the first time included (UTC)")->type_name("T");
    exp->add_option("--to", e->to, "the first time no longer included (UTC)")->type_name("T");
    CLI::Option* csv = exp->add_flag("--csv", e->csv, "as CSV, header first (the default)");
    exp->add_flag("--jsonl", e->jsonl, "as JSON Lines, one record a line")->excludes(csv);

    auto snapshot = std::make_shared<std::pair<std::string, std::string>>();
    CLI::App* snap = sub->add_subcommand(
        "snapshot", "Copy a recording's database consistently, also while a recorder writes to it");
    snap->add_option("database", snapshot->first, "the database (.sqlite or .db)")
        ->required()
        ->type_name("DB");
    snap->add_option("out", snapshot->second, "the copy, one self-contained file (replaced)")
        ->required()
        ->type_name("OUT");

    CLI::App* status = sub->add_subcommand(
        "status", "Show a run's status: per board its last reading, overruns, gaps, reconnects");
    status->add_option("file", *statusPath, "the run's output (or its .status.json file)")
        ->required()
        ->type_name("FILE");

    auto note = std::make_shared<std::pair<std::string, std::string>>();
    note->second = LogConfig().statusPath();
    CLI::App* noteCmd = sub->add_subcommand(
        "note", "Write a note (\"sample B in\") with the time now into a running recording");
    noteCmd->add_option("text", note->first, "the note")->required()->type_name("TEXT");
    noteCmd
        ->add_option("--status", note->second,
                     "the run's status file, or its output (default " + note->second + ")")
        ->type_name("FILE");

    return {sub, [o, e, statusPath, exp, status, snapshot, snap, note, noteCmd] {
                if (noteCmd->parsed()) return runNote(note->first, note->second);
                if (exp->parsed()) return runExport(*e);
                if (snap->parsed()) return runSnapshot(snapshot->first, snapshot->second);
                if (status->parsed()) return runStatus(*statusPath);
                return runLog(*o);
            }};
}

}  // namespace vantrel::cli
