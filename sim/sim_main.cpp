// vantrel-sim: a simulated interface board on a pseudo-terminal. Prints the device to open,
// then takes operator commands on standard input (type "help") until "quit", end of a signal
// (SIGINT, SIGTERM) or the board hanging up.
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/fd.hpp"
#include "sim/board_console.hpp"
#include "sim/pty_board.hpp"
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

void say(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"vantrel-sim: a simulated interface board on a pseudo-terminal"};
    std::string linkPath;
    bool bits8 = false;
    bool echo = false;
    bool pace = false;
    uint32_t paceBaud = 0;
    app.add_option("--link", linkPath, "also make a symbolic link PATH to the device")
        ->type_name("PATH");
    app.add_flag("--bits8", bits8,
                 "the 8-bit converter answers addresses Channel x 16 (default: the 10-bit one)");
    app.add_flag("--echo", echo, "echo every command line before its reply");
    app.add_flag("--pace", pace, "send at the line's baud rate, 10 bit times per byte");
    app.add_option("--pace-baud", paceBaud, "send at this fixed rate instead")
        ->type_name("BAUD")
        ->check(CLI::Range(1u, 4000000u));
    CLI11_PARSE(app, argc, argv);

    try {
        // Signals arrive through the loop so that the link is always removed.
        sigset_t mask;
        sigemptyset(&mask);
        sigaddset(&mask, SIGINT);
        sigaddset(&mask, SIGTERM);
        sigaddset(&mask, SIGHUP);
        if (::sigprocmask(SIG_BLOCK, &mask, nullptr) != 0)
            throw std::runtime_error(vantrel::sysMessage("sigprocmask", "", errno));
        vantrel::Fd signals(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
        if (!signals) throw std::runtime_error(vantrel::sysMessage("signalfd", "", errno));

        const std::unique_ptr<vantrel::EventLoop> loop = vantrel::makeEpollLoop();
        vantrel::sim::PtyBoard::Options options;
        options.engine.bits8 = bits8;
        options.engine.echo = echo;
        options.paceFromLine = pace && paceBaud == 0;
        vantrel::sim::PtyBoard board(*loop, options);
        board.engine().setPaceBaud(paceBaud);
        vantrel::sim::BoardConsole console(board);

        Link link;
        if (!linkPath.empty()) link.make(linkPath, board.slavePath());
        say(board.slavePath() + "\n");

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
            if (n < 0 && errno == EINTR) return;
            // End of input: the board goes on serving until a signal or "quit".
            runLines(true);
            stdinWatch.reset();
        };
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
