// vantrel publishing: the outputs that are served: the live page (--http) and the Prometheus
// metrics (--metrics). Each has a thread with its own event loop and HTTP server.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "endpoint.hpp"
#include "fd.hpp"
#include "log_config.hpp"
#include "publisher.hpp"
#include "record_queue.hpp"

namespace vantrel::publish {

class ServedOutput : public Publisher {
  public:
    enum class Kind { Page, Metrics };

    // Binds at once (throws std::runtime_error when the address cannot be listened on) and
    // starts the thread. `boards` may be empty until setBoards(); the page's notes go to `notes`.
    ServedOutput(Kind kind, const Endpoint& at, const acquire::LogConfig& config, BoardsFn boards,
                 NoteFn notes = {});
    ~ServedOutput() override;

    void offer(const acquire::Record& record) noexcept override { queue_.push(record); }
    void stop() override;
    const char* kind() const override { return kind_ == Kind::Page ? "http" : "metrics"; }
    uint64_t sent() const override { return taken_.load(); }
    uint64_t dropped() const override { return queue_.dropped(); }
    // The port listened on.
    uint16_t port() const;

  private:
    struct State;
    void run();

    Kind kind_;
    RecordQueue queue_;
    std::unique_ptr<State> state_;
    Fd stopFd_;
    std::atomic<uint64_t> taken_{0};
    std::thread thread_;
};

// The live page's HTML (one file: its styles and script inline; Chart.js comes from /chart.js).
extern const char* const kLivePage;

}  // namespace vantrel::publish
