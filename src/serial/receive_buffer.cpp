#include "serial/receive_buffer.hpp"

namespace vantrel::serial {

void ReceiveBuffer::append(std::string_view text) {
    for (char c : text) {
        if (c == 'L')
            sawLow_ = true;
        else if (c == 'H')
            sawHigh_ = true;
        else if (c == '>')
            sawPrompt_ = true;
    }
    if (text.size() >= limit_) {
        // The arrival alone fills the buffer: keep its newest part.
        data_.assign(text.substr(text.size() - limit_));
        start_ = 0;
    } else {
        data_.append(text);
        if (size() > limit_) start_ = data_.size() - limit_;
    }
    // Drop the dead front once it is as large as the live text: amortised O(1) per byte.
    if (start_ > 0 && start_ >= size()) {
        data_.erase(0, start_);
        start_ = 0;
    }
}

void ReceiveBuffer::clear() {
    data_.clear();
    start_ = 0;
    sawLow_ = sawHigh_ = sawPrompt_ = false;
}

}  // namespace vantrel::serial
