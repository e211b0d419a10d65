// vantrel publishing: the outputs of a run besides its file, made from its configuration.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "backlog.hpp"
#include "log_config.hpp"
#include "publisher.hpp"

namespace vantrel::publish {

// Checks the addresses of the configuration's outputs: their form, and that a listener binds
// the loopback interface unless remote ones are allowed. Throws acquire::ConfigError naming
// the option.
void checkPublish(const acquire::PublishConfig& config);
// The same, and that the boards' and channels' names stay apart where an output needs them
// to (MQTT topics).
void checkPublish(const acquire::LogConfig& config);

class Publishers {
  public:
    // Starts every configured output (listeners are bound at once). Throws acquire::ConfigError
    // for an address of the wrong form, std::runtime_error for one that cannot be listened on.
    Publishers(const acquire::LogConfig& config, MessageFn message);
    ~Publishers();

    // The taps to hand to the recorder.
    std::vector<acquire::RecordTap*> taps() const;
    // Where the served outputs take the boards' status from, once the recorder runs.
    void setBoards(BoardsFn boards);
    // Where the live page's notes go, once the recorder runs.
    void setNotes(NoteFn notes);
    // Where the MQTT and InfluxDB outputs store their cursors, once the recorder runs.
    void setCursors(CursorFn cursors);
    // Stops every output: each sends what it holds within its own short bound.
    void stop();
    const std::vector<std::unique_ptr<Publisher>>& outputs() const { return outputs_; }

  private:
    std::shared_ptr<std::mutex> boardsMutex_ = std::make_shared<std::mutex>();
    std::shared_ptr<BoardsFn> boards_ = std::make_shared<BoardsFn>();
    std::shared_ptr<NoteFn> notes_ = std::make_shared<NoteFn>();
    std::shared_ptr<CursorFn> cursors_ = std::make_shared<CursorFn>();
    std::vector<std::unique_ptr<Publisher>> outputs_;
};

}  // namespace vantrel::publish
