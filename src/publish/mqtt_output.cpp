// vantrel publishing: MQTT.
#include "mqtt_output.hpp"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "alarms.hpp"

namespace vantrel::publish {

namespace {

using Clock = std::chrono::steady_clock;

// An id Home Assistant accepts: letters, digits, '_' and '-'.
std::string objectId(std::string_view text) {
    std::string out;
    for (const char c : text)
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    return out;
}

void libraryInit() {
    static const int once = [] { return mosquitto_lib_init(); }();
    (void)once;
}

}  // namespace

void checkTopics(const std::string& prefix, const acquire::LogConfig& config, bool discovery) {
    // Each name as its topic level, and as its part of a discovery id where those are sent.
    const auto forms = [discovery](const std::string& name) {
        std::vector<std::string> out{topicLevel(name)};
        if (discovery) out.push_back(objectId(topicLevel(name)));
        return out;
    };
    const auto clash = [&](std::map<std::string, std::string>& seen, const std::string& name,
                           const std::string& what) {
        for (const std::string& form : forms(name)) {
            const auto [it, fresh] = seen.emplace(form, name);
            if (!fresh && it->second != name)
                throw acquire::ConfigError("--mqtt: " + what + " \"" + it->second + "\" and \"" +
                                           name +
                                           "\" would share the topic level or Home "
                                           "Assistant id \"" +
                                           form + "\" under " + prefix + ": rename one");
        }
    };
    std::map<std::string, std::string> boards;
    for (const acquire::BoardConfig& b : config.boards) {
        clash(boards, b.name, "the boards");
        std::map<std::string, std::string> channels;
        for (const acquire::ChannelConfig& c : b.channels)
            clash(channels, c.name, "the channels of board \"" + b.name + "\"");
    }
}

std::string readingTopic(const std::string& prefix, const acquire::Record& r) {
    return prefix + "/" + topicLevel(r.board) + "/" + topicLevel(r.name);
}

std::string alarmTopic(const std::string& prefix, const acquire::Record& r,
                       const std::string& limit) {
    return readingTopic(prefix, r) + "/alarm/" + limit;
}

std::string alarmPayload(const acquire::Record& r) {
    const std::optional<acquire::AlarmChange> a = acquire::alarmOf(r);
    if (!a) return {};
    nlohmann::json j = {{"alarm", acquire::alarmLimitName(a->limit)},
                        {"state", a->raised ? "raised" : "clear"},
                        {"limit", a->threshold},
                        {"time", acquire::isoTime(r.time)},
                        {"board", r.board},
                        {"name", r.name},
                        {"unit", r.unit}};
    if (r.value) j["value"] = *r.value;
    return j.dump();
}

std::vector<std::pair<std::string, std::string>> alarmStates(const std::string& prefix,
                                                             const acquire::LogConfig& config) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const acquire::BoardConfig& b : config.boards)
        for (const acquire::ChannelConfig& c : b.channels) {
            acquire::Record r;
            r.board = b.name;
            r.name = c.name;
            r.unit = c.unit;
            r.status = acquire::Status::Alarm;
            r.time = std::chrono::system_clock::now();
            const auto add = [&](acquire::AlarmLimit limit, double threshold) {
                r.text = acquire::alarmText({limit, false, threshold});
                out.emplace_back(alarmTopic(prefix, r, acquire::alarmLimitName(limit)),
                                 alarmPayload(r));
            };
            if (c.limits.high) add(acquire::AlarmLimit::High, *c.limits.high);
            if (c.limits.low) add(acquire::AlarmLimit::Low, *c.limits.low);
            if (b.away) add(acquire::AlarmLimit::Away, *b.away);
        }
    return out;
}

std::vector<std::pair<std::string, std::string>> discoveryMessages(
    const std::string& prefix, const acquire::LogConfig& config) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const acquire::BoardConfig& b : config.boards) {
        const std::string device = objectId("vantrel_" + prefix + "_" + topicLevel(b.name));
        for (const acquire::ChannelConfig& c : b.channels) {
            acquire::Record r;
            r.board = b.name;
            r.name = c.name;
            const std::string id = objectId(device + "_" + topicLevel(c.name));
            nlohmann::json j = {
                {"name", c.name},
                {"unique_id", id},
                {"state_topic", readingTopic(prefix, r)},
                {"value_template", "{{ value_json.value }}"},
                {"availability_topic", prefix + "/status"},
                {"payload_available", "online"},
                {"payload_not_available", "offline"},
                {"state_class", "measurement"},
                {"device",
                 {{"identifiers", {device}},
                  {"name", b.name},
                  {"model", "vantrel " + (b.origin.empty() ? b.device : b.origin)}}}};
            if (!c.unit.empty()) j["unit_of_measurement"] = c.unit;
            out.emplace_back("homeassistant/sensor/" + id + "/config", j.dump());
        }
    }
    return out;
}

