// vantrel command-line tool: the control's events as the tool shows them.
#include "events.hpp"

namespace vantrel::cli {

const char* eventName(int32_t id) {
    switch (id) {
        case event_id::InterruptLow:
            return "InterruptLow";
        case event_id::InterruptHigh:
            return "InterruptHigh";
        default:
            return "NewData";
    }
}

Json eventJson(const EventRecorder::Event& e) {
    Json j = {{"event", eventName(e.id)}};
    if (e.id == event_id::NewData) {
        j["value"] = variantJson(e.value);
        j["text"] = e.text;
    }
    return j;
}

std::string eventText(const EventRecorder::Event& e) {
    std::string text = eventName(e.id);
    if (e.id == event_id::NewData) {
        // Appended piece by piece: g++ 12 at -O3 takes "(" + std::string&& for an overlap.
        text += '(';
        text += variantText(e.value);
        text += ", ";
        text += quotedText(e.text);
        text += ')';
    }
    return text;
}

}  // namespace vantrel::cli
