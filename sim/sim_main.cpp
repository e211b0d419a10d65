// vantrel-sim: a simulated interface board on a pseudo-terminal. Prints the device to open,
// then serves it until SIGINT, SIGTERM, SIGHUP, "quit" on its console or the board hanging up.
// The console (operator commands on standard input, type "help") runs when standard input is
// the terminal and the simulator is in its foreground, so that "vantrel-sim &" serves quietly.
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fd.hpp"
#include "sim/board_console.hpp"
#include "sim/pty_board.hpp"
#include "sim/tcp_link.hpp"
#include "standard_descriptors.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace {

// A symlink to the slave device that removes itself again.
class Link {
  public:
    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }

    void make(const std::string& path, const std::string& target) {
        struct stat st {};
        // Replace a stale link from an earlier run, never a file of someone else's.
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                throw std::runtime_error(path + " exists and is not a symbolic link");
            if (::unlink(path.c_str()) != 0)
                throw std::runtime_error(vantrel::sysMessage("unlink", path, errno));
        }
        if (::symlink(target.c_str(), path.c_str()) != 0)
            throw std::runtime_error(vantrel::sysMessage("symlink", path, errno));
        path_ = path;
    }

  private:
    std::string path_;
};

// Claims a link path for this process for as long as it lives, so that a second simulator
// does not take over a link that a running one serves. The claim is an abstract socket named
// after the path: the kernel drops it when the process ends, however it ends.
class LinkClaim {
  public:
    explicit LinkClaim(const std::string& linkPath) {
        namespace fs = std::filesystem;
        const fs::path absolute = fs::absolute(linkPath).lexically_normal();
        std::error_code ec;
        const fs::path folder = fs::weakly_canonical(absolute.parent_path(), ec);
        const std::string key = ((ec ? absolute.parent_path() : folder) / absolute.filename());
        // FNV-1a keeps the name short and the same in every process.
        uint64_t hash = 14695981039346656037ull;
        for (const char c : key) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        char name[48];
        std::snprintf(name, sizeof name, "vantrel-sim-link-%016llx",
                      static_cast<unsigned long long>(hash));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::size_t length = std::strlen(name);
        std::memcpy(addr.sun_path + 1, name, length);  // sun_path[0] == 0: abstract
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);

        fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd_) throw std::runtime_error(vantrel::sysMessage("socket", "", errno));
        if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&addr), size) == 0) {
            if (::listen(fd_.get(), 4) != 0)
                throw std::runtime_error(vantrel::sysMessage("listen", "", errno));
            return;
        }
        if (errno != EADDRINUSE) throw std::runtime_error(vantrel::sysMessage("bind", "", errno));
        std::string holder = "another vantrel-sim";
        vantrel::Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        ucred cred{};
        socklen_t credSize = sizeof cred;
        if (probe && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), size) == 0 &&
            ::getsockopt(probe.get(), SOL_SOCKET, SO_PEERCRED, &cred, &credSize) == 0)
            holder += " (pid " + std::to_string(cred.pid) + ")";
        throw std::runtime_error(linkPath + " is served by " + holder +
                                 " that is still running; stop it or choose another --link");
    }

  private:
    vantrel::Fd fd_;
};

void say(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// A folder of this user's own for links: $XDG_RUNTIME_DIR, else /tmp/vantrel-<uid>, made
// private so that no one else can put a link of theirs where a COM number leads.
std::string runtimeFolder() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg == '/') return xdg;
    const std::string folder = "/tmp/vantrel-" + std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error(vantrel::sysMessage("mkdir", folder, errno));
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0)
        throw std::runtime_error(vantrel::sysMessage("lstat", folder, errno));
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
        throw std::runtime_error(folder + " is not a private folder of this user; set --link");
    return folder;
}

// Makes COM n lead to the link in the ports file, for every vantrel program. The entry stays
// after the simulator ends: the link is gone then, so COM n opens nothing rather than whatever
// /dev/ttyS<n-1> is. A number that the file gives to another device is refused.
void assignPort(int port, const std::string& link) {
    vantrel::PortMap& map = vantrel::PortMap::instance();
    const std::map<int, std::string> stored = map.stored();
    if (const auto it = stored.find(port); it != stored.end() && it->second != link)
        throw std::runtime_error("COM" + std::to_string(port) + " is " + it->second + " in " +
                                 map.portsFile() +
                                 "; choose another number, or free it with "
                                 "\"vantrel ports --forget " +
                                 std::to_string(port) + "\"");
    if (stored.count(port) == 0) map.store(port, link);
}

