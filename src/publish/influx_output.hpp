// vantrel publishing: readings to InfluxDB 1.x as line protocol, POSTed to /write in batches
// (at most one a second). A server that is down or slow delays the batches, never a board: the
// readings wait in the bounded queue (beyond it they are dropped and counted) and are written
// when the server answers again.
#pragma once

#include <atomic>
#include <string>
#include <thread>

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

    InfluxOutput(const InfluxTarget& target, MessageFn message, std::size_t bound = 200'000);
    ~InfluxOutput() override;

    // Notes belong to the recording, not to a channel's series.
    void offer(const acquire::Record& record) noexcept override {
        if (record.status != acquire::Status::Note) queue_.push(record);
    }
    // Writes what is queued (for a few seconds at most while the server answers) and ends.
    void stop() override;
    const char* kind() const override { return "influx"; }
    uint64_t sent() const override { return sent_.load(); }
    // Dropped for want of room in the queue, or refused by the server (said the first time and
    // in all at the end).
    uint64_t dropped() const override { return queue_.dropped() + refused_.load(); }

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
    Fd stopFd_;
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> refused_{0};
    bool created_ = false;  // the database was created by us, once
    std::thread thread_;
};

}  // namespace vantrel::publish
