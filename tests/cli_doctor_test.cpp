// vantrel doctor on fake machines (sysfs, /dev, /proc and the account files below
// $VANTREL_SYSROOT), and the tool's hint when the kernel refuses to open a device.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "fd.hpp"
#include "sim/sim_thread.hpp"
#include "test_support.hpp"

using nlohmann::json;
using vantrel::testing::ScopedEnv;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
};

std::string quoted(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a command line; standard error joins standard output.
Outcome run(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& w : words) line += quoted(w) + " ";
    line += "2>&1 </dev/null";
    Outcome o;
    FILE* p = ::popen(line.c_str(), "r");
    if (!p) return o;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) o.out.append(buf, n);
    const int status = ::pclose(p);
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return o;
}

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// A pseudo-terminal standing for an adapter's device node (a test makes no device nodes).
struct Pty {
    Pty() : master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (!master || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0)
            throw std::runtime_error("posix_openpt failed");
        path = ::ptsname(master.get());
    }
    vantrel::Fd master;
    std::string path;
};

// A machine with one FTDI adapter, ttyUSB0, whose node belongs to root:dialout (mode 0660),
// and a user alice (uid 1000).
struct Machine {
    struct Setup {
        std::string groups = "1000";     // the login's groups (/proc/self/status)
        std::string dialoutMembers;      // /etc/group's list
        std::string latency = "16";      // the adapter's latency timer
        bool modemManagerHolds = false;  // ModemManager runs and holds ttyUSB0 open
        bool byId = true;
        std::string portsFile;  // its text, none when empty
    };

    explicit Machine(const std::function<void(Setup&)>& tweak) {
        Setup s;
        tweak(s);
        char tmpl[] = "/tmp/vantrel-doctor-XXXXXX";
        if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        root = tmpl;
        const fs::path usb = root / "sys/devices/pci0/usb1/1-1";
        const fs::path port = usb / "1-1:1.0/ttyUSB0";
        fs::create_directories(port / "tty/ttyUSB0");
        fs::create_directories(root / "sys/bus/drivers/ftdi_sio");
        fs::create_directories(root / "sys/class/tty");
        fs::create_directories(root / "dev/serial/by-id");
        fs::create_symlink("../../../../../../bus/drivers/ftdi_sio", port / "driver");
        fs::create_symlink("../../../ttyUSB0", port / "tty/ttyUSB0/device");
        fs::create_symlink("../../devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0",
                           root / "sys/class/tty/ttyUSB0");
        write(usb / "idVendor", "0403\n");
        write(usb / "idProduct", "6001\n");
        write(usb / "manufacturer", "FTDI\n");
        write(usb / "product", "FT232R USB UART\n");
        write(port / "latency_timer", s.latency + "\n");
        device = (root / "dev/ttyUSB0").string();
        fs::create_symlink(pty.path, device);
        if (::chown(pty.path.c_str(), 0, 20) != 0 || ::chmod(pty.path.c_str(), 0660) != 0)
            throw std::runtime_error("chown failed");
        if (s.byId) {
            byId = (root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0").string();
            fs::create_symlink("../../ttyUSB0", byId);
        }
        write(root / "proc/cmdline", "root=/dev/sda1 console=ttyS0,115200\n");
        write(root / "proc/self/status",
              "Name:\tvantrel\nUid:\t1000\t1000\t1000\t1000\nGid:\t1000\t1000\t1000\t1000\n"
              "Groups:\t" +
                  s.groups + "\n");
        write(root / "proc/1/comm", "systemd\n");
        fs::create_directories(root / "proc/1/fd");
        if (s.modemManagerHolds) {
            write(root / "proc/4242/comm", "ModemManager\n");
            fs::create_directories(root / "proc/4242/fd");
            fs::create_symlink(device, root / "proc/4242/fd/9");
        }
        write(root / "etc/passwd",
              "root:x:0:0:root:/root:/bin/bash\nalice:x:1000:1000::/home/alice:/bin/bash\n");
        write(root / "etc/group",
              "root:x:0:\ndialout:x:20:" + s.dialoutMembers + "\nalice:x:1000:\n");
        portsFile = (root / "ports.toml").string();
        if (!s.portsFile.empty()) write(portsFile, s.portsFile);
    }
    ~Machine() { fs::remove_all(root); }

    json doctor() {
        const ScopedEnv sysroot("VANTREL_SYSROOT", root.string());
        const ScopedEnv ports("VANTREL_PORTS", portsFile);
        const Outcome o = run({VANTREL_CLI, "doctor", "--json"});
        status = o.status;
        return json::parse(o.out);
    }

    // The findings about `topic` with this status.
    static std::vector<json> findings(const json& report, const std::string& status,
                                      const std::string& topic) {
        std::vector<json> out;
        for (const json& f : report["findings"])
            if (f["status"] == status && f["topic"] == topic) out.push_back(f);
        return out;
    }

    Pty pty;
    fs::path root;
    std::string device, byId, portsFile;
    int status = -1;
};

bool has(const std::vector<json>& findings, const std::string& text, const std::string& fix = {}) {
    for (const json& f : findings) {
        const std::string t = f["text"];
        const std::string x = f["fix"].is_null() ? "" : std::string(f["fix"]);
        if (t.find(text) != std::string::npos && x.find(fix) != std::string::npos) return true;
    }
    return false;
}

TEST(CliDoctor, WhetherTheUserMayOpenTheAdapter) {
    struct Case {
        const char* what;
        std::string groups, members;
        const char* status;
        const char* text;
        const char* fix;
    };
    const Case cases[] = {
        {"in dialout", "1000 20", "alice", "ok",
         "you (alice) may open it (root:dialout crw-rw----)", ""},
        {"not in dialout", "1000", "", "problem",
         "Permission denied for you: root:dialout crw-rw----: you (alice, uid 1000) are not in "
         "group dialout",
         "sudo usermod -aG dialout $USER, then log out and in again"},
        {"added, not logged in again", "1000", "bob,alice", "problem",
         "you (alice, uid 1000) joined group dialout after this login began",
         "log out and in again (or run newgrp dialout)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Machine m([&](Machine::Setup& s) {
            s.groups = c.groups;
            s.dialoutMembers = c.members;
            s.latency = "1";
        });
        const json report = m.doctor();
        EXPECT_TRUE(has(Machine::findings(report, c.status, m.device), c.text, c.fix))
            << report.dump(1);
        EXPECT_EQ(m.status, std::string(c.status) == "ok" ? 0 : 1);
        EXPECT_EQ(report["problems"], std::string(c.status) == "ok" ? 0 : 1);
    }
}

