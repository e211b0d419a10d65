// vantrel recorder: one board's thread.
#include "board_worker.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <vector>

#include "alarms.hpp"
#include "pacing.hpp"
#include "vantrel/board.hpp"
#include "vantrel/platform.hpp"
#include "vantrel/reconnect.hpp"

namespace vantrel::acquire {

namespace {

using Clock = std::chrono::steady_clock;

struct Group {
    Pacer pacer;
    std::vector<const ChannelConfig*> channels;
};

}  // namespace

BoardWorker::BoardWorker(BoardConfig config, Clock::time_point t0,
                         std::optional<Clock::time_point> end, Sink sink, Notice notice)
    : config_(std::move(config)),
      t0_(t0),
      end_(end),
      sink_(std::move(sink)),
      notice_(std::move(notice)) {
    wake_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_) throw std::runtime_error(sysMessage("eventfd", "", errno));
    status_.name = config_.name;
    status_.device = config_.port            ? "COM" + std::to_string(*config_.port)
                     : config_.origin.empty() ? config_.device
                                              : config_.origin;
    thread_ = std::thread([this] {
        try {
            run();
        } catch (const std::exception& e) {
            // The thread's loop itself failed: nothing more can be read from this board.
            const std::lock_guard lock(mutex_);
            status_.state = "failed";
            status_.lastError = e.what();
        }
        started_ = true;
        finished_ = true;
    });
}

BoardWorker::~BoardWorker() {
    stop();
}

void BoardWorker::requestStop() {
    stop_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
}

void BoardWorker::stop() {
    requestStop();
    if (thread_.joinable()) thread_.join();
}

BoardStatus BoardWorker::status() const {
    const std::lock_guard lock(mutex_);
    return status_;
}

