// vantrel doctor on fake machines (sysfs, /dev, /proc and the account files below
// $VANTREL_SYSROOT), and the tool's hint when the kernel refuses to open a device.
#include <fcntl.h>
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

#include "fd.hpp"
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