TEST(CliDoctor, ModemManagerLatencyByIdPortsFileAndConsole) {
    Machine m([](Machine::Setup& s) {
        s.groups = "1000 20";
        s.modemManagerHolds = true;
        s.byId = false;
        s.portsFile = "[ports]\nCOM2 = \"/nowhere/ttyUSB7\"\n";
    });
    const json report = m.doctor();
    EXPECT_EQ(m.status, 1);
    EXPECT_EQ(report["problems"], 2) << report.dump(1);
    const auto device = Machine::findings(report, "problem", m.device);
    EXPECT_TRUE(has(device, "held open by ModemManager (pid 4242): it probes every new serial port",
                    "sudo systemctl disable --now ModemManager"))
        << report.dump(1);
    EXPECT_TRUE(
        has(Machine::findings(report, "note", "services"), "ModemManager is running (pid 4242)"));
    const auto notes = Machine::findings(report, "note", m.device);
    EXPECT_TRUE(has(notes, "latency timer 16 ms",
                    "echo 1 | sudo tee /sys/class/tty/ttyUSB0/device/latency_timer"));
    EXPECT_TRUE(has(notes, "no /dev/serial/by-id name"));
    EXPECT_TRUE(has(notes, "no COM number reaches it", "vantrel ports --assign N=" + m.device));
    EXPECT_TRUE(has(Machine::findings(report, "problem", "ports file"),
                    "COM2 = /nowhere/ttyUSB7: no such device", "vantrel ports --forget 2"));
    EXPECT_TRUE(has(Machine::findings(report, "ok", "console"),
                    m.root.string() + "/dev/ttyS0 is the kernel console"));
}

TEST(CliDoctor, AHealthyMachineAndItsStoredAdapter) {
    Machine m([](Machine::Setup& s) {
        s.groups = "1000 20";
        s.latency = "1";
    });
    write(m.portsFile, "[ports]\nCOM3 = \"" + m.byId + "\"\n");
    const json report = m.doctor();
    EXPECT_EQ(m.status, 0) << report.dump(1);
    EXPECT_EQ(report["problems"], 0);
    const auto ok = Machine::findings(report, "ok", m.device);
    EXPECT_TRUE(has(ok, "present (FTDI FT232R USB UART, 0403:6001, driver ftdi_sio)"))
        << report.dump(1);
    EXPECT_TRUE(has(ok, "latency timer 1 ms"));
    EXPECT_TRUE(has(ok, "stable name " + m.byId));
    EXPECT_TRUE(has(ok, "opens as COM3"));
    // A ports file that is not TOML is a problem of its own.
    write(m.portsFile, "[ports\n");
    const json bad = m.doctor();
    EXPECT_EQ(m.status, 1);
    EXPECT_EQ(Machine::findings(bad, "problem", "ports file").size(), 1u) << bad.dump(1);
}

