// The port map: the ports file (lookup, errors, atomic changes), the kernel console left out of
// the default map, and serial adapters found on a fake sysfs tree whose device nodes are
// pseudo-terminals.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "pty_pair.hpp"
#include "test_support.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

using namespace vantrel;
using vantrel::testing::errorOf;
using vantrel::testing::ScopedEnv;
namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A machine in a temporary folder: sysfs entries, device nodes (links to pseudo-terminals, so
// that each is a distinct character device), by-id links and a kernel command line.
class FakeMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "vantrel-ports-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root = tmpl;
        paths.sys = (root / "sys").string();
        paths.dev = (root / "dev").string();
        paths.cmdline = (root / "proc" / "cmdline").string();
        paths.systemPortsFile = (root / "etc" / "vantrel" / "ports.toml").string();
        writeFile(paths.cmdline,
                  "BOOT_IMAGE=/vmlinuz root=/dev/sda1 console=tty0 console=ttyS0,115200n8\n");
        fs::create_directories(root / "sys" / "class" / "tty");
    }
    void TearDown() override { fs::remove_all(root); }

    // A tty in sysfs with its device folder at `deviceDir` (below sys/devices), the driver named,
    // and a device node unless `node` is false. USB attributes go on `usbDir` when given.
    void addTty(const std::string& name, const std::string& deviceDir, const std::string& driver,
                int uartType = -1, bool node = true) {
        const fs::path dev = root / "sys" / "devices" / deviceDir;
        const fs::path tty = dev / "tty" / name;
        fs::create_directories(tty);
        fs::create_directories(root / "sys" / "bus" / "drivers" / driver);
        fs::create_symlink(fs::relative(root / "sys" / "bus" / "drivers" / driver, dev),
                           dev / "driver");
        fs::create_symlink(fs::relative(dev, tty), tty / "device");
        fs::create_symlink(fs::relative(tty, root / "sys" / "class" / "tty"),
                           root / "sys" / "class" / "tty" / name);
        if (uartType >= 0) writeFile(tty / "type", std::to_string(uartType) + "\n");
        if (node) {
            ptys.emplace_back();
            fs::create_directories(root / "dev");
            fs::create_symlink(ptys.back().slavePath, root / "dev" / name);
        }
    }
    void addUsb(const std::string& usbDir, const std::string& vid, const std::string& pid,
                const std::string& serial, const std::string& maker, const std::string& product) {
        const fs::path dir = root / "sys" / "devices" / usbDir;
        writeFile(dir / "idVendor", vid + "\n");
        writeFile(dir / "idProduct", pid + "\n");
        writeFile(dir / "serial", serial + "\n");
        writeFile(dir / "manufacturer", maker + "\n");
        writeFile(dir / "product", product + "\n");
    }
    std::string addById(const std::string& link, const std::string& name) {
        const fs::path dir = root / "dev" / "serial" / "by-id";
        fs::create_directories(dir);
        fs::create_symlink("../../" + name, dir / link);
        return (dir / link).string();
    }
    std::string dev(const std::string& name) const { return (root / "dev" / name).string(); }

    // The usual machine: a console UART, a second UART, an empty legacy slot, an FTDI adapter
    // with a by-id link, a second FTDI one and a CDC-ACM board without.
    void addUsualDevices() {
        addTty("ttyS0", "pnp0/00:04", "serial", 4);
        addTty("ttyS1", "pnp0/00:05", "serial", 4);
        addTty("ttyS2", "platform/serial8250", "serial8250", 0);
        addTty("ttyS3", "pnp0/00:06", "serial", 4, false);
        addTty("ttyUSB0", "pci0/usb1/1-1/1-1:1.0/ttyUSB0", "ftdi_sio");
        addUsb("pci0/usb1/1-1", "0403", "6001", "A50285BI", "FTDI", "FT232R USB UART");
        ftdiById = addById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
        addTty("ttyUSB1", "pci0/usb1/1-2/1-2:1.0/ttyUSB1", "ftdi_sio");
        addUsb("pci0/usb1/1-2", "0403", "6015", "DK0AB12", "FTDI", "FT230X Basic UART");
        addTty("ttyACM0", "pci0/usb1/1-3/1-3:1.0", "cdc_acm");
        addUsb("pci0/usb1/1-3", "2341", "0043", "", "Arduino", "Uno");
        fs::create_directories(root / "sys" / "devices" / "virtual" / "tty" / "tty0");
        fs::create_symlink("../../devices/virtual/tty/tty0",
                           root / "sys" / "class" / "tty" / "tty0");
    }

    fs::path root;
    SystemPaths paths;
    std::vector<test::PtyPair> ptys{};
    std::string ftdiById;
};

