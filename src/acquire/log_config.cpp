// vantrel recorder: the configuration file.
#include "log_config.hpp"
#include "line_rates.hpp"

#include <toml++/toml.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "record.hpp"
#include "store/toml_reader.hpp"
#include "vantrel/converters.hpp"

namespace vantrel::acquire {

namespace {

// The highest channel number any converter has: a channel key is checked before its width.
int highestChannel() {
    int top = 0;
    for (const Converter& c : converters()) top = std::max(top, int{c.lastChannel});
    return top;
}

// Where a problem is, for its message.
struct Place {
    const std::string* file;
    std::string key;
    toml::source_position at;

    [[noreturn]] void fail(const std::string& what) const {
        std::string text = *file;
        if (at.line != 0) text += ":" + std::to_string(at.line) + ":" + std::to_string(at.column);
        text += ": ";
        if (!key.empty()) text += key + ": ";
        throw ConfigError(text + what);
    }
    Place sub(std::string_view name, const toml::node& node) const {
        return {file, key.empty() ? std::string(name) : key + "." + std::string(name),
                node.source().begin};
    }
    // A key's place is where the key itself is written.
    Place sub(const toml::key& k) const {
        return {file, key.empty() ? std::string(k.str()) : key + "." + std::string(k.str()),
                k.source().begin};
    }
    Place item(std::size_t index, const toml::node& node) const {
        return {file, key + "[" + std::to_string(index + 1) + "]", node.source().begin};
    }
};

// A name or unit goes into the line protocol, topics, the summary and the journal, none of
// which can carry a line end or another control character.
void checkPrintable(const std::string& text, const std::function<void(const std::string&)>& fail) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            fail(
                "must not hold a line end or another control character (the published "
                "outputs, the summary and the journal cannot carry it)");
}

const char* typeText(const toml::node& n) {
    switch (n.type()) {
        case toml::node_type::table:
            return "a table";
        case toml::node_type::array:
            return "an array";
        case toml::node_type::string:
            return "a string";
        case toml::node_type::integer:
            return "an integer";
        case toml::node_type::floating_point:
            return "a number";
        case toml::node_type::boolean:
            return "true or false";
        default:
            return "a date or time";
    }
}

double number(const toml::node& n, const Place& p) {
    if (const auto* i = n.as_integer()) return static_cast<double>(i->get());
    if (const auto* f = n.as_floating_point()) {
        if (!std::isfinite(f->get())) p.fail("must be a finite number");
        return f->get();
    }
    p.fail(std::string("must be a number, got ") + typeText(n));
}

int64_t integer(const toml::node& n, const Place& p) {
    if (const auto* i = n.as_integer()) return i->get();
    p.fail(std::string("must be a whole number, got ") + typeText(n));
}

std::string text(const toml::node& n, const Place& p) {
    if (const auto* s = n.as_string()) return s->get();
    p.fail(std::string("must be a string, got ") + typeText(n));
}

const toml::table& tableOf(const toml::node& n, const Place& p) {
    if (const auto* t = n.as_table()) return *t;
    p.fail(std::string("must be a table, got ") + typeText(n));
}

// The tables of an array of tables ([[board]]), or one table given as such.
std::vector<std::pair<const toml::table*, Place>> tablesOf(const toml::node& n, const Place& p) {
    std::vector<std::pair<const toml::table*, Place>> out;
    if (const auto* t = n.as_table()) {
        out.emplace_back(t, p);
        return out;
    }
    const auto* a = n.as_array();
    if (!a) p.fail(std::string("must be a table or an array of tables, got ") + typeText(n));
    for (std::size_t i = 0; i < a->size(); ++i) {
        const toml::node& e = *a->get(i);
        const Place ep = p.item(i, e);
        out.emplace_back(&tableOf(e, ep), ep);
    }
    return out;
}

// Why a board's check interval cannot be used; empty when it can.
std::string checkProblem(double seconds) {
    if (seconds == 0 || (seconds >= kMinPeriod && seconds <= kMaxCheck)) return {};
    return "must be 0 (never) or from " + numberText(kMinPeriod) + " to " + numberText(kMaxCheck) +
           " seconds";
}

// Why a channel's number of conversions a reading cannot be used; empty when it can.
std::string averageProblem(int64_t conversions) {
    if (conversions >= 1 && conversions <= kMaxAverage) return {};
    return "must be from 1 to " + std::to_string(kMaxAverage) + " conversions a reading, got " +
           std::to_string(conversions);
}

double period(const toml::node& n, const Place& p) {
    const double v = number(n, p);
    if (!(v >= kMinPeriod && v <= kMaxPeriod))
        p.fail("must be from " + numberText(kMinPeriod) + " to " + numberText(kMaxPeriod) +
               " seconds, got " + numberText(v));
    return v;
}

Calibration calibration(const toml::node& n, const Place& p) {
    const toml::table& t = tableOf(n, p);
    std::optional<double> gain, offset;
    std::optional<Calibration> other;
    for (auto&& [k, v] : t) {
        const Place kp = p.sub(k);
        try {
            if (k == "gain") {
                gain = number(v, kp);
            } else if (k == "offset") {
                offset = number(v, kp);
            } else if (k == "polynomial") {
                const auto* a = v.as_array();
                if (!a) kp.fail(std::string("must be an array of numbers, got ") + typeText(v));
                std::vector<double> c;
                for (std::size_t i = 0; i < a->size(); ++i)
                    c.push_back(number(*a->get(i), kp.item(i, *a->get(i))));
                if (other) kp.fail("give one of gain/offset, polynomial or table");
                other = Calibration::polynomial(std::move(c));
            } else if (k == "table") {
                const auto* a = v.as_array();
                if (!a)
                    kp.fail(std::string("must be an array of [raw, value] pairs, got ") +
                            typeText(v));
                std::vector<std::pair<double, double>> points;
                for (std::size_t i = 0; i < a->size(); ++i) {
                    const Place ip = kp.item(i, *a->get(i));
                    const auto* pair = a->get(i)->as_array();
                    if (!pair || pair->size() != 2) ip.fail("must be a pair [raw, value]");
                    points.emplace_back(number(*pair->get(0), ip), number(*pair->get(1), ip));
                }
                if (other) kp.fail("give one of gain/offset, polynomial or table");
                other = Calibration::table(std::move(points));
            } else {
                kp.fail("unknown key (calibration takes gain and offset, polynomial, or table)");
            }
        } catch (const std::invalid_argument& e) {
            kp.fail(e.what());
        }
    }
    if (other && (gain || offset)) p.fail("give one of gain/offset, polynomial or table");
    if (other) return *other;
    if (gain || offset) return Calibration::linear(gain.value_or(1.0), offset.value_or(0.0));
    p.fail("is empty (give gain and offset, polynomial, or table)");
}

ChannelConfig channelOf(const toml::table& t, const Place& p, double defaultPeriod) {
    ChannelConfig c;
    c.period = defaultPeriod;
    bool haveBits = false, haveChannel = false;
    std::string name;
    Place channelPlace = p;
    Place bitsPlace = p;
    for (auto&& [k, v] : t) {
        const Place kp = p.sub(k);
        if (k == "name") {
            name = text(v, kp);
            checkPrintable(name, [&](const std::string& why) { kp.fail(why); });
        } else if (k == "bits") {
            const int64_t b = integer(v, kp);
            if (lastChannelOf(static_cast<int>(b)) < 0)
                kp.fail("must be " + converterWidthsText(" or ") + ", got " + std::to_string(b));
            c.bits = static_cast<int>(b);
            haveBits = true;
            bitsPlace = kp;
        } else if (k == "channel") {
            const int64_t n = integer(v, kp);
            const int top = highestChannel();
            if (n < 0 || n > top)
                kp.fail("must be 0 to " + std::to_string(top) + ", got " + std::to_string(n));
            c.channel = static_cast<int>(n);
            haveChannel = true;
            channelPlace = kp;
        } else if (k == "unit") {
            c.unit = text(v, kp);
            checkPrintable(c.unit, [&](const std::string& why) { kp.fail(why); });
        } else if (k == "period") {
            c.period = period(v, kp);
        } else if (k == "calibration") {
            c.calibration = calibration(v, kp);
        } else if (k == "high") {
            c.limits.high = number(v, kp);
        } else if (k == "low") {
            c.limits.low = number(v, kp);
        } else if (k == "hysteresis") {
            c.limits.hysteresis = number(v, kp);
            if (c.limits.hysteresis < 0) kp.fail("must not be negative");
        } else if (k == "for") {
            c.limits.forSeconds = number(v, kp);
            if (!(c.limits.forSeconds >= 0 && c.limits.forSeconds <= kMaxPeriod))
                kp.fail("must be from 0 to " + numberText(kMaxPeriod) + " seconds");
        } else if (k == "average") {
            const int64_t n = integer(v, kp);
            if (const std::string why = averageProblem(n); !why.empty()) kp.fail(why);
            c.average = static_cast<int>(n);
        } else {
            kp.fail(
                "unknown key (a channel takes name, bits, channel, unit, period, calibration, "
                "high, low, hysteresis, for, average)");
        }
    }
    try {
        checkLimits(c.limits);
    } catch (const ConfigError& e) {
        p.fail(e.what());
    }
    if (!haveBits) p.fail("bits is missing (" + converterWidthsText(" or ") + ")");
    if (!haveChannel) p.fail("channel is missing");
    if (c.channel > lastChannelOf(c.bits))
        channelPlace.fail("the " + std::to_string(c.bits) + "-bit converter has channels 0 to " +
                          std::to_string(lastChannelOf(c.bits)) + ", got " +
                          std::to_string(c.channel));
    c.name = name.empty() ? std::to_string(c.bits) + ":" + std::to_string(c.channel) : name;
    return c;
}

BoardConfig boardOf(const toml::table& t, const Place& p, double defaultPeriod) {
    BoardConfig b;
    double boardPeriod = defaultPeriod;
    if (const toml::node* n = t.get("period")) boardPeriod = period(*n, p.sub("period", *n));
    const toml::node* channels = nullptr;
    for (auto&& [k, v] : t) {
        const Place kp = p.sub(k);
        if (k == "name") {
            b.name = text(v, kp);
            if (b.name.empty()) kp.fail("must not be empty");
            checkPrintable(b.name, [&](const std::string& why) { kp.fail(why); });
        } else if (k == "device") {
            b.device = text(v, kp);
            if (b.device.empty()) kp.fail("must not be empty");
        } else if (k == "port") {
            const int64_t n = integer(v, kp);
            if (n < 1 || n > 255)
                kp.fail("must be a COM number from 1 to 255, got " + std::to_string(n));
            b.port = static_cast<int>(n);
        } else if (k == "baud") {
            const int64_t n = integer(v, kp);
            if (!isLineRate(n)) kp.fail(std::to_string(n) + ": " + kLineRatesText);
            b.baud = static_cast<int32_t>(n);
        } else if (k == "period") {
        } else if (k == "check") {
            b.check = number(v, kp);
            if (const std::string why = checkProblem(b.check); !why.empty())
                kp.fail(why + ", got " + numberText(b.check));
        } else if (k == "away") {
            b.away = number(v, kp);
            if (!(*b.away > 0 && *b.away <= kMaxPeriod))
                kp.fail("must be more than 0 and at most " + numberText(kMaxPeriod) + " seconds");
        } else if (k == "channel") {
            channels = &v;
        } else {
            kp.fail(
                "unknown key (a board takes name, device or port, baud, period, check, away, "
                "channel)");
        }
    }
    if (b.device.empty() && !b.port) p.fail("device or port is missing");
    if (!b.device.empty() && b.port) p.fail("give device or port, not both");
    if (!channels) p.fail("has no [[board.channel]]");
    // Every output tells a board's channels apart by their names: one converter channel read
    // twice (as volts and as counts) needs two.
    std::set<std::string> names;
    for (const auto& [ct, cp] : tablesOf(*channels, p.sub("channel", *channels))) {
        b.channels.push_back(channelOf(*ct, cp, boardPeriod));
        if (!names.insert(b.channels.back().name).second)
            cp.fail("the name \"" + b.channels.back().name +
                    "\" is used by another channel of this board (a channel read twice needs a "
                    "name for each)");
    }
    if (b.channels.empty()) p.fail("has no channels");
    if (b.name.empty()) b.name = b.port ? "COM" + std::to_string(*b.port) : b.device;
    checkPrintable(
        b.name, [&](const std::string& why) { p.fail("the name taken from the device " + why); });
    return b;
}

PublishConfig publishOf(const toml::node& v, const Place& kp) {
    PublishConfig p;
    for (auto&& [pk, pv] : tableOf(v, kp)) {
        const Place pp = kp.sub(pk);
        const auto flag = [&] {
            const auto* b = pv.as_boolean();
            if (!b) pp.fail(std::string("must be true or false, got ") + typeText(pv));
            return b->get();
        };
        if (pk == "http") {
            p.http = text(pv, pp);
        } else if (pk == "http_minutes") {
            p.httpMinutes = number(pv, pp);
            if (!(p.httpMinutes >= 1 && p.httpMinutes <= 1440)) pp.fail("must be from 1 to 1440");
        } else if (pk == "metrics") {
            p.metrics = text(pv, pp);
        } else if (pk == "mqtt") {
            p.mqtt = text(pv, pp);
        } else if (pk == "mqtt_discovery") {
            p.mqttDiscovery = flag();
        } else if (pk == "influx") {
            p.influx = text(pv, pp);
        } else if (pk == "credentials") {
            p.credentials = text(pv, pp);
        } else if (pk == "queue") {
            const double n = number(pv, pp);
            if (!(n >= 1 && n <= 10'000'000 && n == std::floor(n)))
                pp.fail("must be a whole number from 1 to 10000000");
            p.queue = static_cast<std::size_t>(n);
        } else if (pk == "allow_remote") {
            p.allowRemote = flag();
        } else if (pk == "allow_hosts") {
            const auto* a = pv.as_array();
            if (!a) pp.fail(std::string("must be an array of names, got ") + typeText(pv));
            for (std::size_t i = 0; i < a->size(); ++i)
                p.allowHosts.push_back(text(*a->get(i), pp.item(i, *a->get(i))));
        } else {
            pp.fail(
                "unknown key (publish takes http, http_minutes, metrics, mqtt, mqtt_discovery, "
                "influx, credentials, queue, allow_remote, allow_hosts)");
        }
    }
    return p;
}

}  // namespace

