// A program run by a test as a child process, and a bounded wait for a condition.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fd.hpp"
#include "test_support.hpp"

extern char** environ;

namespace vantrel::testing {

// Polls `done` every few milliseconds until it holds or `limit` passes.
inline bool within(std::chrono::milliseconds limit, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A program (found on PATH when the name has no slash) with standard input from /dev/null and
// its output and errors in files. At the end of the scope it is killed, or with `endGently`
// asked to end (SIGTERM) and killed only after 10 s, which the test then reports as a failure.
class ChildProcess {
  public:
    struct Options {
        std::pair<int, int> pipes{-1, -1};  // become its descriptors 3 and 4
        bool append = false;                // add to the files instead of starting them anew
        bool endGently = false;
    };

    ChildProcess(std::vector<std::string> argv, std::string outPath, std::string errPath,
                 Options options)
        : out_(std::move(outPath)), err_(std::move(errPath)), endGently_(options.endGently) {
        const int mode = O_WRONLY | O_CREAT | (options.append ? O_APPEND : O_TRUNC);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), mode, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), mode, 0644);
        if (options.pipes.first >= 0) {
            posix_spawn_file_actions_adddup2(&actions, options.pipes.first, 3);
            posix_spawn_file_actions_adddup2(&actions, options.pipes.second, 4);
        }
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        const int rc = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error(argv[0] + ": cannot start: " + std::strerror(rc));
        exit_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    }
    ChildProcess(std::vector<std::string> argv, std::string outPath, std::string errPath)
        : ChildProcess(std::move(argv), std::move(outPath), std::move(errPath), Options{}) {}
    ~ChildProcess() {
        if (pid_ <= 0) return;
        if (!endGently_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            return;
        }
        ::kill(pid_, SIGTERM);
        if (wait(std::chrono::seconds(10)) == -SIGKILL) ADD_FAILURE() << out_ << ": did not end";
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void signal(int signo) { ::kill(pid_, signo); }
    // The exit status, or minus the signal that ended it; killed after `limit`.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        pollfd p{exit_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    std::string out() const { return fileContents(out_); }
    std::string err() const { return fileContents(err_); }

  private:
    std::string out_, err_;
    bool endGently_;
    pid_t pid_ = -1;
    Fd exit_;
};

}  // namespace vantrel::testing