TEST_F(FakeMachine, AdaptersAreDescribedFromSysfs) {
    addUsualDevices();
    const std::vector<SerialAdapter> found = listSerialAdapters(paths);
    // ttyS2 is an empty slot, ttyS3 has no node, tty0 no device.
    ASSERT_EQ(found.size(), 5u);
    const auto& acm = found[0];
    EXPECT_EQ(acm.device, dev("ttyACM0"));
    EXPECT_EQ(acm.driver, "cdc_acm");
    EXPECT_EQ(acm.vendorId + ":" + acm.productId, "2341:0043");
    EXPECT_EQ(acm.manufacturer + "/" + acm.product + "/" + acm.serialNumber, "Arduino/Uno/");
    EXPECT_EQ(acm.byId, "");
    EXPECT_FALSE(acm.console);
    EXPECT_EQ(found[1].device, dev("ttyS0"));
    EXPECT_TRUE(found[1].console);
    EXPECT_EQ(found[1].driver, "serial");
    EXPECT_EQ(found[1].vendorId, "");
    EXPECT_EQ(found[2].device, dev("ttyS1"));
    EXPECT_FALSE(found[2].console);
    const auto& ftdi = found[3];
    EXPECT_EQ(ftdi.device, dev("ttyUSB0"));
    EXPECT_EQ(ftdi.byId, ftdiById);
    EXPECT_EQ(ftdi.driver, "ftdi_sio");
    EXPECT_EQ(ftdi.vendorId + ":" + ftdi.productId, "0403:6001");
    EXPECT_EQ(ftdi.serialNumber, "A50285BI");
    EXPECT_EQ(ftdi.manufacturer + "/" + ftdi.product, "FTDI/FT232R USB UART");
    EXPECT_EQ(found[4].device, dev("ttyUSB1"));
    EXPECT_EQ(found[4].serialNumber, "DK0AB12");

    EXPECT_EQ(kernelConsoles(paths), (std::vector<std::string>{dev("tty0"), dev("ttyS0")}));
    EXPECT_EQ(stablePath(dev("ttyUSB0"), paths), ftdiById);
    EXPECT_EQ(stablePath(dev("ttyUSB1"), paths), dev("ttyUSB1"));
    EXPECT_EQ(stablePath("rfc2217://127.0.0.1:4000", paths), "rfc2217://127.0.0.1:4000");
}