void checkLimits(const LimitsConfig& l) {
    if (!l.any() && (l.hysteresis != 0 || l.forSeconds != 0))
        throw ConfigError("hysteresis and for need a high or low limit to apply to");
    // Limits that meet would raise one alarm as the other clears, on every reading.
    if (l.high && l.low && !(*l.high > *l.low))
        throw ConfigError("high (" + numberText(*l.high) + ") must be above low (" +
                          numberText(*l.low) + ")");
}

bool averages(const LogConfig& config) {
    for (const BoardConfig& b : config.boards)
        for (const ChannelConfig& c : b.channels)
            if (c.average > 1) return true;
    return false;
}

int lastChannelOf(int bits) {
    const Converter* converter = findConverter(bits);
    return converter ? converter->lastChannel : -1;
}

LogConfig parseConfig(std::string_view source, const std::string& fileName) {
    toml::table root;
    try {
        root = readToml(source, fileName);
    } catch (const TomlError& e) {
        throw ConfigError(e.what());
    }
    const Place top{&fileName, "", {}};
    LogConfig c;
    c.source = fileName;
    double defaultPeriod = 1.0;
    if (const toml::node* n = root.get("period")) defaultPeriod = period(*n, top.sub("period", *n));
    const toml::node* boards = nullptr;
    for (auto&& [k, v] : root) {
        const Place kp = top.sub(k);
        if (k == "out") {
            c.out = text(v, kp);
            if (c.out.empty()) kp.fail("must not be empty");
        } else if (k == "status") {
            c.status = text(v, kp);
        } else if (k == "duration") {
            c.duration = number(v, kp);
            if (c.duration < 0) kp.fail("must not be negative");
        } else if (k == "period") {
        } else if (k == "rotate") {
            for (auto&& [rk, rv] : tableOf(v, kp)) {
                const Place rp = kp.sub(rk);
                if (rk == "size") {
                    const int64_t n = integer(rv, rp);
                    if (n < 0) rp.fail("must not be negative");
                    if (n > 0 && n < 4096) rp.fail("must be 0 (none) or at least 4096 bytes");
                    c.rotate.maxBytes = static_cast<uint64_t>(n);
                } else if (rk == "daily") {
                    const auto* b = rv.as_boolean();
                    if (!b) rp.fail(std::string("must be true or false, got ") + typeText(rv));
                    c.rotate.daily = b->get();
                } else if (rk == "retain") {
                    const double days = number(rv, rp);
                    if (!(days >= 0 && days <= 36500))
                        rp.fail("must be days from 0 (keep everything) to 36500");
                    c.rotate.retainDays = days;
                } else {
                    rp.fail("unknown key (rotate takes size, daily and retain)");
                }
            }
        } else if (k == "publish") {
            c.publish = publishOf(v, kp);
        } else if (k == "board") {
            boards = &v;
        } else {
            kp.fail(
                "unknown key (the file takes out, status, duration, period, rotate, publish, "
                "board)");
        }
    }
    if (!boards) throw ConfigError(fileName + ": no [[board]] table: nothing to record");
    std::set<std::string> names;
    for (const auto& [bt, bp] : tablesOf(*boards, top.sub("board", *boards))) {
        c.boards.push_back(boardOf(*bt, bp, defaultPeriod));
        if (!names.insert(c.boards.back().name).second)
            bp.fail("the name \"" + c.boards.back().name + "\" is used by another board");
    }
    return c;
}

