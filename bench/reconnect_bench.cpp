// Boards that come back: the time from the device's return to the first good reading of a
// Board with a reconnect policy, over 20 cycles, for a pseudo-terminal link (inotify on its
// folder) and for ser2net restarted on the same port (socket://, attempts paced by the policy).
//
//   reconnect_bench [cycles]
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_thread.hpp"
#include "vantrel/board.hpp"
#include "vantrel/ports.hpp"

extern char** environ;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

struct Figures {
    double median = 0, max = 0;
};

Figures summary(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

// Reads on this thread while another takes the device away and brings it back; each cycle's
// figure is from the moment up() gives (the device is there again) to the first good reading
// after the departure.
std::vector<double> measure(vantrel::Board& board, int cycles, const std::function<void()>& down,
                            const std::function<Clock::time_point()>& up) {
    std::atomic<int64_t> good{0};
    std::atomic<bool> done{false};
    std::vector<double> figures;
    std::thread mover([&] {
        for (int i = 0; i < cycles; ++i) {
            std::this_thread::sleep_for(200ms);
            good = 0;
            down();
            std::this_thread::sleep_for(300ms);
            const int64_t returned = up().time_since_epoch().count();
            const auto limit = Clock::now() + 20s;
            while (good == 0 && Clock::now() < limit) std::this_thread::sleep_for(1ms);
            if (good != 0) figures.push_back(static_cast<double>(good - returned) / 1e6);
        }
        done = true;
    });
    bool away = false;
    board.onDisconnected([&](const std::string&) { away = true; });
    while (!done) {
        try {
            (void)board.read(10, 3);
            if (away) {
                good = Clock::now().time_since_epoch().count();
                away = false;
            }
        } catch (const vantrel::Error&) {
            // Away beyond the call's limit: the next call waits again.
        }
        board.pump(5ms);
    }
    mover.join();
    return figures;
}

uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool listening(uint16_t port) {
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    char want[32];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    while (std::getline(tcp, line)) {
        std::istringstream in(line);
        std::string slot, local, remote, state;
        in >> slot >> local >> remote >> state;
        if (local == want && state == "0A") return true;
    }
    return false;
}

// ser2net in the foreground serving `device` as raw TCP on 127.0.0.1:port.
class Ser2net {
  public:
    Ser2net(fs::path dir, std::string device, uint16_t port)
        : dir_(std::move(dir)), device_(std::move(device)), port_(port) {
        std::ofstream(dir_ / "ser2net.yaml")
            << "%YAML 1.1\n---\nconnection: &raw\n  accepter: tcp,127.0.0.1," << port_
            << "\n  connector: serialdev," << device_ << ",9600n81,local\n"
            << "  options:\n    kickolduser: true\n    chardelay: false\n";
    }
    ~Ser2net() { stop(); }
    // Starts it; the time it was first seen listening.
    Clock::time_point start() {
        const std::string config = (dir_ / "ser2net.yaml").string();
        const std::string pidFile = (dir_ / "ser2net.pid").string();
        const char* argv[] = {"ser2net",       "-n",   "-d", "-c", config.c_str(), "-P",
                              pidFile.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (::posix_spawnp(&pid_, "ser2net", &actions, nullptr, const_cast<char**>(argv),
                           environ) != 0)
            throw std::runtime_error("cannot start ser2net");
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 5000 && !listening(port_); ++i) std::this_thread::sleep_for(1ms);
        return Clock::now();
    }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

  private:
    fs::path dir_;
    std::string device_;
    uint16_t port_;
    pid_t pid_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const fs::path dir =
        fs::temp_directory_path() / ("vantrel-reconnect-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    vantrel::ReconnectPolicy policy;
    policy.enabled = true;
    policy.callLimit = 10s;

    // A pseudo-terminal link, removed and made again.
    const std::string link = (dir / "board").string();
    std::unique_ptr<vantrel::sim::SimThread> sim = std::make_unique<vantrel::sim::SimThread>();
    fs::create_symlink(sim->device(), link);
    std::vector<double> pty;
    {
        vantrel::Board board(link, 9600, policy);
        pty = measure(
            board, cycles,
            [&] {
                fs::remove(link);
                sim.reset();
            },
            [&] {
                sim = std::make_unique<vantrel::sim::SimThread>();
                const auto t = Clock::now();
                fs::create_symlink(sim->device(), link);
                return t;
            });
    }

    // ser2net killed and started again on the same port; the return is when it listens.
    const uint16_t port = freePort();
    Ser2net server(dir, sim->device(), port);
    server.start();
    std::vector<double> net;
    {
        vantrel::Board board("socket://127.0.0.1:" + std::to_string(port), 9600, policy);
        net = measure(
            board, cycles, [&] { server.stop(); }, [&] { return server.start(); });
    }
    server.stop();
    sim.reset();
    fs::remove_all(dir);

    const Figures a = summary(pty), b = summary(net);
    std::printf("device back to first good reading, %d cycles each (ms):\n", cycles);
    std::printf("  pty link (inotify)         median %7.2f   max %7.2f   (%zu cycles)\n", a.median,
                a.max, pty.size());
    std::printf("  ser2net socket:// restart  median %7.2f   max %7.2f   (%zu cycles)\n", b.median,
                b.max, net.size());
    return 0;
}
