// vantrel doctor: what stands between this user and the board, each finding with its fix:
// the device's owner and group against the user's, programs holding a port (ModemManager and
// brltty above all), the FTDI latency timer, stable by-id names, the ports file, the kernel
// console. Reads the machine through $VANTREL_SYSROOT like the port map, so that a fake tree
// can stand for it; opens no device. Given a run (--config, or --device/--port), it looks at
// that run's boards instead, and there it does open each device, to hear whether the board
// answers at the run's rate, and tries the outputs' servers and files.
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "commands.hpp"
#include "device_access.hpp"
#include "endpoint.hpp"
#include "fd.hpp"
#include "log_config.hpp"
#include "options.hpp"
#include "output.hpp"
#include "publishers.hpp"
#include "session.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel::cli {

namespace {

namespace fs = std::filesystem;

struct DoctorOptions {
    bool json = false;
    std::string config;
    std::string device;
    std::optional<int32_t> port;
    std::optional<int32_t> baud;
    std::string user;  // the account whose permissions count; the one running doctor if empty
};

enum class Status { Ok, Note, Problem };

struct Finding {
    Status status;
    std::string topic;  // the device, or what was looked at ("ports file", "services")
    std::string text;
    std::string fix;  // empty when nothing needs doing
};

const char* statusName(Status s) {
    switch (s) {
        case Status::Ok:
            return "ok";
        case Status::Note:
            return "note";
        case Status::Problem:
            break;
    }
    return "problem";
}

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// A running process: its id and its command name.
struct Process {
    std::string pid;
    std::string name;
};

// The programs known to take serial ports that are not theirs, and what to do about each.
struct KnownService {
    const char* name;
    const char* does;
    const char* fix;
};
constexpr KnownService kServices[] = {
    {"ModemManager",
     "probes every new serial port with modem commands for some seconds after it appears, and "
     "holds it meanwhile",
     "sudo systemctl disable --now ModemManager (or, to keep it for a modem, a udev rule "
     "ENV{ID_MM_DEVICE_IGNORE}=\"1\" for the adapter)"},
    {"brltty",
     "claims USB serial adapters whose ids braille displays also use (CH340/CH341, CP210x and "
     "others) and takes their ports away",
     "sudo apt-get remove brltty (or sudo systemctl mask brltty-udev.service)"},
};

const KnownService* knownService(const std::string& name) {
    for (const KnownService& s : kServices)
        if (name == s.name) return &s;
    return nullptr;
}

// The default link of `vantrel-sim --assign N` ("vantrel-sim-COM3"), or a link to a
// pseudo-terminal that has gone: what a simulator leaves in the ports file, not a lost adapter.
bool simulatorLeftover(const std::string& device) {
    if (fs::path(device).filename().string().starts_with("vantrel-sim-")) return true;
    std::error_code ec;
    if (!fs::is_symlink(device, ec)) return false;
    return fs::read_symlink(device, ec).string().starts_with("/dev/pts/");
}

// Why a TCP connection to `at` cannot be made within a few seconds; empty when it can.
using AddressList = std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)>;

// The stream addresses of `at` (with AI_PASSIVE among `flags`, to listen on); null with the
// reason in `why` when the name does not resolve.
AddressList resolve(const publish::Endpoint& at, int flags, std::string& why) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* found = nullptr;
    if (const int rc =
            ::getaddrinfo(at.host.c_str(), std::to_string(at.port).c_str(), &hints, &found);
        rc != 0) {
        why = "cannot resolve " + at.host + ": " + ::gai_strerror(rc);
        return AddressList(nullptr, ::freeaddrinfo);
    }
    return AddressList(found, ::freeaddrinfo);
}

std::string connectProblem(const publish::Endpoint& at) {
    const std::string where = at.host + ":" + std::to_string(at.port);
    std::string why;
    const AddressList list = resolve(at, 0, why);
    for (const addrinfo* a = list.get(); a; a = a->ai_next) {
        Fd fd(
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) {
            why = sysMessage("socket", where, errno);
            continue;
        }
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0) return {};
        if (errno != EINPROGRESS) {
            why = sysMessage("connect", where, errno);
            continue;
        }
        pollfd p{fd.get(), POLLOUT, 0};
        if (::poll(&p, 1, 3000) <= 0) {
            why = "connect " + where + ": no answer within 3 s";
            continue;
        }
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) return {};
        why = sysMessage("connect", where, error);
    }
    return why;
}

