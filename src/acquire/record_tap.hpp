// vantrel recorder: something that sees every record as a board hands it over, besides the
// output file (the published outputs: a web page, metrics, a broker, a time-series database).
#pragma once

#include "record.hpp"

namespace vantrel::acquire {

class RecordTap {
  public:
    virtual ~RecordTap() = default;
    // Runs on the board's thread, inside its pacing: it copies the record into a bounded queue
    // and returns; it never waits for a network, a disk or another thread's work.
    virtual void offer(const Record& record) noexcept = 0;
};

}  // namespace vantrel::acquire