LogConfig loadConfig(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ConfigError(path + ": cannot be read: " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    return parseConfig(text.str(), path);
}

void checkConfig(const LogConfig& config) {
    if (config.boards.empty()) throw ConfigError("no board: nothing to record");
    std::set<std::string> names;
    for (const BoardConfig& b : config.boards) {
        if (b.device.empty() && !b.port)
            throw ConfigError("board " + b.name + ": no device or port");
        if (!names.insert(b.name).second)
            throw ConfigError("board name \"" + b.name + "\" is used twice");
        if (b.channels.empty()) throw ConfigError("board " + b.name + ": no channels");
        if (!isLineRate(b.baud))
            throw ConfigError("board " + b.name + ": baud " + std::to_string(b.baud) + ": " +
                              kLineRatesText);
        if (const std::string why = checkProblem(b.check); !why.empty())
            throw ConfigError("board " + b.name + ": check " + numberText(b.check) + ": " + why);
        const auto fail = [](const std::string& what) {
            return [what](const std::string& why) { throw ConfigError(what + ": " + why); };
        };
        checkPrintable(b.name, fail("board name"));
        std::set<std::string> channelNames;
        for (const ChannelConfig& c : b.channels) {
            checkPrintable(c.name, fail("channel name"));
            checkPrintable(c.unit, fail("unit"));
            if (!channelNames.insert(c.name).second)
                throw ConfigError("board " + b.name + ": the channel name \"" + c.name +
                                  "\" is used twice (a channel read twice needs a name for each)");
            const int last = lastChannelOf(c.bits);
            if (last < 0)
                throw ConfigError("width " + std::to_string(c.bits) + ": must be " +
                                  converterWidthsText(" or "));
            if (c.channel < 0 || c.channel > last)
                throw ConfigError("channel " + std::to_string(c.channel) + " of the " +
                                  std::to_string(c.bits) + "-bit converter: must be 0 to " +
                                  std::to_string(last));
            try {
                checkLimits(c.limits);
            } catch (const ConfigError& e) {
                throw ConfigError("board " + b.name + ", channel " + c.name + ": " + e.what());
            }
            if (const std::string why = averageProblem(c.average); !why.empty())
                throw ConfigError("board " + b.name + ", channel " + c.name + ": average: " + why);
            if (!(c.period >= kMinPeriod && c.period <= kMaxPeriod))
                throw ConfigError("period " + numberText(c.period) + ": must be from " +
                                  numberText(kMinPeriod) + " to " + numberText(kMaxPeriod) +
                                  " seconds");
        }
    }
}

}  // namespace vantrel::acquire