// Why nothing could listen on `at` now (taken, or not an address of this machine); empty when
// it could.
std::string bindProblem(const publish::Endpoint& at) {
    const std::string where = at.host + ":" + std::to_string(at.port);
    std::string why;
    const AddressList list = resolve(at, AI_PASSIVE, why);
    if (!list) return why;
    const addrinfo* found = list.get();
    Fd fd(::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol));
    if (!fd) return sysMessage("socket", where, errno);
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), found->ai_addr, found->ai_addrlen) != 0)
        return sysMessage("bind", where, errno);
    return {};
}

class Doctor {
  public:
    explicit Doctor(const std::string& user)
        : root_(systemRoot()),
          paths_(SystemPaths::fromEnvironment()),
          who_(Identity::of(root_)),
          other_(!user.empty()) {
        if (!user.empty()) {
            const std::optional<Identity> named = Identity::named(root_, user);
            if (!named) throw CLI::ValidationError("--user", "no account called " + user);
            who_ = *named;
        }
    }

    // The boards of a run, and with `outputs` its files and servers.
    std::vector<Finding> run(const acquire::LogConfig& run, bool outputs) {
        scanProcesses();
        services();
        if (who_.uid == 0 && !other_)
            add(Status::Note, "user",
                "you are root, whom no device or file refuses: the account that will run the "
                "recording may be refused",
                "vantrel doctor --user NAME checks as that account");
        for (const acquire::BoardConfig& b : run.boards) board(b);
        if (outputs) {
            file("output", run.out);
            file("status file", run.statusPath());
            const acquire::PublishConfig& p = run.publish;
            if (!p.mqtt.empty()) server("mqtt", "broker", publish::parseMqtt(p.mqtt).broker);
            if (!p.influx.empty())
                server("influx", "server", publish::parseInflux(p.influx).server);
            if (!p.http.empty()) listener("http", p.http);
            if (!p.metrics.empty()) listener("metrics", p.metrics);
        }
        portsFile();
        unreadableNote();
        return std::move(findings_);
    }

    std::vector<Finding> run() {
        scanProcesses();
        services();
        const std::vector<SerialAdapter> adapters = listSerialAdapters(paths_);
        bool any = false;
        for (const SerialAdapter& a : adapters) {
            if (a.console) continue;
            any = true;
            device(a);
        }
        if (!any)
            add(Status::Note, "devices", "no serial device found besides the kernel console",
                "plug the adapter in; sudo dmesg | tail shows whether the kernel saw it and "
                "which driver took it");
        console();
        portsFile();
        unreadableNote();
        return std::move(findings_);
    }

  private:
    void unreadableNote() {
        if (unreadable_ > 0)
            add(Status::Note, "processes",
                "the open files of " + plural(unreadable_, "process", "processes") +
                    " of other users could not be looked at",
                "sudo vantrel doctor looks at every process");
    }

    // "you (alice)", or the account given with --user.
    std::string whoText() const { return other_ ? who_.user : "you (" + who_.user + ")"; }

    // The processes holding `device` open.
    std::vector<Process> holdersOf(const std::string& device) const {
        std::error_code ec;
        const fs::path node = fs::canonical(device, ec);
        if (ec) return {};
        const auto h = holders_.find(node.string());
        return h == holders_.end() ? std::vector<Process>{} : h->second;
    }

