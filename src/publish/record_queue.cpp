// vantrel publishing: the bounded hand-over.
#include "record_queue.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vantrel::publish {

RecordQueue::RecordQueue(std::size_t bound)
    : bound_(bound), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!wake_) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

void RecordQueue::push(const acquire::Record& record) noexcept {
    bool first;
    {
        const std::lock_guard lock(mutex_);
        if (records_.size() >= bound_) {
            ++dropped_;
            return;
        }
        try {
            records_.push_back(record);
        } catch (...) {
            ++dropped_;
            return;
        }
        first = records_.size() == 1;
    }
    // Only the first record after the queue was emptied costs the board a system call.
    if (first) {
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wake_.get(), &one, sizeof one);
    }
}

void RecordQueue::takeAll(std::vector<acquire::Record>& into) {
    uint64_t count;
    [[maybe_unused]] const auto n = ::read(wake_.get(), &count, sizeof count);
    std::deque<acquire::Record> all;
    {
        const std::lock_guard lock(mutex_);
        all.swap(records_);
    }
    into.insert(into.end(), std::make_move_iterator(all.begin()),
                std::make_move_iterator(all.end()));
}

void RecordQueue::take(std::vector<acquire::Record>& into, std::size_t most) {
    const std::lock_guard lock(mutex_);
    const std::size_t n = std::min(most, records_.size());
    const auto end = records_.begin() + static_cast<std::ptrdiff_t>(n);
    into.insert(into.end(), std::make_move_iterator(records_.begin()),
                std::make_move_iterator(end));
    records_.erase(records_.begin(), end);
    if (records_.empty()) {
        uint64_t count;
        [[maybe_unused]] const auto r = ::read(wake_.get(), &count, sizeof count);
    }
}

std::size_t RecordQueue::size() const {
    const std::lock_guard lock(mutex_);
    return records_.size();
}

uint64_t RecordQueue::dropped() const {
    const std::lock_guard lock(mutex_);
    return dropped_;
}

}  // namespace vantrel::publish
