// vantrel serve: the time a command through the daemon adds to a direct open of the same
// simulated board, and the daemon's CPU per transaction.
//
//   serve_bench [commands-per-slice] [slices]
//
// The boards are simulated ones on pseudo-terminals, each served by a thread of this process;
// the daemon is `vantrel serve` as a child process, owning one of them. Slices alternate (direct,
// daemon, direct, ...) so that a change in the machine's load touches both; each figure is the
// median of the slices' medians. The daemon's CPU is its user + system time (getrusage of the child
// once it has ended) divided by the transactions it ran.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_thread.hpp"
#include "vantrel/board.hpp"

extern char** environ;

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Microseconds per command, median of one slice.
double slice(vantrel::Board& board, int commands) {
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(commands));
    for (int i = 0; i < commands; ++i) {
        const auto t0 = Clock::now();
        const vantrel::Reply r = board.command("PRA");
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        if (!r.ok) {
            std::fprintf(stderr, "serve_bench: PRA failed: %s\n", r.text.c_str());
            std::exit(1);
        }
    }
    return median(us);
}

}  // namespace

int main(int argc, char** argv) {
    const int commands = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int slices = argc > 2 ? std::atoi(argv[2]) : 5;
    if (commands < 1 || slices < 1) {
        std::fprintf(stderr, "usage: serve_bench [commands-per-slice] [slices]\n");
        return 2;
    }
    vantrel::sim::SimThread sim;
    const fs::path dir =
        fs::temp_directory_path() / ("vantrel-serve-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string socket = (dir / "serve.sock").string();
    std::vector<std::string> args = {VANTREL_CLI, "serve",  "--device", sim.device(), "--baud",
                                     "115200",    "--name", "bench",    "--socket",   socket};
    std::vector<char*> argvChild;
    for (std::string& a : args) argvChild.push_back(a.data());
    argvChild.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (::posix_spawn(&pid, argvChild[0], &actions, nullptr, argvChild.data(), environ) != 0) {
        std::fprintf(stderr, "serve_bench: cannot start %s\n", VANTREL_CLI);
        return 1;
    }
    posix_spawn_file_actions_destroy(&actions);
    const auto limit = Clock::now() + std::chrono::seconds(20);
    while (!fs::exists(socket) && Clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::vector<double> direct, served;
    uint64_t transactions = 0;
    {
        // The daemon holds its board's port for itself: the direct slices go to a second
        // simulated board of the same kind, on a thread of its own.
        vantrel::sim::SimThread other;
        vantrel::Board viaDaemon("unix://" + socket + "#bench", 115200);
        vantrel::Board plain(other.device(), 115200);
        slice(plain, 100);  // warm both paths
        slice(viaDaemon, 100);
        transactions += 100;
        for (int s = 0; s < slices; ++s) {
            direct.push_back(slice(plain, commands));
            served.push_back(slice(viaDaemon, commands));
            transactions += static_cast<uint64_t>(commands);
        }
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    rusage ru{};
    ::getrusage(RUSAGE_CHILDREN, &ru);
    const double cpuUs =
        (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
    fs::remove_all(dir);

    const double d = median(direct), v = median(served);
    double load = 0;
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) load = 0;
        std::fclose(f);
    }
    std::printf("serve: PRA at 115200 on a simulated board, %d slices of %d commands, load %.1f\n",
                slices, commands, load);
    std::printf("  direct open          %8.1f us per command (median of slice medians)\n", d);
    std::printf("  through the daemon   %8.1f us per command\n", v);
    std::printf("  added by the daemon  %8.1f us per command (goal < 50)\n", v - d);
    std::printf(
        "  daemon CPU           %8.1f us per transaction (%llu transactions, start-up "
        "included)\n",
        cpuUs / static_cast<double>(transactions), static_cast<unsigned long long>(transactions));
    return 0;
}