    void board(const acquire::BoardConfig& b) {
        const std::string topic = b.name.empty() ? "board" : "board " + b.name;
        std::string device = b.device;
        std::string where = device;
        if (b.port) {
            const std::string com = "COM" + std::to_string(*b.port);
            try {
                const PortMap::Entry e = PortMap::instance().entry(*b.port);
                if (e.device.empty()) {
                    add(Status::Problem, topic, com + " has no device: " + e.note,
                        "vantrel ports --assign " + std::to_string(*b.port) + "=DEVICE");
                    return;
                }
                device = e.device;
            } catch (const Error& e) {
                add(Status::Problem, topic, com + ": " + e.what(),
                    "vantrel doctor (without a run) looks at the ports file");
                return;
            }
            where = com + " (" + device + ")";
        }
        if (!isDeviceUrl(device)) {
            std::error_code ec;
            if (!fs::exists(device, ec)) {
                if (simulatorLeftover(device))
                    add(Status::Problem, topic,
                        where +
                            ": no such device: a simulator's link, and that simulator has "
                            "ended",
                        "start the simulator again (vantrel-sim --assign N, or --link PATH)");
                else
                    add(Status::Problem, topic, where + ": no such device (unplugged, or renamed)",
                        "plug it in; vantrel ports lists the serial devices present by their "
                        "stable names");
                return;
            }
            const AccessVerdict v = accessVerdict(root_, device, who_, !other_);
            if (!v.why.empty()) {
                add(Status::Problem, topic,
                    where + ": Permission denied for " + whoText() + ": " + v.why, v.fix);
                // Opening it here would be refused the same way: nothing more to learn.
                if (!other_) return;
            } else {
                add(Status::Ok, topic,
                    where + ": " + whoText() + " may open it" + ownerNote(device));
            }
            // These disturb the line without locking it; any other holder shows when the open
            // fails (a simulator holds its own side of the pseudo-terminal all along).
            bool disturbed = false;
            for (const Process& p : holdersOf(device))
                if (const KnownService* s = knownService(p.name)) {
                    add(Status::Problem, topic,
                        where + ": held open by " + p.name + " (pid " + p.pid + "): it " + s->does,
                        s->fix);
                    disturbed = true;
                }
            if (disturbed) return;
        }
        answers(b, device, topic, where);
    }

    // Opens the board as the run would and sends the probe that find sends.
    void answers(const acquire::BoardConfig& b, const std::string& device, const std::string& topic,
                 const std::string& where) {
        const std::string rate = std::to_string(b.baud) + " baud";
        try {
            ControlOptions o;
            if (b.port)
                o.port = *b.port;
            else
                o.device = device;
            o.baud = b.baud;
            Session session(o);
            VantrelCtrl& ctrl = session.ctrl();
            if (!ctrl.OpenPort()) {
                std::string held;
                for (const Process& p : holdersOf(device))
                    held += (held.empty() ? " (held open by " : ", ") + p.name + ", pid " + p.pid;
                add(Status::Problem, topic,
                    where + " does not open: " +
                        (b.port ? portProblem(*b.port, ctrl.comm())
                                : deviceProblem(device, ctrl.comm())) +
                        (held.empty() ? "" : held + ")"),
                    held.empty() ? "vantrel doctor without a run looks at the machine's side of it"
                                 : "a recorder or vantrel serve that has the board: stop it, or "
                                   "reach the board through vantrel serve (docs/serve.md)");
                return;
            }
            std::string probe = "PRA";
            const bool ok = ctrl.Command(probe);
            const int32_t value = ctrl.Value();
            const std::string why = ctrl.ErrorString();
            ctrl.ClosePort();
            if (ok)
                add(Status::Ok, topic,
                    "answers at " + rate + " (PRA: OK " + std::to_string(value) + ")");
            else
                add(Status::Problem, topic, "does not answer at " + rate + ": " + why,
                    "the board's rate may be another (vantrel find --baud auto" +
                        (b.port ? " --port " + std::to_string(*b.port) : " --device " + device) +
                        " finds it); else the cable, and the board's power");
        } catch (const std::exception& e) {
            add(Status::Problem, topic, where + " at " + rate + ": " + e.what());
        }
    }

    // A file the run writes (relative paths from the folder the run starts in).
    void file(const std::string& topic, const std::string& path) {
        const AccessVerdict v = writeVerdict(root_, path, who_);
        std::error_code ec;
        const bool exists = fs::exists(path, ec);
        if (v.why.empty())
            add(Status::Ok, topic,
                path + ": " + whoText() + " may " + (exists ? "write it" : "create it"));
        else
            add(Status::Problem, topic, path + ": " + v.why, v.fix);
    }