TEST_F(FakeMachine, LookupOrderRunThenFileThenDefaultWithoutTheConsole) {
    addUsualDevices();
    const fs::path file = root / "ports.toml";
    writeFile(file, "[ports]\nCOM2 = \"/dev/ttyUSB7\"\nCOM3 = \"socket://127.0.0.1:7000\"\n");
    PortMap map(file.string(), paths);
    map.map(2, "/tmp/board");

    const PortMap::Entry com1 = map.entry(1);
    EXPECT_EQ(com1.source, PortMap::Source::None);
    EXPECT_EQ(com1.device, "");
    EXPECT_EQ(com1.note, dev("ttyS0") + " is the kernel console");
    EXPECT_EQ(map.entry(2).source, PortMap::Source::Run);
    EXPECT_EQ(map.devicePath(2), "/tmp/board");
    EXPECT_EQ(map.entry(3).source, PortMap::Source::File);
    EXPECT_EQ(map.devicePath(3), "socket://127.0.0.1:7000");
    EXPECT_EQ(map.entry(4).source, PortMap::Source::Default);
    EXPECT_EQ(map.devicePath(4), dev("ttyS3"));
    map.unmap(2);
    EXPECT_EQ(map.devicePath(2), "/dev/ttyUSB7");
    // Mapped explicitly, the console is used like any device.
    map.map(1, dev("ttyS0"));
    EXPECT_EQ(map.devicePath(1), dev("ttyS0"));
    EXPECT_EQ(errorOf([&] { map.entry(0); }).number(), err::InvalidPortNumber);
}

TEST_F(FakeMachine, AdaptersOutsideTheMapGetFreeNumbersForAScan) {
    addUsualDevices();
    const fs::path file = root / "ports.toml";
    // COM3 is the second FTDI adapter through a link of its own; COM5 a network port.
    fs::create_symlink(dev("ttyUSB1"), root / "board-link");
    writeFile(file, "[ports]\nCOM3 = \"" + (root / "board-link").string() +
                        "\"\nCOM5 = \"rfc2217://127.0.0.1:4000\"\n");
    PortMap map(file.string(), paths);
    const std::vector<SerialAdapter> present = listSerialAdapters(paths);
    EXPECT_EQ(map.portOf(present[2]), 2);  // ttyS1 by default
    EXPECT_EQ(map.portOf(present[4]), 3);
    EXPECT_EQ(map.portOf(present[3]), 0);
    EXPECT_EQ(map.portOf(present[1]), 0);  // the console is left out

    // COM1 is the console's, COM2 a UART present, COM3 and COM5 stored: ttyACM0 and ttyUSB0
    // take COM4 and COM6; the console takes none.
    auto free = map.freeNumbersFor(present);
    ASSERT_EQ(free.size(), 2u);
    EXPECT_EQ(free[0].first, 4);
    EXPECT_EQ(free[0].second.device, dev("ttyACM0"));
    EXPECT_EQ(free[1].first, 6);
    EXPECT_EQ(free[1].second.device, dev("ttyUSB0"));

    // With every number from 1 to 8 taken, no adapter gets one.
    for (int n = 1; n <= 8; ++n) map.map(n, "/nonexistent/" + std::to_string(n));
    EXPECT_TRUE(map.freeNumbersFor(present).empty());
}

// Free numbers are for USB adapters: a UART that no number reaches (its default COM2 given to
// another device) gets none, so a scan never writes to it and --save never stores it.
TEST_F(FakeMachine, OnlyUsbAdaptersGetFreeNumbers) {
    addUsualDevices();
    PortMap map("", paths);
    map.map(2, dev("ttyUSB1"));
    std::vector<std::pair<int, std::string>> free;
    for (const auto& [port, a] : map.freeNumbersFor(listSerialAdapters(paths)))
        free.emplace_back(port, a.device);
    // COM3's default ttyS2 is an empty slot and COM4's ttyS3 has no node: both numbers are free.
    EXPECT_EQ(free,
              (std::vector<std::pair<int, std::string>>{{3, dev("ttyACM0")}, {4, dev("ttyUSB0")}}));
}

