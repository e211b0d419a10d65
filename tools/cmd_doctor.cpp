// vantrel doctor: what stands between this user and the board, each finding with its fix:
// the device's owner and group against the user's, programs holding a port (ModemManager and
// brltty above all), the FTDI latency timer, stable by-id names, the ports file, the kernel
// console. Reads the machine through $VANTREL_SYSROOT like the port map, so that a fake tree
// can stand for it; opens no device.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "commands.hpp"
#include "device_access.hpp"
#include "output.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel::cli {

namespace {

namespace fs = std::filesystem;

struct DoctorOptions {
    bool json = false;
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

class Doctor {
  public:
    Doctor()
        : root_(systemRoot()), paths_(SystemPaths::fromEnvironment()), who_(Identity::of(root_)) {}

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
        if (unreadable_ > 0)
            add(Status::Note, "processes",
                "the open files of " + plural(unreadable_, "process", "processes") +
                    " of other users could not be looked at",
                "sudo vantrel doctor looks at every process");
        return std::move(findings_);
    }

  private:
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
            if (!fs::exists(device, ec))
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
    std::vector<Process> processes_;
    std::map<std::string, std::vector<Process>> holders_;
    int unreadable_ = 0;
    std::vector<Finding> findings_;
};

int runDoctor(const DoctorOptions& o) {
    const std::vector<Finding> findings = Doctor().run();
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
        "by-id names, the ports file, the kernel console (exit status 1 when a problem is found)");
    sub->add_flag("--json", o->json, "one JSON object instead of text");
    return {sub, [o] { return runDoctor(*o); }};
}

}  // namespace vantrel::cli