    void server(const std::string& topic, const char* what, const publish::Endpoint& at) {
        const std::string where = at.host + ":" + std::to_string(at.port);
        const std::string why = connectProblem(at);
        if (why.empty())
            add(Status::Ok, topic,
                std::string("the ") + what + " at " + where + " takes connections");
        else
            add(Status::Problem, topic,
                std::string("the ") + what + " at " + where + " cannot be reached: " + why,
                std::string("start the ") + what + ", or correct " + topic + " in [publish]");
    }

    void listener(const std::string& topic, const std::string& address) {
        const publish::Endpoint at = publish::parseListen(address);
        const std::string where = at.host + ":" + std::to_string(at.port);
        const std::string why = bindProblem(at);
        if (why.empty())
            add(Status::Ok, topic, where + " is free to listen on");
        else
            add(Status::Problem, topic, why,
                "another program listens there (this run already going, or a recorder of "
                "another): stop it, or choose another port");
    }

    void add(Status s, std::string topic, std::string text, std::string fix = {}) {
        findings_.push_back({s, std::move(topic), std::move(text), std::move(fix)});
    }

    // Every process and the devices it holds open.
    void scanProcesses() {
        std::error_code ec;
        for (fs::directory_iterator it(root_ + "/proc", ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::string pid = it->path().filename().string();
            if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
            if (root_.empty() && pid == std::to_string(::getpid())) continue;
            const Process p{pid, firstLine(it->path() / "comm")};
            processes_.push_back(p);
            std::error_code fdEc;
            fs::directory_iterator fds(it->path() / "fd", fdEc);
            if (fdEc) {
                if (fdEc == std::errc::permission_denied) ++unreadable_;
                continue;
            }
            for (fs::directory_iterator end2; !fdEc && fds != end2; fds.increment(fdEc)) {
                std::error_code noTarget;
                const fs::path target = fs::canonical(fds->path(), noTarget);
                if (!noTarget) holders_[target.string()].push_back(p);
            }
        }
    }

    void services() {
        for (const KnownService& s : kServices) {
            const auto running = std::find_if(processes_.begin(), processes_.end(),
                                              [&](const Process& p) { return p.name == s.name; });
            if (running != processes_.end())
                add(Status::Note, "services",
                    std::string(s.name) + " is running (pid " + running->pid + "): it " + s.does,
                    s.fix);
        }
    }

    void device(const SerialAdapter& a) {
        std::string what = a.manufacturer;
        if (!a.product.empty()) what += (what.empty() ? "" : " ") + a.product;
        if (!a.vendorId.empty())
            what += (what.empty() ? "" : ", ") + a.vendorId + ":" + a.productId;
        if (!a.driver.empty())
            what += (what.empty() ? "" : ", ") + std::string("driver ") + a.driver;
        add(Status::Ok, a.device, what.empty() ? "present" : "present (" + what + ")");

        const AccessVerdict v = accessVerdict(root_, a.device, who_);
        if (v.why.empty())
            add(Status::Ok, a.device, "you (" + who_.user + ") may open it" + ownerNote(a.device));
        else
            add(Status::Problem, a.device, "Permission denied for you: " + v.why, v.fix);

        std::error_code ec;
        const fs::path node = fs::canonical(a.device, ec);
        if (!ec)
            if (const auto h = holders_.find(node.string()); h != holders_.end())
                for (const Process& p : h->second) {
                    const KnownService* s = knownService(p.name);
                    add(Status::Problem, a.device,
                        "held open by " + p.name + " (pid " + p.pid + ")" +
                            (s ? std::string(": it ") + s->does : std::string()),
                        s ? s->fix : "end that program, or use another port");
                }

        latency(a);
        if (!a.vendorId.empty()) {
            if (a.byId.empty())
                add(Status::Note, a.device,
                    "no /dev/serial/by-id name: the ttyUSB number may change when it is plugged "
                    "in again");
            else
                add(Status::Ok, a.device, "stable name " + a.byId);
        }
        try {
            const int port = PortMap::instance().portOf(a);
            if (port > 0)
                add(Status::Ok, a.device, "opens as COM" + std::to_string(port));
            else
                add(Status::Note, a.device,
                    "no COM number reaches it (find gives it a free one "
                    "for its scan)",
                    "vantrel ports --assign N=" + (a.byId.empty() ? a.device : a.byId));
        } catch (const Error&) {
            // The ports file's own finding says what is wrong with it.
        }
    }

    std::string ownerNote(const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return {};
        return " (" + ownerText(root_, st.st_uid, st.st_gid, st.st_mode) + ")";
    }

    // An FTDI adapter holds received bytes back for its latency timer (16 ms by default) unless
    // the driver is asked for low latency, which vantrel does on every port it opens.
    void latency(const SerialAdapter& a) {
        const std::string name = fs::path(a.device).filename().string();
        const fs::path file =
            fs::path(paths_.sys) / "class" / "tty" / name / "device" / "latency_timer";
        std::error_code ec;
        if (!fs::exists(file, ec)) return;
        const std::string text = firstLine(file);
        const int ms = std::atoi(text.c_str());
        if (ms <= 1) {
            add(Status::Ok, a.device, "latency timer " + text + " ms");
            return;
        }
        add(Status::Note, a.device,
            "latency timer " + text +
                " ms: each reply can wait that long in the adapter; vantrel "
                "asks the driver for low latency (1 ms) while it has the port open, other programs "
                "may not",
            "for every program: echo 1 | sudo tee " +
                (root_.empty() ? file.string() : file.string().substr(root_.size())) +
                ", or a udev rule ATTR{latency_timer}=\"1\"");
    }

    void console() {
        const std::vector<std::string> consoles = kernelConsoles(paths_);
        if (consoles.empty()) {
            add(Status::Ok, "console", "the kernel writes its console to no serial port");
            return;
        }
        for (const std::string& c : consoles)
            add(Status::Ok, "console",
                c + " is the kernel console: its COM number opens nothing, so that no command "
                    "reaches the console by accident");
    }

    void portsFile() {
        const std::string file = locatePortsFile(paths_);
        std::error_code ec;
        if (file.empty() || !fs::exists(file, ec)) {
            add(Status::Ok, "ports file",
                "none" + (file.empty() ? std::string() : " at " + file) +
                    ": COM n is /dev/ttyS<n-1>, and find numbers USB adapters for its scan",
                {});
            return;
        }
        std::map<int, std::string> ports;
        try {
            ports = loadPortsFile(file);
        } catch (const Error& e) {
            add(Status::Problem, "ports file", e.what(),
                "correct it, or remove it and assign again: vantrel ports --assign N=DEVICE");
            return;
        }
        add(Status::Ok, "ports file",
            file + ": " + std::to_string(ports.size()) + " COM number" +
                (ports.size() == 1 ? "" : "s"));
        for (const auto& [port, device] : ports) {
            const std::string com = "COM" + std::to_string(port);
            if (isDeviceUrl(device)) continue;
            if (!fs::exists(device, ec) && simulatorLeftover(device))
                add(Status::Note, "ports file",
                    com + " = " + device + ": a simulator's link, gone with the simulator; " + com +
                        " opens nothing until one serves it again",
                    "vantrel ports --forget " + std::to_string(port) +
                        " when no simulator is to have it");
            else if (!fs::exists(device, ec))
                add(Status::Problem, "ports file",
                    com + " = " + device + ": no such device (unplugged, or renamed)",
                    "plug it in, or vantrel ports --forget " + std::to_string(port));
            else if (device.find("/serial/by-id/") == std::string::npos &&
                     device.find("/ttyUSB") != std::string::npos)
                add(Status::Note, "ports file",
                    com + " = " + device +
                        ": a ttyUSB number may go to another adapter after a "
                        "re-plug",
                    "vantrel ports --assign " + std::to_string(port) + "=" +
                        stablePath(device, paths_));
        }
    }

    std::string root_;
    SystemPaths paths_;
    Identity who_;
    bool other_;  // who_ is an account given with --user, not this process
    std::vector<Process> processes_;
    std::map<std::string, std::vector<Process>> holders_;
    int unreadable_ = 0;
    std::vector<Finding> findings_;
};

// The run that --config or --device/--port names.
acquire::LogConfig runOf(const DoctorOptions& o) {
    acquire::LogConfig c;
    if (!o.config.empty()) {
        if (!o.device.empty() || o.port || o.baud)
            throw CLI::ValidationError("--config",
                                       "--device, --port and --baud exclude --config: the file "
                                       "names the boards");
        c = acquire::loadConfig(o.config);
        publish::checkPublish(c.publish);
        return c;
    }
    acquire::BoardConfig b;
    b.device = o.device;
    b.port = o.port;
    b.baud = o.baud.value_or(9600);
    c.boards.push_back(std::move(b));  // without a name: the findings name its device
    return c;
}

int runDoctor(const DoctorOptions& o) {
    const bool givenRun = !o.config.empty() || !o.device.empty() || o.port;
    if (o.baud && !givenRun) throw CLI::ValidationError("--baud", "needs --device or --port");
    std::vector<Finding> findings;
    if (givenRun) {
        acquire::LogConfig run;
        try {
            run = runOf(o);
        } catch (const acquire::ConfigError& e) {
            printError(std::string("vantrel: doctor: ") + e.what());
            return kExitUsage;
        }
        // A board given by its options has no output of its own to look at.
        findings = Doctor(o.user).run(run, !o.config.empty());
    } else {
        findings = Doctor(o.user).run();
    }
    const auto problems = std::count_if(findings.begin(), findings.end(), [](const Finding& f) {
        return f.status == Status::Problem;
    });
    if (o.json) {
        Json list = Json::array();
        for (const Finding& f : findings)
            list.push_back({{"status", statusName(f.status)},
                            {"topic", f.topic},
                            {"text", f.text},
                            {"fix", f.fix.empty() ? Json(nullptr) : Json(f.fix)}});
        printJson({{"problems", problems}, {"findings", std::move(list)}});
    } else {
        for (const Finding& f : findings) {
            std::string line = statusName(f.status);
            line.resize(9, ' ');
            printLine(line + f.topic + ": " + f.text);
            if (!f.fix.empty()) printLine("         fix: " + f.fix);
        }
        printLine(problems == 0 ? "No problems found."
                                : std::to_string(problems) + " problem" +
                                      (problems == 1 ? "" : "s") + " found.");
    }
    return problems == 0 ? kExitTrue : kExitFalse;
}

}  // namespace

