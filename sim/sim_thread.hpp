// vantrel-sim: a simulated board served by a thread of its own, for hosts whose own thread
// blocks in calls (a Python program, a benchmark): the board answers whatever the host's
// thread does. The board itself stays on its thread; call() runs code there.
#pragma once

#include <sys/types.h>

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "sim/pty_board.hpp"

namespace vantrel::sim {

class SimThread {
  public:
    // Starts the thread and the board on it. Throws what making the board throws.
    explicit SimThread(PtyBoard::Options options = {});
    // Stops the thread; the board hangs up with it.
    ~SimThread();
    SimThread(const SimThread&) = delete;
    SimThread& operator=(const SimThread&) = delete;

    // The device a client opens.
    const std::string& device() const { return device_; }

    // Runs fn(board) on the board's thread, waits for it and returns its result; what fn throws
    // is thrown here. Must not be called from the board's own thread. The board's thread is
    // not copied into a child that the process forks: there, call() throws Error (WrongThread)
    // at once, and destroying the SimThread leaves the parent's board alone.
    template <typename Fn>
    auto call(Fn&& fn) -> std::invoke_result_t<Fn&, PtyBoard&> {
        checkProcess();
        using R = std::invoke_result_t<Fn&, PtyBoard&>;
        std::packaged_task<R()> task([&fn, this] { return fn(*board_); });
        std::future<R> done = task.get_future();
        post([&task] { task(); });
        return done.get();
    }

  private:
    // Throws in a forked child.
    void checkProcess() const;
    void post(std::function<void()> job);
    void run(PtyBoard::Options options, std::promise<std::string>& started);

    std::mutex mutex_;
    std::vector<std::function<void()>> jobs_;
    bool stop_ = false;
    int wake_ = -1;  // eventfd, owned by the thread's side; valid while the thread runs
    std::unique_ptr<PtyBoard> board_;
    std::string device_;
    std::thread thread_;
    pid_t owner_;  // the process whose thread serves the board
};

}  // namespace vantrel::sim
