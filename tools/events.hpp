// vantrel command-line tool: the control's events as the tool collects and shows them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "output.hpp"
#include "vantrel/ctrl.hpp"

namespace vantrel::cli {

// Collects the control's events; either hands each one to `live` at once or keeps them in order
// for the caller to take.
class EventRecorder : public VantrelEvents {
  public:
    struct Event {
        int32_t id;        // event_id::InterruptLow, InterruptHigh, NewData
        Variant value;     // NewData's m_Value
        std::string text;  // NewData's ErrorStr
    };

    void InterruptLow() override { add({event_id::InterruptLow, {}, {}}); }
    void InterruptHigh() override { add({event_id::InterruptHigh, {}, {}}); }
    void NewData(Variant& m_Value, std::string& ErrorStr) override {
        lastValue = m_Value;
        lastText = ErrorStr;
        ++newDataCount;
        add({event_id::NewData, m_Value, ErrorStr});
    }

    std::vector<Event> take() { return std::exchange(events_, {}); }

    // When set, events go here as they come instead of being kept.
    std::function<void(const Event&)> live;
    // The last NewData's arguments, and how many there were.
    Variant lastValue;
    std::string lastText;
    int newDataCount = 0;

  private:
    void add(Event e) {
        if (live)
            live(e);
        else
            events_.push_back(std::move(e));
    }
    std::vector<Event> events_;
};

const char* eventName(int32_t id);
Json eventJson(const EventRecorder::Event& e);
std::string eventText(const EventRecorder::Event& e);

}  // namespace vantrel::cli
