// vantrel publishing: readings to an MQTT broker (libmosquitto). One JSON message a reading on
// PREFIX/BOARD/CHANNEL at QoS 1; each limit's alarm state retained on its own topic below the
// channel's; PREFIX/status says "online", retained, with "offline" as the
// last will and at the end; optionally Home Assistant discovery messages. While the broker is
// away the readings wait in the bounded queue and go out when it is back; what did not fit
// follows from the recording with its own time stamps (backlog.hpp). The cursor is the reading
// before the oldest one the broker has not acknowledged: acknowledgements come in any order.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "backlog.hpp"
#include "endpoint.hpp"
#include "fd.hpp"
#include "log_config.hpp"
#include "publisher.hpp"
#include "record_queue.hpp"

struct mosquitto;

namespace vantrel::publish {

// Refuses names that would share a topic (or, with discovery, a Home Assistant id) once made
// topic levels: boards "a/b" and "a b", or two such channels of a board. Throws
// acquire::ConfigError.
void checkTopics(const std::string& prefix, const acquire::LogConfig& config, bool discovery);
// The topic of a record's channel: "PREFIX/BOARD/CHANNEL" with each name made a topic level.
std::string readingTopic(const std::string& prefix, const acquire::Record& r);
// The topic of an alarm record's state: "PREFIX/BOARD/CHANNEL/alarm/LIMIT".
std::string alarmTopic(const std::string& prefix, const acquire::Record& r,
                       const std::string& limit);
// An alarm record as its retained message: {"alarm": "high", "state": "raised", "limit": 3.3,
// "value": 3.41, "time": ..., "board": ..., "name": ..., "unit": ...}.
std::string alarmPayload(const acquire::Record& r);
// The retained "clear" state of every limit of a run, sent when a recorder first connects so
// that a state left raised by an earlier run does not stand: [topic, payload].
std::vector<std::pair<std::string, std::string>> alarmStates(const std::string& prefix,
                                                             const acquire::LogConfig& config);
// The Home Assistant discovery messages of a run's channels: [topic, payload].
std::vector<std::pair<std::string, std::string>> discoveryMessages(
    const std::string& prefix, const acquire::LogConfig& config);

class MqttOutput : public Publisher {
  public:
    // How many readings may be handed to the broker and not yet acknowledged.
    static constexpr std::size_t kInFlight = 1000;

    // Starts connecting (a broker away at the start is tried again, as later) and the thread.
    // Throws std::runtime_error when libmosquitto cannot be set up.
    MqttOutput(const MqttTarget& target, const acquire::LogConfig& config, bool discovery,
               MessageFn message, std::size_t bound = 100'000, Replay replay = {});
    ~MqttOutput() override;

    // Notes belong to the recording, not to a channel's series: they only keep the sequence
    // whole, and are not sent.
    void offer(const acquire::Record& record) noexcept override { queue_.push(record); }
    // Sends what is queued while the broker is there (for a few seconds at most), says
    // "offline" and disconnects.
    void stop() override;
    const char* kind() const override { return "mqtt"; }
    uint64_t sent() const override { return sent_.load(); }
    // Refused by the library (a topic or payload it cannot carry), or neither in the queue nor
    // in the recording to send later.
    uint64_t dropped() const override { return backlog_.lost() + refused_.load(); }
    bool connected() const { return connected_.load(); }

  private:
    void run();
    // Moves the cursor to the reading before the oldest not acknowledged.
    void ackUpTo(uint64_t handedUpTo);
    void wake();
    void useCredentials();
    void connectNow();
    void onConnect(int rc);
    void onDisconnect(int rc);
    void onPublish(int mid);
    bool publish(const std::string& topic, const std::string& payload, bool retain, int* mid);

    MqttTarget target_;
    std::string where_;
    std::string statusTopic_;
    std::vector<std::pair<std::string, std::string>> discovery_;
    std::vector<std::pair<std::string, std::string>> alarmStates_;  // sent on the first connect
    MessageFn message_;
    RecordQueue queue_;
    Backlog backlog_;  // the output's thread's
    mosquitto* mosq_ = nullptr;
    Fd wake_;  // eventfd: acknowledgements, connections and stop() wake the thread
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> refused_{0};
    std::size_t leftOver_ = 0;  // readings the thread still held when it ended
    std::mutex mutex_;          // guards inFlight_, unacked_ and the publish calls
    std::unordered_map<int, uint64_t> inFlight_;  // message id -> sequence number
    std::set<uint64_t> unacked_;  // handed out and not acknowledged (in flight or to send again)
    bool everConnected_ = false;  // under mutex_
    bool saidAway_ = false;       // under mutex_
    // Until the first connection is under way (the constructor's thread, then run()'s).
    bool loopStarted_ = false;
    std::chrono::steady_clock::time_point nextConnect_;
    std::chrono::seconds connectPause_{1};
    std::thread thread_;
};

}  // namespace vantrel::publish