void BoardWorker::run() {
    EventLoop& loop = threadLoop();
    WatchHandle wakeWatch = loop.watch(wake_.get(), EPOLLIN, [this](uint32_t) {
        uint64_t count;
        [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &count, sizeof count);
    });
    bool due = false;
    struct TimerGuard {
        EventLoop& loop;
        uint64_t id;
        ~TimerGuard() { loop.removeTimer(id); }
    } timer{loop, loop.addTimer([&due] { due = true; })};

    // One group a period: channels that share a period are read one after the other in each
    // of its rounds, in the order the configuration gives them.
    std::map<int64_t, Group> byPeriod;
    for (const ChannelConfig& c : config_.channels) {
        const auto period =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(c.period));
        auto it = byPeriod.find(period.count());
        if (it == byPeriod.end())
            it = byPeriod.emplace(period.count(), Group{Pacer(t0_, period), {}}).first;
        it->second.channels.push_back(&c);
    }
    std::vector<Group> groups;
    for (auto& [period, g] : byPeriod) groups.push_back(std::move(g));
    if (groups.empty()) {
        started_ = true;
        return;
    }

    std::optional<Board> board;
    bool away = false;
    bool everOpen = false;

    // Every record goes out followed by the alarms it raises or clears.
    AlarmWatch alarms(config_);
    std::vector<Record> changes;
    const auto emit = [&](Record r) {
        changes.clear();
        alarms.take(r, changes);
        sink_(std::move(r));
        for (Record& c : changes) sink_(std::move(c));
    };
    const auto alarmDue = [&]() -> std::optional<Clock::time_point> {
        const std::optional<double> at = alarms.due();
        if (!at) return std::nullopt;
        return t0_ +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*at));
    };
    const auto checkAlarms = [&] {
        const std::optional<Clock::time_point> at = alarmDue();
        if (!at || Clock::now() < *at) return;
        changes.clear();
        alarms.tick(*alarms.due(), changes);
        for (Record& c : changes) sink_(std::move(c));
    };

    const auto update = [this](auto&& change) {
        const std::lock_guard lock(mutex_);
        change(status_);
    };
    const auto record = [&](const ChannelConfig& c, Status st, std::string text) {
        Record r;
        r.time = std::chrono::system_clock::now();
        // The first open comes before the run's start (t0 lies a little ahead): a gap found
        // then is at the start, not before it.
        r.mono = std::max(0.0, std::chrono::duration<double>(Clock::now() - t0_).count());
        r.board = config_.name;
        r.bits = c.bits;
        r.channel = c.channel;
        r.name = c.name;
        r.unit = c.unit;
        r.status = st;
        r.text = std::move(text);
        return r;
    };
    // The board is gone (unplugged, switched off, never there): one gap record per channel
    // marks where its readings stop.
    const auto markAway = [&](const std::string& why) {
        update([&](BoardStatus& s) {
            s.state = "away";
            s.lastError = why;
            if (!away) ++s.gaps;
        });
        if (away) return;
        away = true;
        if (notice_) notice_(everOpen ? BoardEvent::Away : BoardEvent::CannotOpen, why);
        for (const ChannelConfig& c : config_.channels) emit(record(c, Status::Gap, why));
    };
    // The board is there (again), behind a new control that has written no address yet.
    const auto markBack = [&] {
        const bool back = away;
        away = false;
        if (back && notice_) notice_(BoardEvent::Back, {});
        update([&](BoardStatus& s) {
            s.state = "recording";
            if (back && everOpen) ++s.reconnects;
        });
        everOpen = true;
    };
    const auto goAway = [&](const std::string& why) {
        board.reset();
        markAway(why);
    };
    // Without a reconnect policy of the board's own, the recorder opens the board again itself,
    // once a round while it is away.
    // Only the device that went away is taken back: not another adapter under its name, nor
    // what a stale link leads to now.
    std::optional<DeviceIdentity> identity;
    const std::string stableName = config_.port ? std::string() : stableDeviceName(config_.device);
    const auto open = [&] {
        const DeviceIdentity now = deviceIdentity(stableName);
        if (identity) {
            const std::string why = notTheDeviceThatWentAway(stableName, *identity, now);
            if (!why.empty()) {
                goAway(why);
                return;
            }
        }
        try {
            board.emplace(config_.port ? Board(*config_.port, config_.baud)
                                       : Board(config_.device, config_.baud));
        } catch (const std::exception& e) {
            goAway(e.what());
            return;
        }
        identity = now;
        markBack();
    };

    const auto readChannel = [&](const ChannelConfig& c) {
        Record r = record(c, Status::Ok, {});
        try {
            const double raw = board->read(c.bits, c.channel);
            r.raw = raw;
            r.value = c.calibration(raw);
        } catch (const BoardError& e) {
            r.status = Status::Error;
            r.text = e.boardText().empty() ? e.what() : e.boardText();
        } catch (const Error& e) {
            if (e.number() == err::PortNotOpen || e.number() == err::PortIo) {
                goAway(e.what());
                return;
            }
            r.status = Status::Error;
            r.text = e.what();
        } catch (const std::exception& e) {
            r.status = Status::Error;
            r.text = e.what();
        }
        update([&](BoardStatus& s) {
            if (r.status == Status::Ok) {
                ++s.readings;
                s.lastTime = r.time;
                s.lastChannel = c.name;
                s.lastValue = r.value;
            } else {
                ++s.errors;
                s.lastError = r.text;
            }
        });
        emit(std::move(r));
    };

    open();
    started_ = true;
    while (!stop_) {
        const auto next =
            std::min_element(groups.begin(), groups.end(), [](const Group& a, const Group& b) {
                return a.pacer.due() < b.pacer.due();
            })->pacer.due();
        // An away alarm may fall due between rounds (a board read once a minute, away for 10 s),
        // and after the last round of a run that lasts beyond it.
        const std::optional<Clock::time_point> alarmAt = alarmDue();
        const bool roundsOver = end_ && next >= *end_;
        if (roundsOver && !(alarmAt && *alarmAt < *end_)) break;
        const auto wake = alarmAt ? (roundsOver ? *alarmAt : std::min(next, *alarmAt)) : next;
        if (Clock::now() < wake) {
            due = false;
            loop.armTimer(timer.id, wake, Clock::duration::zero());
            while (!due && !stop_) loop.pumpOnce();
            loop.disarmTimer(timer.id);
            if (stop_) break;
        }
        checkAlarms();
        if (roundsOver || Clock::now() < next) continue;
        for (Group& g : groups) {
            if (stop_ || g.pacer.due() > Clock::now() || (end_ && g.pacer.due() >= *end_)) continue;
            // An away board is looked for once a round of its fastest group.
            if (!board) open();
            for (const ChannelConfig* c : g.channels) {
                if (!board || stop_) break;
                readChannel(*c);
            }
            if (g.pacer.finish(Clock::now()))
                update([&](BoardStatus& s) {
                    s.overruns = 0;
                    s.skipped = 0;
                    for (const Group& each : groups) {
                        s.overruns += each.pacer.overruns();
                        s.skipped += each.pacer.skipped();
                    }
                });
        }
    }
    board.reset();
    update([](BoardStatus& s) { s.state = "stopped"; });
}

}  // namespace vantrel::acquire
