// vantrel serve: one process owns the boards and every program uses them through it
// (unix://PATH#BOARD, vantrel://HOST:PORT#BOARD); with --config it also records them, as
// `vantrel log` would. "serve status" lists the daemon's boards and clients.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>

#include "atomic_file.hpp"
#include "commands.hpp"
#include "daemon.hpp"
#include "fd.hpp"
#include "log_config.hpp"
#include "options.hpp"
#include "output.hpp"
#include "publishers.hpp"
#include "recorder.hpp"
#include "serve_config.hpp"
#include "service_notify.hpp"
#include "signals.hpp"
#include "vantrel/error.hpp"
#include "vantrel/ports.hpp"
#include "vantrel/serial_comm.hpp"

namespace vantrel::cli {

namespace {

using Clock = std::chrono::steady_clock;

struct ServeOptions {
    std::string config;
    std::string device;
    std::optional<int32_t> port;
    std::optional<int32_t> baud;
    std::string name;
    std::string socket;
    std::string listen;
    bool allowRemote = false;
    std::string tokenFile;
    std::size_t maxClients = 64;
    std::optional<int32_t> replyWindow;
};

struct StatusOptions {
    std::string socket;
    bool json = false;
};

// Where the daemon's socket is unless --socket says: $XDG_RUNTIME_DIR/vantrel/serve.sock, or,
// as a service, /run/vantrel/serve.sock.
std::string socketOf(const std::string& given) {
    return given.empty() ? serve::defaultSocketPath() : given;
}

std::string readTokenFile(const std::string& path) {
    std::string token;
    try {
        token = serve::readTokenFile(path);
    } catch (const Error& e) {
        throw CLI::ValidationError("--token-file", e.what());
    }
    if (token.size() < serve::kMinToken)
        throw CLI::ValidationError("--token-file",
                                   path + ": a token of " + std::to_string(token.size()) +
                                       " characters is too easily guessed (at least " +
                                       std::to_string(serve::kMinToken) + ")");
    return token;
}

// The listening socket systemd handed over (socket activation), or -1.
int inheritedSocket() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    if (pid == nullptr || fds == nullptr || std::atol(pid) != static_cast<long>(::getpid()) ||
        std::atoi(fds) < 1)
        return -1;
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    return 3;
}

int runServe(const ServeOptions& o) {
    using namespace vantrel::serve;
    DaemonOptions d;
    d.socketPath = socketOf(o.socket);
    d.inheritedSocket = inheritedSocket();
    d.listen = o.listen;
    d.allowRemote = o.allowRemote;
    d.maxClients = o.maxClients;
    if (o.replyWindow) d.replyWindow = std::chrono::milliseconds(*o.replyWindow);
    if (!o.listen.empty()) {
        if (o.tokenFile.empty())
            throw CLI::ValidationError("--listen", "TCP clients need a token: give --token-file");
        d.token = readTokenFile(o.tokenFile);
    }
    std::optional<acquire::LogConfig> recording;
    if (!o.config.empty()) {
        if (!o.device.empty() || o.port || o.baud || !o.name.empty())
            throw CLI::ValidationError("--config",
                                       "--device, --port, --baud and --name exclude --config: "
                                       "the file names the boards");
        try {
            const ServedRun run = servedRun(acquire::loadConfig(o.config), d.socketPath);
            publish::checkPublish(run.recorder.publish);
            d.boards = run.boards;
            recording = run.recorder;
        } catch (const acquire::ConfigError& e) {
            printError(std::string("vantrel: serve: ") + e.what());
            return kExitUsage;
        }
    } else {
        if (o.device.empty() && !o.port)
            throw CLI::ValidationError("serve",
                                       "give --device DEV (or --port N), or --config FILE");
        BoardSetup b;
        b.device = o.port ? portMapDevices()(*o.port) : o.device;
        b.baud = o.baud.value_or(9600);
        b.name = !o.name.empty() ? o.name : o.port ? "COM" + std::to_string(*o.port) : "board";
        d.boards.push_back(b);
    }

    // The signals are taken over before any thread starts, so that every thread has them
    // blocked and they arrive here, through the descriptor.
    const ProcessSignals signals;

    DaemonThread daemon(d);
    std::string where = d.inheritedSocket >= 0 ? "the socket handed over" : d.socketPath;
    if (daemon.tcpPort() != 0) where += " and TCP port " + std::to_string(daemon.tcpPort());
    for (const BoardSetup& b : d.boards)
        printError("vantrel: serve: board " + b.name + " (" + b.device + " at " +
                   std::to_string(b.baud) + ") on " + where);

    // The run file's published outputs (its [publish] table) outlive the recorder's boards.
    std::optional<publish::Publishers> publishers;
    std::optional<acquire::Recorder> recorder;
    if (recording) {
        const auto say = [](const std::string& text) {
            printError("vantrel: serve: log: " + text);
        };
        try {
            publishers.emplace(*recording, say);
            recorder.emplace(*recording, say, publishers->taps());
        } catch (const std::runtime_error& e) {
            printError(std::string("vantrel: serve: log: ") + e.what());
            return kExitFailedCall;
        }
        publishers->setBoards([&recorder] { return recorder->boards(); });
        publishers->setCursors([&recorder](const std::string& output, uint64_t seq) {
            recorder->saveCursor(output, seq);
        });
        printError("vantrel: serve: recording to " + recording->out);
    }
    const acquire::ServiceNotifier notifier;
    notifier.send("READY=1\nSTATUS=serving");

    int signalled = 0;
    bool summarised = false;
    // The recording's status file, as `vantrel log` keeps it (`vantrel log status` reads it).
    bool statusComplained = false;
    const auto writeStatus = [&] {
        try {
            replaceFile(recording->statusPath(), recorder->statusJson(), err::FormFile);
            statusComplained = false;
        } catch (const std::exception& e) {
            if (!statusComplained)
                printError(std::string("vantrel: serve: log: status file: ") + e.what());
            statusComplained = true;
        }
    };
    const auto summary = [&] {
        if (!recorder || summarised) return;
        summarised = true;
        // The outputs store their last cursors while the file is still open.
        recorder->stopBoards();
        publishers->stop();
        recorder->stop();
        writeStatus();
        for (const acquire::BoardStatus& b : recorder->boards())
            printError("vantrel: serve: log: " + b.name + ": " +
                       plural(b.readings, "reading", "readings") + ", " +
                       plural(b.errors, "error", "errors") + ", " +
                       plural(b.overruns, "overrun", "overruns") + ", " +
                       plural(b.gaps, "gap", "gaps"));
        for (const auto& p : publishers->outputs())
            printError("vantrel: serve: log: " + std::string(p->kind()) + ": " +
                       plural(p->sent(), "reading", "readings") + " published" +
                       (p->dropped() > 0 ? ", " + std::to_string(p->dropped()) + " dropped" : ""));
        printError(
            "vantrel: serve: log: " + plural(recorder->output().written, "record", "records") +
            " written to " + recording->out);
    };
    auto nextWatchdog = Clock::now();
    auto nextStatus = Clock::now();
    while (signalled == 0) {
        int wait = 1000;
        if (recorder && !summarised) {
            if (recorder->finished()) {
                summary();
            } else {
                wait = 50;  // the run's end is looked at often, a signal wakes at once
                if (Clock::now() >= nextStatus) {
                    writeStatus();
                    nextStatus = Clock::now() + std::chrono::seconds(5);
                }
            }
        }
        if (notifier.watchdogEvery()) {
            const auto now = Clock::now();
            if (now >= nextWatchdog) {
                notifier.send("WATCHDOG=1");
                nextWatchdog = now + *notifier.watchdogEvery();
            }
        }
        pollfd p{signals.fd(), POLLIN, 0};
        if (::poll(&p, 1, wait) < 0 && errno != EINTR)
            throw Error(err::EventLoopFailed, sysMessage("poll", "", errno));
        signalfd_siginfo info;
        while (::read(signals.fd(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo == SIGHUP) {
                if (recorder) recorder->reopen();
            } else if (signalled == 0) {
                signalled = static_cast<int>(info.ssi_signo);
            }
        }
    }
    notifier.send("STOPPING=1");
    printError("vantrel: serve: stopping");
    summary();
    daemon.stop();
    return 128 + signalled;
}

int runStatus(const StatusOptions& o) {
    const std::string path = socketOf(o.socket);
    std::string text;
    try {
        text = serve::askStatus(path);
    } catch (const Error& e) {
        printError(std::string("vantrel: serve status: ") + e.what());
        return kExitFalse;
    }
    // What a daemon answers is checked as any input is: a status that is not the object this
    // version reads is said so, in our words.
    nlohmann::json j;
    std::vector<std::string> lines;
    try {
        j = nlohmann::json::parse(text);
        lines.push_back("serve on " + path +
                        (j["listen"].is_string() ? " and " + j["listen"].get<std::string>() : "") +
                        ": " +
                        plural(j["transactions"].get<uint64_t>(), "transaction", "transactions"));
        for (const auto& b : j["boards"])
            lines.push_back(
                "board " + b["name"].get<std::string>() + " (" + b["device"].get<std::string>() +
                " at " + std::to_string(b["baud"].get<int>()) +
                "): " + (b["open"].get<bool>() ? "open" : "closed") + ", " +
                plural(b["clients"].get<std::size_t>(), "client", "clients") + ", " +
                std::to_string(b["queued"].get<std::size_t>()) + " queued, " +
                plural(b["transactions"].get<uint64_t>(), "transaction", "transactions") + ", " +
                std::to_string(b["failures"].get<uint64_t>()) + " failed" +
                (b["last_error"].get<std::string>().empty()
                     ? ""
                     : "; last error: " + b["last_error"].get<std::string>()));
        for (const auto& c : j["clients"])
            lines.push_back(
                "client " + std::to_string(c["id"].get<uint64_t>()) + " (" +
                c["peer"].get<std::string>() + ") on " +
                (c["board"].is_string() ? c["board"].get<std::string>() : "-") + ": " +
                plural(c["commands"].get<uint64_t>(), "command", "commands") + ", connected " +
                readableNumber(std::round(c["seconds"].get<double>() * 10) / 10) + " s");
    } catch (const nlohmann::json::exception&) {
        printError("vantrel: serve status: " + path +
                   ": the daemon's answer is not a status this version reads (is it a vantrel "
                   "serve of the same version?)");
        return kExitFalse;
    }
    if (o.json)
        printJson(j);
    else
        for (const std::string& line : lines) printLine(line);
    return kExitTrue;
}

}  // namespace

Subcommand addServe(CLI::App& app) {
    auto o = std::make_shared<ServeOptions>();
    auto s = std::make_shared<StatusOptions>();
    CLI::App* sub = app.add_subcommand(
        "serve",
        "Own one or more boards and run their command lines for every program that uses them "
        "(unix://SOCKET#BOARD, vantrel://HOST:PORT#BOARD; see docs/serve.md), one at a time per "
        "board; with --config also record them as log does; until SIGINT/SIGTERM");
    sub->require_subcommand(0, 1);
    sub->add_option("--config", o->config, "the boards (and the recording) of a log file")
        ->type_name("FILE");
    sub->add_option("--device", o->device, "the board's device: a path or a URL")->type_name("DEV");
    sub->add_option("--port", o->port, "the board's COM number (through the ports file)")
        ->type_name("N")
        ->check(CLI::Range(1, 255));
    sub->add_option("--baud", o->baud, "the line's rate (default 9600)")->type_name("B");
    sub->add_option("--name", o->name, "the board's name for clients (default board, or COMn)")
        ->type_name("NAME");
    sub->add_option("--socket", o->socket,
                    "the Unix socket (default $XDG_RUNTIME_DIR/vantrel/serve.sock, else "
                    "/run/vantrel/serve.sock)")
        ->type_name("PATH");
    sub->add_option("--listen", o->listen, "also listen on TCP (needs --token-file)")
        ->type_name("HOST:PORT");
    sub->add_flag("--allow-remote", o->allowRemote,
                  "let --listen take an address other than a loopback one");
    sub->add_option("--token-file", o->tokenFile, "the token TCP clients must give (first line)")
        ->type_name("FILE");
    sub->add_option("--max-clients", o->maxClients, "connections served at once (default 64)")
        ->type_name("N")
        ->check(CLI::Range(1, 4096));
    sub->add_option("--reply-window", o->replyWindow,
                    "milliseconds the board has for a reply (default: twice a control's)")
        ->type_name("MS")
        ->check(CLI::Range(1, 600000));
    CLI::App* status = sub->add_subcommand("status", "List the daemon's boards and clients");
    status->add_option("--socket", s->socket, "the daemon's Unix socket")->type_name("PATH");
    status->add_flag("--json", s->json, "the status as one JSON object");
    return {sub, [o, s, status] {
                if (status->parsed()) return runStatus(*s);
                return runServe(*o);
            }};
}

}  // namespace vantrel::cli