Subcommand addDoctor(CLI::App& app) {
    auto o = std::make_shared<DoctorOptions>();
    CLI::App* sub = app.add_subcommand(
        "doctor",
        "Check what stands between you and the board, each finding with its fix: your groups "
        "against the device's, ModemManager or brltty holding a port, the FTDI latency timer, "
        "by-id names, the ports file, the kernel console; with a run (--config, --device or "
        "--port), that each board opens and answers at its rate and its outputs can be written "
        "and reached (exit status 1 when a problem is found)");
    sub->add_flag("--json", o->json, "one JSON object instead of text");
    sub->add_option("--config", o->config,
                    "a recorder's run file (vantrel log --config): check its boards and outputs")
        ->type_name("FILE");
    sub->add_option("--device", o->device, "check this board: a path, by-id link or URL")
        ->type_name("DEV");
    sub->add_option("--port", o->port, "check the board on COM N, through the ports file")
        ->type_name("N")
        ->excludes("--device")
        ->check(CLI::Range(1, 255));
    sub->add_option("--baud", o->baud, "the rate the board should answer at, 9600 unless given")
        ->type_name("B");
    sub->add_option("--user", o->user,
                    "whose permissions count: the account that will run the recording (you "
                    "unless given)")
        ->type_name("NAME");
    return {sub, [o] { return runDoctor(*o); }};
}

}  // namespace vantrel::cli