// A legacy 8250 slot has a device node but no UART: it is absent under every name, as it is
// absent from listSerialAdapters.
TEST_F(FakeMachine, DevicePresenceLeavesOutEmptyUartSlots) {
    addUsualDevices();
    fs::create_symlink(dev("ttyS2"), root / "slot-link");
    fs::create_symlink(dev("ttyS1"), root / "uart-link");
    const struct {
        std::string device;
        bool present;
    } cases[] = {
        {dev("ttyS1"), true},
        {(root / "uart-link").string(), true},
        {dev("ttyUSB0"), true},
        {ftdiById, true},
        {ptys.back().slavePath, true},  // a pseudo-terminal has no sysfs entry
        {"rfc2217://127.0.0.1:4000", true},
        {dev("ttyS2"), false},
        {(root / "slot-link").string(), false},
        {dev("ttyS3"), false},  // in sysfs, no node
        {dev("ttyS9"), false},
    };
    for (const auto& c : cases) EXPECT_EQ(devicePresent(c.device, paths), c.present) << c.device;
}

TEST_F(FakeMachine, PortsFileLookupFollowsTheEnvironment) {
    const std::string user = (root / "config" / "vantrel" / "ports.toml").string();
    const ScopedEnv home("HOME", (root / "home").string());
    const ScopedEnv xdg("XDG_CONFIG_HOME", (root / "config").string());
    {
        const ScopedEnv ports("VANTREL_PORTS", (root / "mine.toml").string());
        EXPECT_EQ(locatePortsFile(paths), (root / "mine.toml").string());
        EXPECT_EQ(writablePortsFile(), (root / "mine.toml").string());
    }
    const ScopedEnv ports("VANTREL_PORTS", "");
    EXPECT_EQ(locatePortsFile(paths), paths.systemPortsFile);
    EXPECT_EQ(writablePortsFile(), user);
    writeFile(user, "");
    EXPECT_EQ(locatePortsFile(paths), user);
    const ScopedEnv noXdg("XDG_CONFIG_HOME", "");
    EXPECT_EQ(writablePortsFile(), (root / "home" / ".config" / "vantrel" / "ports.toml").string());
}

