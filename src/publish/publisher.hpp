// vantrel publishing: an output that publishes readings somewhere other than the output file.
// Each runs on a thread of its own and takes records through a bounded queue, so that a slow or
// absent server never delays a board; each fails on its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board_worker.hpp"
#include "record_tap.hpp"

namespace vantrel::publish {

// The boards' status when an output asks (from its own thread).
using BoardsFn = std::function<std::vector<acquire::BoardStatus>()>;
// Writes a note into the recording; returns its time as the records store it, or throws
// std::invalid_argument with the reason it is refused (from the output's thread).
using NoteFn = std::function<std::string(const std::string& text)>;
// Problems and recoveries, said once each (from the output's thread).
using MessageFn = std::function<void(const std::string&)>;

class Publisher : public acquire::RecordTap {
  public:
    // Ends the thread; what is still queued is sent when it can be within a short bound.
    virtual void stop() = 0;
    // "http", "metrics", "mqtt", "influx".
    virtual const char* kind() const = 0;
    // Records sent (or taken in, for the page and the metrics).
    virtual uint64_t sent() const = 0;
    // Records lost because the queue was full.
    virtual uint64_t dropped() const = 0;
};

}  // namespace vantrel::publish
