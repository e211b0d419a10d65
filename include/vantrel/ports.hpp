// vantrel: serial devices on this machine, the ports file, and the COM map.
#pragma once

#include "vantrel/export.h"

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel VANTREL_API {

// Where the port map and the adapter listing look at this machine. Tests point them at a fake
// tree.
struct SystemPaths {
    std::string sys = "/sys";               // sysfs
    std::string dev = "/dev";               // device nodes; serial/by-id below it
    std::string cmdline = "/proc/cmdline";  // the kernel command line
    std::string systemPortsFile = "/etc/vantrel/ports.toml";
    // The real paths, or the same below $VANTREL_SYSROOT when that is set.
    static SystemPaths fromEnvironment();
};

// A serial device present on this machine, as sysfs describes it. USB fields are empty for a
// device that is not on USB.
struct SerialAdapter {
    std::string device;        // "/dev/ttyUSB0"
    std::string byId;          // its stable "/dev/serial/by-id/..." path, if it has one
    std::string vendorId;      // USB vendor id, four hex digits ("0403")
    std::string productId;     // USB product id ("6001")
    std::string serialNumber;  // as the adapter reports it
    std::string manufacturer;
    std::string product;
    std::string driver;    // the kernel driver ("ftdi_sio", "cdc_acm", "serial")
    bool console = false;  // the kernel writes its console here (console= on its command line)
};

// The serial devices present, sorted by device path (ttyS2 before ttyS10). Virtual terminals,
// pseudo-terminals and legacy port slots with no UART are left out.
std::vector<SerialAdapter> listSerialAdapters(const SystemPaths& paths);
// The device paths of listSerialAdapters(SystemPaths::fromEnvironment()).
std::vector<std::string> listSerialDevices();

// Whether a device is there to open: a network device string always is; a path when it exists
// and is no legacy port slot without a UART (such a slot has a node that no open gets through).
bool devicePresent(const std::string& device, const SystemPaths& paths);

// The devices named by console= on the kernel command line, as device paths ("/dev/ttyS0").
std::vector<std::string> kernelConsoles(const SystemPaths& paths);

// The path to store for a device so that it names the same adapter after a reboot or a
// re-plug: its /dev/serial/by-id link if it has one, else the path as given. Network device
// strings ("rfc2217://...", "socket://...") are kept as given.
std::string stablePath(const std::string& device, const SystemPaths& paths);

// What to say when a device string that did not open is a Windows port name ("COM3", "com3:"):
// "COM3 is a Windows port name: here it is COM number 3 (...)". Empty for any other string.
std::string windowsNameNote(std::string_view device);

// The ports file, where COM numbers stick across runs and programs: a TOML table
//   [ports]
//   COM3 = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
// Looked for at $VANTREL_PORTS when that is set, else at the user's
// $XDG_CONFIG_HOME/vantrel/ports.toml (~/.config when XDG_CONFIG_HOME is unset) if it exists,
// else at the system's (paths.systemPortsFile).
std::string locatePortsFile(const SystemPaths& paths);
// Where a change is written: $VANTREL_PORTS when set, else the user's file.
std::string writablePortsFile();
// Reads a ports file; a missing file has no entries. A file that cannot be read, is not a
// regular file (a device, a FIFO), is larger than 1 MiB, is not valid TOML or holds anything
// but COM1..COM255 = "device" throws Error (err::PortsFile) whose text names the file (and the
// line, where there is one).
std::map<int, std::string> loadPortsFile(const std::string& path);
// Writes a ports file atomically (see FormFile::save), creating its folder if needed. Throws
// Error (err::PortsFile).
void savePortsFile(const std::string& path, const std::map<int, std::string>& ports);

// Which device path is COM n: what the program mapped for this run, else what the ports file
// says, else /dev/ttyS<n-1> unless that device is the kernel console (then COM n has none, so
// that nothing is written to the console by accident). Thread-safe.
class PortMap {
  public:
    // Where COM n's device comes from.
    enum class Source { Run, File, Default, None };
    struct Entry {
        std::string device;  // empty when Source::None
        Source source;
        std::string note;  // why there is none ("/dev/ttyS0 is the kernel console")
    };

    // The map every control of this process uses: the ports file locatePortsFile() finds, read
    // when first needed.
    static PortMap& instance();
    // A map over the given ports file ("" for none) and machine.
    PortMap(std::string portsFile, SystemPaths paths);
    PortMap(const PortMap&) = delete;
    PortMap& operator=(const PortMap&) = delete;

    // COM n's device, empty when it has none. Throws Error (err::PortsFile) when the ports file
    // is needed and malformed, Error (err::InvalidPortNumber) outside 1..255.
    std::string devicePath(int port) const;
    Entry entry(int port) const;

    // Run-time mappings, for this process only; they take precedence over the ports file.
    void map(int port, std::string path);
    void unmap(int port);  // back to the ports file or the default
    void clear();
    std::map<int, std::string> mappings() const;

    // The ports file this map reads ("" for none), and its entries (read when first needed;
    // Error err::PortsFile when malformed).
    std::string portsFile() const;
    std::map<int, std::string> stored() const;
    // Stores COM n = device in the ports file and puts it in force for later lookups. The file
    // is read again first, so that entries another program stored meanwhile are kept. When this
    // map reads no file yet, or the system's, the change goes to writablePortsFile(), which then
    // starts from the entries in force. Returns the file written.
    std::string store(int port, const std::string& device);
    // Removes COM n from the ports file (as store). Returns the file written.
    std::string forget(int port);
    // Reads the ports file again at the next lookup.
    void reload();

    const SystemPaths& systemPaths() const { return paths_; }

    // USB adapters present that no COM number reaches, each given a free COM number from 1 to 8:
    // one that neither this run nor the ports file maps and whose default device is neither a
    // serial device present nor the kernel console. Lowest numbers go to adapters in device order;
    // adapters beyond the free numbers are left out. Puts nothing in force.
    std::vector<std::pair<int, SerialAdapter>> freeNumbersFor(
        const std::vector<SerialAdapter>& present) const;
    // The COM number whose device is this adapter (the same device after links are followed),
    // or 0.
    int portOf(const SerialAdapter& adapter) const;

  private:
    void loadLocked() const;
    std::string change(int port, const std::string* device);

    mutable std::mutex mutex_;
    std::string portsFile_;
    SystemPaths paths_;
    std::map<int, std::string> map_;
    mutable bool loaded_ = false;
    mutable std::map<int, std::string> file_;
    mutable std::string fileError_;
    mutable std::vector<std::string> consoles_;
};

}  // namespace vantrel