MqttOutput::MqttOutput(const MqttTarget& target, const acquire::LogConfig& config, bool discovery,
                       MessageFn message, std::size_t bound, Replay replay)
    : target_(target),
      where_(target.broker.host + ":" + std::to_string(target.broker.port)),
      statusTopic_(target.prefix + "/status"),
      message_(std::move(message)),
      queue_(bound),
      backlog_(std::move(replay), "mqtt mqtt://" + where_ + "/" + target.prefix, "mqtt: " + where_,
               message_),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!wake_) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    if (discovery) discovery_ = discoveryMessages(target_.prefix, config);
    alarmStates_ = alarmStates(target_.prefix, config);
    libraryInit();
    mosq_ = mosquitto_new(nullptr, true, this);
    if (!mosq_) throw std::runtime_error(std::string("mqtt: ") + std::strerror(errno));
    mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, static_cast<int>(kInFlight));
    static constexpr char offline[] = "offline";
    mosquitto_will_set(mosq_, statusTopic_.c_str(), sizeof offline - 1, offline, 1, true);
    mosquitto_reconnect_delay_set(mosq_, 1, 8, true);
    mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
        static_cast<MqttOutput*>(self)->onConnect(rc);
    });
    mosquitto_disconnect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
        static_cast<MqttOutput*>(self)->onDisconnect(rc);
    });
    mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
        static_cast<MqttOutput*>(self)->onPublish(mid);
    });
    try {
        useCredentials();
        connectNow();
    } catch (const std::runtime_error&) {
        mosquitto_destroy(mosq_);
        throw;
    }
    thread_ = std::thread([this] { run(); });
}

MqttOutput::~MqttOutput() {
    stop();
    if (mosq_) mosquitto_destroy(mosq_);
}

void MqttOutput::useCredentials() {
    const ServerCredentials& c = target_.credentials;
    if (!c.user.empty() &&
        mosquitto_username_pw_set(mosq_, c.user.c_str(),
                                  c.password.empty() ? nullptr : c.password.c_str()) !=
            MOSQ_ERR_SUCCESS)
        throw std::runtime_error("mqtt: the user name cannot be used");
    if (!c.tls()) return;
    // The broker's certificate is checked against the CA, and its name against the host.
    const int rc = mosquitto_tls_set(mosq_, c.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("mqtt: TLS with the CA file " + c.caFile + ": " +
                                 (::access(c.caFile.c_str(), R_OK) != 0 ? std::strerror(errno)
                                                                        : mosquitto_strerror(rc)));
}

void MqttOutput::connectNow() {
    // The library's thread keeps a connection and makes it again after a loss, but gives up
    // on one that was never made: until the first is, it is tried from here, with a growing
    // pause, and the thread starts once one is under way.
    const int rc =
        mosquitto_connect_async(mosq_, target_.broker.host.c_str(), target_.broker.port, 30);
    if (rc == MOSQ_ERR_SUCCESS) {
        if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("mqtt: the network thread cannot start");
        loopStarted_ = true;
        return;
    }
    nextConnect_ = Clock::now() + connectPause_;
    connectPause_ = std::min(connectPause_ * 2, std::chrono::seconds(8));
    const std::lock_guard lock(mutex_);
    if (!saidAway_ && message_)
        message_("mqtt: broker " + where_ + " not reached (" +
                 (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)) +
                 "); holding up to " + std::to_string(queue_.bound()) +
                 " readings and trying again");
    saidAway_ = true;
}

void MqttOutput::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wake_.get(), &one, sizeof one);
}

bool MqttOutput::publish(const std::string& topic, const std::string& payload, bool retain,
                         int* mid) {
    return mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, retain) == MOSQ_ERR_SUCCESS;
}

void MqttOutput::onConnect(int rc) {
    if (rc != 0) {
        const std::lock_guard lock(mutex_);
        if (!saidAway_ && message_)
            message_("mqtt: broker " + where_ + " refused: " + mosquitto_connack_string(rc));
        saidAway_ = true;
        return;
    }
    publish(statusTopic_, "online", true, nullptr);
    for (const auto& [topic, payload] : discovery_) publish(topic, payload, true, nullptr);
    connected_ = true;
    {
        const std::lock_guard lock(mutex_);
        // Alarms of this run raised before this connection are queued behind these.
        if (!everConnected_)
            for (const auto& [topic, payload] : alarmStates_)
                publish(topic, payload, true, nullptr);
        if (saidAway_ && message_) message_("mqtt: connected to " + where_ + " again");
        saidAway_ = false;
        everConnected_ = true;
    }
    wake();
}

void MqttOutput::onDisconnect(int rc) {
    connected_ = false;
    if (rc == 0 || stop_) return;
    const std::lock_guard lock(mutex_);
    if (!saidAway_ && message_)
        message_("mqtt: broker " + where_ + " away; holding up to " +
                 std::to_string(queue_.bound()) + " readings until it is back");
    saidAway_ = true;
}

void MqttOutput::onPublish(int mid) {
    bool reading = false;
    {
        const std::lock_guard lock(mutex_);
        if (const auto it = inFlight_.find(mid); it != inFlight_.end()) {
            if (it->second != 0) unacked_.erase(it->second);
            inFlight_.erase(it);
            reading = true;
        }
    }
    if (reading) {
        ++sent_;
        wake();
    }
}