// Local time of day with milliseconds, "14:03:07.125".
std::string clockText() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, now.tv_nsec / 1'000'000);
    return text;
}

// Whether this process may read the terminal on its standard input: it is a terminal and this
// process group is in its foreground (not started with "&", not moved there with "bg").
bool foregroundTerminal() {
    return ::isatty(STDIN_FILENO) && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
}

}  // namespace

int main(int argc, char** argv) {
    vantrel::reserveStandardDescriptors();
    CLI::App app{"vantrel-sim: a simulated interface board on a pseudo-terminal"};
    app.set_version_flag("--version", std::string("vantrel-sim ") + VANTREL_VERSION);
    std::string linkPath;
    bool bits8 = false;
    bool echo = false;
    bool pace = false;
    std::string logFile;
    uint32_t paceBaud = 0;
    uint32_t boardBaud = 0;
    std::vector<std::string> inputs;
    std::string listen;
    app.add_option("--link", linkPath,
                   "also make a symbolic link PATH to the device (removed again at the end)")
        ->type_name("PATH");
    app.add_flag("--bits8", bits8,
                 "the 8-bit converter answers addresses Channel x 16 (default: the 10-bit one)");
    app.add_flag("--echo", echo, "echo every command line before its reply");
    app.add_flag("--pace", pace, "send at the line's baud rate, 10 bit times per byte");
    app.add_option("--pace-baud", paceBaud, "send at this fixed rate instead")
        ->type_name("BAUD")
        ->check(CLI::Range(1u, 4000000u));
    app.add_option("--baud", boardBaud,
                   "the board's own rate: it sends at it, and a client whose line is at another "
                   "rate sends and gets garbage, as on a wire")
        ->type_name("BAUD")
        ->check(CLI::Range(1u, 4000000u));
    app.add_option("--input", inputs,
                   "an input that moves, as the console's \"input\" takes it, e.g. \"10 3 sine "
                   "512 400 2s\" (repeat for more channels). KIND ARGS:\n" +
                       std::string(vantrel::sim::inputUsage()))
        ->type_name("\"BITS CHANNEL KIND ARGS\"")
        ->check([](const std::string& text) {
            vantrel::sim::BoardEngine engine;
            try {
                vantrel::sim::setInputFromWords(engine, vantrel::sim::splitWords(text));
            } catch (const std::invalid_argument& e) {
                return std::string(e.what());
            }
            return std::string();
        });
    bool wantConsole = false;
    bool noConsole = false;
    CLI::Option* consoleOn =
        app.add_flag("--console", wantConsole,
                     "take operator commands on standard input (default: when it is the terminal "
                     "and the simulator runs in the foreground)");
    app.add_flag("--no-console", noConsole, "never read standard input")->excludes(consoleOn);
    CLI::Option* logOption =
        app.add_option("--log", logFile,
                       "alone: print each command line received and its reply, with times; "
                       "with FILE: write each conversion the board makes to FILE (CSV: "
                       "wall_us,mono_us,bits,channel,word,reading)")
            ->type_name("[FILE]")
            ->expected(0, 1);
    int assign = 0;
    app.add_option("--assign", assign,
                   "make COM N lead to this board for every vantrel program (stored in the ports "
                   "file; the link goes to $XDG_RUNTIME_DIR or /tmp/vantrel-UID unless --link "
                   "is given)")
        ->type_name("N")
        ->check(CLI::Range(1, 255));
    app.add_option(
           "--listen", listen,
           "also serve the board as raw bytes on TCP (one client at a time; port 0 picks one)")
        ->type_name("HOST:PORT");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    try {
        // Signals arrive through the loop so that the link is always removed.
        sigset_t mask;
        sigemptyset(&mask);
        sigaddset(&mask, SIGINT);
        sigaddset(&mask, SIGTERM);
        sigaddset(&mask, SIGHUP);
        if (::sigprocmask(SIG_BLOCK, &mask, nullptr) != 0)
            throw std::runtime_error(vantrel::sysMessage("sigprocmask", "", errno));
        // A background simulator that touches the terminal gets EIO instead of being stopped
        // (a stopped one would not serve, nor end on SIGTERM).
        ::signal(SIGTTIN, SIG_IGN);
        ::signal(SIGTTOU, SIG_IGN);
        vantrel::Fd signals(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
        if (!signals) throw std::runtime_error(vantrel::sysMessage("signalfd", "", errno));

        const std::unique_ptr<vantrel::EventLoop> loop = vantrel::makeEpollLoop();
        vantrel::sim::PtyBoard::Options options;
        options.engine.bits8 = bits8;
        options.engine.echo = echo;
        options.paceFromLine = pace && paceBaud == 0;
        options.conversionLog = logFile;
        vantrel::sim::PtyBoard board(*loop, options);
        board.engine().setPaceBaud(paceBaud);
        board.setBoardBaud(boardBaud);
        vantrel::sim::BoardConsole console(board);
        for (const std::string& text : inputs)
            vantrel::sim::setInputFromWords(board.engine(), vantrel::sim::splitWords(text));

        if (logFile.empty() && logOption->count() > 0) {
            board.engine().setLineObserver([](std::string_view line, std::string_view reply) {
                say(clockText() + " < \"" + vantrel::sim::escapeBytes(line) + "\"\n" + clockText() +
                    " > " +
                    (reply.empty() ? std::string("(no reply)")
                                   : "\"" + vantrel::sim::escapeBytes(reply) + "\"") +
                    "\n");
            });
        }

        if (assign != 0) {
            if (linkPath.empty())
                linkPath = runtimeFolder() + "/vantrel-sim-COM" + std::to_string(assign);
            linkPath = std::filesystem::absolute(linkPath).lexically_normal().string();
        }
        std::unique_ptr<LinkClaim> claim;
        Link link;
        if (!linkPath.empty()) {
            claim = std::make_unique<LinkClaim>(linkPath);
            if (assign != 0) assignPort(assign, linkPath);
            link.make(linkPath, board.slavePath());
        }
        if (assign != 0)
            std::fprintf(stderr, "vantrel-sim: COM%d is this board (%s, stored in %s)\n", assign,
                         linkPath.c_str(), vantrel::PortMap::instance().portsFile().c_str());
        say(board.slavePath() + "\n");
        std::unique_ptr<vantrel::sim::TcpLink> tcp;
        if (!listen.empty()) {
            tcp = std::make_unique<vantrel::sim::TcpLink>(*loop, board.slavePath(), listen);
            say("listening on " + tcp->address() + "\n");
        }
        const bool withConsole = wantConsole || (!noConsole && foregroundTerminal());

        bool quit = false;
        std::string input;
        const auto runLines = [&](bool atEnd) {
            std::size_t start = 0;
            for (std::size_t nl; (nl = input.find('\n', start)) != std::string::npos;
                 start = nl + 1) {
                const auto result = console.run(std::string_view(input).substr(start, nl - start));
                say(result.text);
                quit = quit || result.quit;
            }
            input.erase(0, start);
            if (atEnd && !input.empty()) {
                const auto result = console.run(input);
                say(result.text);
                quit = quit || result.quit;
                input.clear();
            }
        };

        vantrel::WatchHandle stdinWatch;
        const auto onStdin = [&](uint32_t) {
            char buf[4096];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n > 0) {
                input.append(buf, static_cast<std::size_t>(n));
                runLines(false);
                return;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
            if (n < 0 && errno == EIO) {
                // Put in the background ("bg"): the terminal is the shell's again.
                std::fputs("vantrel-sim: in the background, the console is off\n", stderr);
            } else {
                // End of input: the board goes on serving until a signal or "quit".
                runLines(true);
            }
            stdinWatch.reset();
        };
        if (withConsole) {
            try {
                stdinWatch = loop->watch(STDIN_FILENO, EPOLLIN, onStdin);
            } catch (const vantrel::Error&) {
                // A regular file or /dev/null cannot be watched: it is read through at once.
                ssize_t n;
                char buf[4096];
                while ((n = ::read(STDIN_FILENO, buf, sizeof buf)) > 0)
                    input.append(buf, static_cast<std::size_t>(n));
                runLines(true);
            }
        }

        const vantrel::WatchHandle signalWatch = loop->watch(signals.get(), EPOLLIN, [&](uint32_t) {
            signalfd_siginfo info;
            while (::read(signals.get(), &info, sizeof info) == sizeof info) quit = true;
        });

        while (!quit && !board.hungUp()) loop->pumpOnce();
        if (board.hungUp()) say("board hung up\n");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantrel-sim: %s\n", e.what());
        return 1;
    }
}