TEST_F(FakeMachine, MalformedPortsFilesAreRefusedByName) {
    const fs::path file = root / "ports.toml";
    std::string deep;
    for (int i = 0; i < 50000; ++i) deep += "a.";
    const struct {
        std::string text;
        const char* message;  // after "ports file <path>"
    } cases[] = {
        {"[ports]\nCOM1 = \"/dev/a\"\nCOM2 = /dev/b\n", ", line 3: "},
        {"[ports]\nCOM0 = \"/dev/a\"\n", ", line 2: \"COM0\" is not a port (COM1 to COM255)"},
        {"[ports]\nCOM256 = \"/dev/a\"\n", ", line 2: \"COM256\" is not a port (COM1 to COM255)"},
        {"[ports]\nCOM01 = \"/dev/a\"\n", ", line 2: \"COM01\" is not a port (COM1 to COM255)"},
        {"[ports]\nttyS0 = \"/dev/a\"\n", ", line 2: \"ttyS0\" is not a port (COM1 to COM255)"},
        {"[ports]\nCOM1 = 3\n", ", line 2: COM1 must be a device path in quotes, not empty"},
        {"[ports]\nCOM1 = \"\"\n", ", line 2: COM1 must be a device path in quotes, not empty"},
        {"COM1 = \"/dev/a\"\n",
         ", line 1: unexpected \"COM1\" (the file holds one table, [ports], of COMn = \"device\")"},
        // Read as every TOML file of ours is: bounded nesting (the parser would overflow the
        // stack), complaints in our words.
        {"# deep\n[" + deep + "a]\n", ", line 2: nested deeper than 32 levels"},
        {"[ports]\nCOM1 = \"/dev/a\nCOM2 = \"/dev/b\"\n",
         ", line 2: a string is not closed: its closing quote is missing on this line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        writeFile(file, c.text);
        const Error e = errorOf([&] { loadPortsFile(file.string()); });
        EXPECT_EQ(e.number(), err::PortsFile);
        EXPECT_EQ(std::string(e.what()).rfind("ports file " + file.string() + c.message, 0), 0u)
            << e.what();
        // The map reports it when it needs the file, and the file stays as it was.
        PortMap map(file.string(), paths);
        EXPECT_EQ(errorOf([&] { map.devicePath(4); }).what(), std::string(e.what()));
        EXPECT_EQ(errorOf([&] { map.store(4, "/dev/x"); }).number(), err::PortsFile);
        map.map(4, "/tmp/board");
        EXPECT_EQ(map.devicePath(4), "/tmp/board");
        EXPECT_EQ(readFile(file), c.text);
    }
    EXPECT_TRUE(loadPortsFile((root / "missing.toml").string()).empty());
}

// A ports file must be a regular file of at most 1 MiB, as a form must: /dev/zero would be read
// without end and a FIFO would hold up the open for ever. Nothing is written in their place.
TEST_F(FakeMachine, APortsFileIsARegularFileOfBoundedSize) {
    const fs::path fifo = root / "fifo.toml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path big = root / "big.toml";
    const std::string bigText = "[ports]\n" + std::string(1024 * 1024, '#');
    writeFile(big, bigText);
    const struct {
        std::string path;
        const char* message;
        bool tryStore;
    } cases[] = {
        {"/dev/zero", "not a regular file", false},
        {fifo.string(), "not a regular file", true},
        {root.string(), "not a regular file", false},
        {big.string(), "larger than 1048576 bytes", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const Error e = errorOf([&] { loadPortsFile(c.path); });
        EXPECT_EQ(e.number(), err::PortsFile);
        EXPECT_EQ(std::string(e.what()), "ports file " + c.path + ": " + c.message);
        if (c.tryStore) {
            PortMap map(c.path, paths);
            EXPECT_EQ(errorOf([&] { map.devicePath(4); }).what(), std::string(e.what()));
            EXPECT_EQ(errorOf([&] { map.store(4, "/dev/x"); }).number(), err::PortsFile);
        }
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(readFile(big), bigText);
}

TEST_F(FakeMachine, StoreKeepsOtherEntriesAndRoundTripsAnyPath) {
    const fs::path file = root / "cfg" / "ports.toml";
    PortMap map(file.string(), paths);
    EXPECT_EQ(map.store(3, "/dev/serial/by-id/usb-\"odd\\name\"\t1"), file.string());
    // Another program adds COM7 meanwhile; the next change keeps it.
    auto other = loadPortsFile(file.string());
    other[7] = "rfc2217://127.0.0.1:4000";
    savePortsFile(file.string(), other);
    map.store(12, "/dev/ttyACM0");
    const std::map<int, std::string> expected{{3, "/dev/serial/by-id/usb-\"odd\\name\"\t1"},
                                              {7, "rfc2217://127.0.0.1:4000"},
                                              {12, "/dev/ttyACM0"}};
    EXPECT_EQ(loadPortsFile(file.string()), expected);
    EXPECT_EQ(map.devicePath(7), "rfc2217://127.0.0.1:4000");
    map.forget(3);
    EXPECT_EQ(map.stored().count(3), 0u);
    EXPECT_EQ(map.stored().size(), 2u);
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);
}

TEST_F(FakeMachine, AChangeToTheSystemFileGoesToTheUsersFileStartingFromIt) {
    writeFile(paths.systemPortsFile, "[ports]\nCOM2 = \"/dev/ttyUSB0\"\n");
    const std::string mine = (root / "mine.toml").string();
    const ScopedEnv ports("VANTREL_PORTS", mine);
    PortMap map(paths.systemPortsFile, paths);
    EXPECT_EQ(map.store(4, "/dev/ttyACM0"), mine);
    EXPECT_EQ(map.portsFile(), mine);
    EXPECT_EQ(loadPortsFile(mine),
              (std::map<int, std::string>{{2, "/dev/ttyUSB0"}, {4, "/dev/ttyACM0"}}));
    EXPECT_EQ(readFile(paths.systemPortsFile), "[ports]\nCOM2 = \"/dev/ttyUSB0\"\n");
}

}  // namespace