void MqttOutput::ackUpTo(uint64_t handedUpTo) {
    uint64_t acked;
    {
        const std::lock_guard lock(mutex_);
        acked = unacked_.empty() ? handedUpTo : *unacked_.begin() - 1;
    }
    backlog_.acked(acked);
}

void MqttOutput::run() {
    std::vector<acquire::Record> live;  // taken from the queue, not yet handed out
    std::vector<acquire::Record> batch;
    // Readings the library refused (the connection was lost between our look and the call):
    // sent again first once connected. The library may have kept one too, so the broker can get
    // such a reading twice, as QoS 1 allows, but never none.
    std::deque<acquire::Record> again;
    uint64_t handedUpTo = 0;  // every record up to it handed out (sent, or not for sending)
    std::optional<Clock::time_point> stopBy;
    while (true) {
        if (stop_ && !stopBy) stopBy = Clock::now() + std::chrono::seconds(3);
        if (!loopStarted_ && !stop_ && Clock::now() >= nextConnect_) {
            try {
                connectNow();
            } catch (const std::runtime_error& e) {
                if (message_) message_(e.what());
                break;
            }
        }
        std::size_t room = 0;
        if (connected_) {
            const std::lock_guard lock(mutex_);
            room = kInFlight - std::min(kInFlight, inFlight_.size());
        }
        batch.clear();
        bool refusedNow = false;
        while (batch.size() < room && !again.empty()) {
            batch.push_back(std::move(again.front()));
            again.pop_front();
        }
        if (batch.size() < room) {
            if (live.size() < kInFlight) queue_.take(live, kInFlight - live.size());
            Backlog::Next next = backlog_.next(live, room - batch.size());
            if (!next.empty()) {
                const std::lock_guard lock(mutex_);
                for (acquire::Record& r : next.records) {
                    if (r.seq != 0) unacked_.insert(r.seq);
                    batch.push_back(std::move(r));
                }
                handedUpTo = std::max(handedUpTo, next.upTo);
            }
        }
        for (acquire::Record& r : batch) {
            // An alarm's message is the state of its limit, kept by the broker for whoever
            // subscribes later.
            const std::optional<acquire::AlarmChange> alarm = acquire::alarmOf(r);
            std::string payload = alarm ? alarmPayload(r) : acquire::jsonLine(r);
            if (!payload.empty() && payload.back() == '\n') payload.pop_back();
            const std::string topic =
                alarm ? alarmTopic(target_.prefix, r, acquire::alarmLimitName(alarm->limit))
                      : readingTopic(target_.prefix, r);
            const std::lock_guard lock(mutex_);
            int mid = 0;
            const int rc =
                mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                  payload.data(), 1, alarm.has_value());
            if (rc == MOSQ_ERR_SUCCESS) {
                inFlight_.emplace(mid, r.seq);
            } else if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO) {
                again.push_back(std::move(r));
                refusedNow = true;
            } else {
                if (r.seq != 0) unacked_.erase(r.seq);
                ++refused_;
            }
        }
        if (stopBy) {
            bool idle;
            {
                const std::lock_guard lock(mutex_);
                idle = inFlight_.empty() && queue_.size() == 0 && again.empty() && live.empty();
            }
            if (idle || !connected_ || Clock::now() >= *stopBy) break;
        }
        // Woken by new readings (while there is room), acknowledgements, connections and stop.
        // After a refusal, the next try waits for the connection's news or 200 ms; a backlog
        // goes on when its rate allows.
        const bool wantMore =
            connected_ && !refusedNow && room > batch.size() && live.size() < kInFlight;
        pollfd p[2] = {{wake_.get(), POLLIN, 0},
                       {queue_.fd(), static_cast<short>(wantMore ? POLLIN : 0), 0}};
        const auto pause = backlog_.pause().count();
        ::poll(
            p, 2,
            backlog_.behind() && pause > 0 ? static_cast<int>(std::min<int64_t>(pause, 200)) : 200);
        uint64_t count;
        [[maybe_unused]] const auto n = ::read(wake_.get(), &count, sizeof count);
        ackUpTo(handedUpTo);
    }
    backlog_.finish();
    ackUpTo(handedUpTo);
    leftOver_ = again.size() + live.size();
}

void MqttOutput::stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    wake();
    thread_.join();
    const bool up = connected_;
    if (up) {
        int mid = 0;
        publish(statusTopic_, "offline", true, &mid);
        mosquitto_disconnect(mosq_);
    }
    if (loopStarted_) mosquitto_loop_stop(mosq_, !up);
    std::size_t unsent;
    {
        const std::lock_guard lock(mutex_);
        unsent = inFlight_.size() + queue_.size() + leftOver_;
    }
    if (unsent > 0 && message_)
        message_("mqtt: " + std::to_string(unsent) + " readings not sent to " + where_ +
                 (backlog_.keeps() ? "; the next run sends them from the recording" : ""));
}

}  // namespace vantrel::publish
