// vantrel publishing: readings to InfluxDB 1.x as line protocol, POSTed to /write in batches
// (at most one a second). A server that is down or slow delays the batches, never a board: the
// readings wait in the bounded queue and are written when the server answers again; what did
// not fit in the queue follows from the recording (backlog.hpp). A reading written twice (a
// batch whose answer was lost) lands on itself: a series' point is its time.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "backlog.hpp"
#include "endpoint.hpp"
#include "fd.hpp"
#include "http_client.hpp"
#include "publisher.hpp"
#include "record_queue.hpp"

namespace vantrel::publish {

// One record as a line of line protocol, with its line end: measurement "vantrel", tags board,
// bits, channel, name and unit (left out when empty), fields value and raw (when there) and
// status (with text when set), the time in nanoseconds.
std::string influxLine(const acquire::Record& r);

class InfluxOutput : public Publisher {
  public:
    static constexpr std::size_t kBatch = 5000;

    InfluxOutput(const InfluxTarget& target, MessageFn message, std::size_t bound = 200'000,
                 Replay replay = {});
    ~InfluxOutput() override;

    // Notes belong to the recording, not to a channel's series: they only keep the sequence
    // whole, and are not sent.
    void offer(const acquire::Record& record) noexcept override { queue_.push(record); }
    // Writes what is queued (for a few seconds at most while the server answers) and ends.
    void stop() override;
    const char* kind() const override { return "influx"; }
    uint64_t sent() const override { return sent_.load(); }
    // Refused by the server (said the first time and in all at the end), or neither in the
    // queue nor in the recording to send later.
    uint64_t dropped() const override { return backlog_.lost() + refused_.load(); }

  private:
    void run();
    struct Outcome {
        std::string problem;   // empty when the batch was written
        bool refused = false;  // the server will not take it: dropped, not tried again
    };
    Outcome write(HttpClient& client, const std::string& lines);

    InfluxTarget target_;
    std::string where_;
    MessageFn message_;
    RecordQueue queue_;
    Backlog backlog_;  // the output's thread's
    Fd stopFd_;
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> refused_{0};
    bool created_ = false;  // the database was created by us, once
    std::thread thread_;
};

}  // namespace vantrel::publish
