// vantrel: the ports file, where COM numbers stick across runs and programs.
#include <toml++/toml.h>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "atomic_file.hpp"
#include "ports/port_names.hpp"
#include "store/toml_reader.hpp"
#include "vantrel/error.hpp"
#include "vantrel/ports.hpp"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// 255 entries of the longest path (4096 bytes) fit; a larger file is no ports file.
constexpr std::size_t kMaxPortsFileBytes = 1024 * 1024;

[[noreturn]] void portsFileError(const std::string& path, std::string_view what,
                                 const toml::source_region* where = nullptr) {
    std::string text = "ports file " + path;
    if (where && where->begin.line != 0) text += ", line " + std::to_string(where->begin.line);
    throw Error(err::PortsFile, text + ": " + std::string(what));
}

std::string userPortsFile() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/vantrel/ports.toml";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "") + "/.config/vantrel/ports.toml";
}

}  // namespace

std::string locatePortsFile(const SystemPaths& paths) {
    if (const char* env = std::getenv("VANTREL_PORTS"); env && *env) return env;
    std::string user = userPortsFile();
    std::error_code ec;
    if (fs::exists(user, ec)) return user;
    return paths.systemPortsFile;
}

std::string writablePortsFile() {
    if (const char* env = std::getenv("VANTREL_PORTS"); env && *env) return env;
    return userPortsFile();
}

std::map<int, std::string> loadPortsFile(const std::string& path) {
    std::map<int, std::string> ports;
    const std::optional<std::string> text =
        readWholeFile(path, err::PortsFile, kMaxPortsFileBytes, "ports file");
    if (!text) return ports;
    toml::table root;
    try {
        root = readToml(*text, path);
    } catch (const TomlError& e) {
        throw Error(err::PortsFile, "ports file " + path + ", line " + std::to_string(e.line()) +
                                        ": " + e.reason());
    }
    for (const auto& [key, node] : root) {
        if (key.str() != "ports" || !node.is_table())
            portsFileError(path,
                           "unexpected \"" + std::string(key.str()) +
                               "\" (the file holds one table, [ports], of COMn = \"device\")",
                           &key.source());
        for (const auto& [name, value] : *node.as_table()) {
            const std::string_view n = name.str();
            int port = 0;
            const char* end = n.data() + n.size();
            const bool numbered = n.size() > 3 && n.substr(0, 3) == "COM" && n[3] != '0' &&
                                  std::from_chars(n.data() + 3, end, port).ptr == end;
            if (!numbered || port < 1 || port > kLastPort)
                portsFileError(path, "\"" + std::string(n) + "\" is not a port (COM1 to COM255)",
                               &name.source());
            const auto* device = value.as_string();
            if (!device || device->get().empty())
                portsFileError(path, std::string(n) + " must be a device path in quotes, not empty",
                               &value.source());
            ports[port] = device->get();
        }
    }
    return ports;
}

void savePortsFile(const std::string& path, const std::map<int, std::string>& ports) {
    // Keys in the numbers' order (a TOML table would put COM12 before COM3); each device
    // written by the TOML writer as a basic string ("..."), with what it needs escaped.
    std::ostringstream text;
    text << "# Which device each COM number opens, for every vantrel program.\n"
            "# \"vantrel ports --assign N=DEVICE\" changes it; so does editing it.\n[ports]\n";
    for (const auto& [port, device] : ports) {
        checkPort(port);
        if (device.empty()) portsFileError(path, "COM" + std::to_string(port) + " has no device");
        const toml::value<std::string> value(device);
        text << "COM" << port << " = "
             << toml::toml_formatter(value, toml::format_flags::allow_unicode_strings) << '\n';
    }
    const std::string folder = folderOf(path);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw Error(err::PortsFile, "create folder " + folder + ": " + ec.message());
    replaceFile(path, text.str(), err::PortsFile);
}

}  // namespace vantrel
