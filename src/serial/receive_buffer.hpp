// The control's receive buffer: the bytes received since the last command began, bounded in
// size. They stay bytes (one per character of the code page) until a member reads them out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel::serial {

// Keeps at most `limit` bytes, dropping the oldest, and remembers whether an
// "L", an "H" or a prompt ">" arrived since the last clear, so that the tests the control
// makes on the whole buffer cost no more than the text that arrived. Appending is amortised
// O(size of the arrival).
class ReceiveBuffer {
  public:
    static constexpr size_t kDefaultLimit = size_t{1} << 20;

    explicit ReceiveBuffer(size_t limit = kDefaultLimit) : limit_(limit) {}

    void append(std::string_view text);
    void clear();

    std::string_view view() const { return std::string_view(data_).substr(start_); }
    std::string str() const { return std::string(view()); }
    size_t size() const { return data_.size() - start_; }
    bool empty() const { return size() == 0; }

    bool sawLow() const { return sawLow_; }
    bool sawHigh() const { return sawHigh_; }
    bool sawPrompt() const { return sawPrompt_; }

  private:
    size_t limit_;
    std::string data_;
    size_t start_ = 0;  // text before it has been dropped
    bool sawLow_ = false;
    bool sawHigh_ = false;
    bool sawPrompt_ = false;
};

}  // namespace vantrel::serial