// The link of a simulator that has ended is what `vantrel-sim --assign` leaves behind, not a
// lost adapter: a note that says how to take it out. A device that is gone stays a problem.
TEST(CliDoctor, ALinkASimulatorLeftIsANoteAndALostDeviceAProblem) {
    Machine m([](Machine::Setup& s) {
        s.groups = "1000 20";
        s.latency = "1";
    });
    const std::string simLink = (m.root / "run/vantrel-sim-COM1").string();
    const std::string ptyLink = (m.root / "run/board").string();
    fs::create_directories(m.root / "run");
    fs::create_symlink("/dev/pts/4095", ptyLink);  // a pseudo-terminal that has gone
    write(m.portsFile, "[ports]\nCOM1 = \"" + simLink + "\"\nCOM2 = \"" + ptyLink +
                           "\"\nCOM3 = \"" + m.byId + "\"\nCOM4 = \"/nowhere/ttyUSB7\"\n");
    json report = m.doctor();
    EXPECT_EQ(m.status, 1) << report.dump(1);
    EXPECT_EQ(report["problems"], 1);
    const auto notes = Machine::findings(report, "note", "ports file");
    EXPECT_TRUE(has(notes, "COM1 = " + simLink + ": a simulator's link, gone with the simulator",
                    "vantrel ports --forget 1"))
        << report.dump(1);
    EXPECT_TRUE(
        has(notes, "COM2 = " + ptyLink + ": a simulator's link", "vantrel ports --forget 2"));
    EXPECT_TRUE(has(Machine::findings(report, "problem", "ports file"),
                    "COM4 = /nowhere/ttyUSB7: no such device", "vantrel ports --forget 4"));
    // Without the lost device, nothing is left to fix.
    write(m.portsFile, "[ports]\nCOM1 = \"" + simLink + "\"\n");
    report = m.doctor();
    EXPECT_EQ(m.status, 0) << report.dump(1);
}

