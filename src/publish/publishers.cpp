// vantrel publishing: the set of outputs.
#include "publishers.hpp"

#include <stdexcept>

#include "credentials.hpp"
#include "influx_output.hpp"
#include "mqtt_output.hpp"
#include "record_output.hpp"
#include "served_output.hpp"

namespace vantrel::publish {

namespace {

template <typename F>
auto checked(const char* option, const std::string& text, F parse) {
    try {
        return parse(text);
    } catch (const std::invalid_argument& e) {
        throw acquire::ConfigError(std::string(option) + ": " + e.what());
    }
}

Endpoint listenAt(const char* option, const std::string& text, bool allowRemote) {
    return checked(option, text, [allowRemote](const std::string& t) {
        Endpoint e = parseListen(t);
        checkBind(e, allowRemote);
        return e;
    });
}

}  // namespace

void checkPublish(const acquire::PublishConfig& c) {
    if (!c.http.empty()) listenAt("--http", c.http, c.allowRemote);
    if (!c.metrics.empty()) listenAt("--metrics", c.metrics, c.allowRemote);
    if (!c.mqtt.empty())
        checked("--mqtt", c.mqtt, [](const std::string& t) { return parseMqtt(t); });
    if (!c.influx.empty())
        checked("--influx", c.influx, [](const std::string& t) { return parseInflux(t); });
    if (c.mqttDiscovery && c.mqtt.empty())
        throw acquire::ConfigError("--mqtt-discovery: needs --mqtt");
}

void checkPublish(const acquire::LogConfig& config) {
    const acquire::PublishConfig& c = config.publish;
    checkPublish(c);
    if (!c.mqtt.empty()) checkTopics(parseMqtt(c.mqtt).prefix, config, c.mqttDiscovery);
}

Publishers::Publishers(const acquire::LogConfig& config, MessageFn message) {
    const acquire::PublishConfig& c = config.publish;
    checkPublish(config);
    // The served outputs ask for the boards through one indirection that the recorder fills in
    // once it runs.
    BoardsFn boards = [m = boardsMutex_, b = boards_] {
        const std::lock_guard lock(*m);
        return *b ? (*b)() : std::vector<acquire::BoardStatus>{};
    };
    NoteFn notes = [m = boardsMutex_, n = notes_](const std::string& text) -> std::string {
        const std::lock_guard lock(*m);
        if (!*n) throw std::invalid_argument("the recorder takes no notes now");
        return (*n)(text);
    };
    const auto served = [&](ServedOutput::Kind kind, const char* option, const std::string& at) {
        const Endpoint e = listenAt(option, at, c.allowRemote);
        try {
            outputs_.push_back(std::make_unique<ServedOutput>(kind, e, config, boards, notes));
        } catch (const std::runtime_error& err) {
            throw std::runtime_error(std::string(option) + ": " + err.what());
        }
    };
    Credentials credentials;
    if (!c.credentials.empty())
        credentials = checked("--credentials", c.credentials, [](const std::string& path) {
            const std::string text = readSecretFile(path);
            try {
                return parseCredentials(text);
            } catch (const std::invalid_argument& e) {
                throw std::invalid_argument(path + ": " + e.what());
            }
        });
    if (!c.http.empty()) served(ServedOutput::Kind::Page, "--http", c.http);
    if (!c.metrics.empty()) served(ServedOutput::Kind::Metrics, "--metrics", c.metrics);
    Replay replay;
    replay.recording = config.out;
    replay.replayable = acquire::outputKind(config.out) == acquire::OutputKind::Sqlite;
    replay.save = [m = boardsMutex_, s = cursors_](const std::string& output, uint64_t seq) {
        const std::lock_guard lock(*m);
        if (*s) (*s)(output, seq);
    };
    if (!c.mqtt.empty()) {
        MqttTarget target = parseMqtt(c.mqtt);
        target.credentials = credentials.mqtt;
        outputs_.push_back(std::make_unique<MqttOutput>(target, config, c.mqttDiscovery, message,
                                                        c.queue > 0 ? c.queue : 100'000, replay));
    }
    if (!c.influx.empty()) {
        InfluxTarget target = parseInflux(c.influx);
        target.credentials = credentials.influx;
        outputs_.push_back(std::make_unique<InfluxOutput>(target, message,
                                                          c.queue > 0 ? c.queue : 200'000, replay));
    }
}

Publishers::~Publishers() {
    stop();
}

std::vector<acquire::RecordTap*> Publishers::taps() const {
    std::vector<acquire::RecordTap*> all;
    for (const auto& o : outputs_) all.push_back(o.get());
    return all;
}

void Publishers::setBoards(BoardsFn boards) {
    const std::lock_guard lock(*boardsMutex_);
    *boards_ = std::move(boards);
}

void Publishers::setNotes(NoteFn notes) {
    const std::lock_guard lock(*boardsMutex_);
    *notes_ = std::move(notes);
}

void Publishers::setCursors(CursorFn cursors) {
    const std::lock_guard lock(*boardsMutex_);
    *cursors_ = std::move(cursors);
}

void Publishers::stop() {
    for (const auto& o : outputs_) o->stop();
    setBoards({});
    setNotes({});
    setCursors({});
}

}  // namespace vantrel::publish