// A run file's boards and outputs against the world it names: a simulated board that answers,
// a line nobody answers on, a device that is not there; a real mosquitto, an InfluxDB address
// nobody serves, a live page's address already taken, a status file's missing folder.
TEST(CliDoctor, ARunFileItsBoardsAnswerAndItsOutputsAreReached) {
    using namespace std::chrono_literals;
    vantrel::testing::TempDir dir;
    vantrel::sim::SimThread sim;
    Pty silent;  // held open here, never read: the line of a board that does not answer
    const uint16_t broker = vantrel::testing::freeLoopbackPort();
    const uint16_t unserved = vantrel::testing::freeLoopbackPort();
    const uint16_t metrics = vantrel::testing::freeLoopbackPort();
    write(dir.file("mosquitto.conf"),
          "listener " + std::to_string(broker) + " 127.0.0.1\nallow_anonymous true\nuser root\n");
    vantrel::testing::ChildProcess mosquitto({"mosquitto", "-c", dir.file("mosquitto.conf")},
                                             dir.file("mosquitto.out"), dir.file("mosquitto.err"));
    ASSERT_TRUE(vantrel::testing::within(10s, [&] {
        return vantrel::testing::listeningOnLoopback(broker);
    })) << mosquitto.err();
    const std::string gone = dir.file("vantrel-sim-COM5");
    const std::string runFile = dir.file("run.toml");
    write(runFile, "out = \"" + dir.file("x.csv") + "\"\nstatus = \"" + dir.file("no/x.json") +
                       "\"\n[publish]\nmqtt = \"mqtt://127.0.0.1:" + std::to_string(broker) +
                       "/lab\"\ninflux = \"http://127.0.0.1:" + std::to_string(unserved) +
                       "/lab\"\nhttp = \"127.0.0.1:" + std::to_string(broker) + "\"\nmetrics = \"" +
                       std::to_string(metrics) + "\"\n" +
                       "[[board]]\nname = \"bench\"\ndevice = \"" + sim.device() +
                       "\"\nbaud = 115200\n  [[board.channel]]\n  bits = 10\n  channel = 3\n" +
                       "[[board]]\nname = \"silent\"\ndevice = \"" + silent.path +
                       "\"\n  [[board.channel]]\n  bits = 12\n  channel = 0\n" +
                       "[[board]]\nname = \"gone\"\ndevice = \"" + gone +
                       "\"\n  [[board.channel]]\n  bits = 8\n  channel = 1\n");
    const ScopedEnv ports("VANTREL_PORTS", dir.file("ports.toml"));
    const Outcome o = run({VANTREL_CLI, "doctor", "--json", "--config", runFile});
    EXPECT_EQ(o.status, 1) << o.out;
    const json report = json::parse(o.out);
    const auto problems = [&](const std::string& topic) {
        return Machine::findings(report, "problem", topic);
    };
    const auto fine = [&](const std::string& topic) {
        return Machine::findings(report, "ok", topic);
    };
    EXPECT_TRUE(has(fine("board bench"), "answers at 115200 baud (PRA: OK 1)")) << o.out;
    EXPECT_TRUE(has(fine("board bench"), sim.device() + ": you (root) may open it"));
    EXPECT_TRUE(has(problems("board silent"), "does not answer at 9600 baud: ",
                    "vantrel find --baud auto --device " + silent.path))
        << o.out;
    EXPECT_TRUE(has(problems("board gone"),
                    gone + ": no such device: a simulator's link, and that simulator has ended"));
    EXPECT_TRUE(has(fine("output"), dir.file("x.csv") + ": you (root) may create it"));
    EXPECT_TRUE(has(problems("status file"), "its folder " + dir.file("no") + " does not exist",
                    "mkdir -p " + dir.file("no")));
    EXPECT_TRUE(has(fine("mqtt"),
                    "the broker at 127.0.0.1:" + std::to_string(broker) + " takes connections"));
    EXPECT_TRUE(has(problems("influx"), "the server at 127.0.0.1:" + std::to_string(unserved) +
                                            " cannot be reached: connect 127.0.0.1:" +
                                            std::to_string(unserved) + ": Connection refused"));
    EXPECT_TRUE(has(problems("http"),
                    "bind 127.0.0.1:" + std::to_string(broker) + ": Address already in use"));
    EXPECT_TRUE(has(fine("metrics"), "127.0.0.1:" + std::to_string(metrics) + " is free"));
    EXPECT_TRUE(has(Machine::findings(report, "note", "user"), "you are root",
                    "vantrel doctor --user NAME"));
    EXPECT_EQ(report["problems"], 5) << o.out;

    // As the account that will run it: nobody may neither open the board nor create the output
    // in root's own folder; the board answers all the same.
    ASSERT_EQ(::chmod(dir.path.c_str(), 0755), 0);
    const Outcome as =
        run({VANTREL_CLI, "doctor", "--json", "--user", "nobody", "--config", runFile});
    EXPECT_EQ(as.status, 1) << as.out;
    const json nobodys = json::parse(as.out);
    EXPECT_TRUE(has(Machine::findings(nobodys, "problem", "board bench"),
                    sim.device() + ": Permission denied for nobody: "))
        << as.out;
    EXPECT_TRUE(has(Machine::findings(nobodys, "ok", "board bench"), "answers at 115200 baud"));
    EXPECT_TRUE(
        has(Machine::findings(nobodys, "problem", "output"), "nobody may not create files in it"));
    EXPECT_TRUE(Machine::findings(nobodys, "note", "user").empty());
    // One board by its options; a run file that is not one is a usage error.
    const Outcome one = run({VANTREL_CLI, "doctor", "--device", sim.device(), "--baud", "115200"});
    EXPECT_EQ(one.status, 0) << one.out;
    EXPECT_NE(one.out.find("answers at 115200 baud (PRA: OK 1)"), std::string::npos) << one.out;
    write(runFile, "out = \"x.csv\n");
    const Outcome broken = run({VANTREL_CLI, "doctor", "--config", runFile});
    EXPECT_EQ(broken.status, 2) << broken.out;
}

// The kernel refuses the open (the tool runs as an ordinary user here): the message names the
// node's owner, group and mode, and the group to join.
TEST(CliDoctor, PermissionDeniedSaysWhoMayOpenTheDevice) {
    Pty pty;
    ASSERT_EQ(::chown(pty.path.c_str(), 0, 20), 0);
    ASSERT_EQ(::chmod(pty.path.c_str(), 0660), 0);
    // The account files and the identity are the machine's own: nobody, not in dialout.
    char tmpl[] = "/tmp/vantrel-doctor-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const fs::path root = tmpl;
    fs::create_directories(root / "proc");
    fs::create_symlink("/proc/self", root / "proc/self");
    fs::create_symlink("/etc", root / "etc");
    ::chmod(tmpl, 0755);
    const ScopedEnv sysroot("VANTREL_SYSROOT", root.string());
    const Outcome o = run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                           VANTREL_CLI, "cmd", "-d", pty.path, "PRA"});
    fs::remove_all(root);
    EXPECT_EQ(o.status, 1) << o.out;
    EXPECT_NE(o.out.find("open " + pty.path +
                         ": Permission denied; root:dialout crw-rw----: you "
                         "(nobody, uid 65534) are not in group dialout; fix: sudo usermod -aG "
                         "dialout $USER, then log out and in again"),
              std::string::npos)
        << o.out;
}

}  // namespace
