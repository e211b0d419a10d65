// vantrel selftest: each converter against its own reference inputs.
#include <cstdio>

#include "commands.hpp"
#include "events.hpp"
#include "options.hpp"
#include "output.hpp"
#include "session.hpp"
#include "text_escape.hpp"

namespace vantrel::cli {

namespace {

struct SelftestOptions {
    ControlOptions control;
    std::vector<int> bits;
    bool json = false;
};

// "zero scale", "half scale", "full scale".
std::string checkName(Scale s) {
    return std::string(scaleName(s)) + " scale";
}

std::string padded(std::string text, std::size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text;
}

int runSelftest(const SelftestOptions& o) {
    Session session(o.control);
    VantrelCtrl& ctrl = session.ctrl();
    EventRecorder events;
    events.live = [](const EventRecorder::Event&) {};
    ctrl.connect(&events);
    if (!session.openPort()) {
        ctrl.disconnect(&events);
        return kExitFalse;
    }
    const std::vector<int> widths = o.bits.empty() ? converterWidths() : o.bits;
    if (!o.json)
        printLine(padded("width", 7) + padded("check", 12) + padded("reading", 10) +
                  padded("window", 12) + padded("result", 8) + "error");

    bool allPassed = true;
    bool failedCall = false;
    for (int width : widths) {
        for (const ReferenceCheck& c : findConverter(width)->checks) {
            if (session.stop().raised()) break;
            Variant nrOfBits(static_cast<int16_t>(width));
            const int before = events.newDataCount;
            bool passed = false;
            std::optional<Error> failure;
            try {
                passed = (ctrl.*scaleTestMember(c.scale))(nrOfBits);
            } catch (const Error& e) {
                failure = e;
            }
            allPassed = allPassed && passed;
            failedCall = failedCall || failure.has_value();
            const std::string errorText = failure ? failure->what() : ctrl.ErrorString();
            // A reading exists when the conversion went through: the check passed, or failed on
            // its window.
            const bool haveReading = !failure && events.newDataCount > before &&
                                     (passed || errorText.starts_with("Returned value: "));
            const Variant reading = haveReading ? events.lastValue : Variant();
            const std::string window = std::to_string(c.low) + ".." + std::to_string(c.high);
            if (o.json) {
                Json j = {{"bits", width},
                          {"check", checkName(c.scale)},
                          {"reading", variantJson(reading)},
                          {"low", c.low},
                          {"high", c.high},
                          {"result", passed},
                          {"errorString", errorText}};
                if (failure)
                    j["error"] = {{"number", failure->number()}, {"text", failure->what()}};
                printJson(j);
            } else {
                std::string row =
                    padded(std::to_string(width), 7) + padded(checkName(c.scale), 12) +
                    padded(haveReading ? reading.toString() : "-", 10) + padded(window, 12) +
                    padded(passed ? "pass" : "FAIL", 8) +
                    (failure ? "error " + std::to_string(failure->number()) + ": " : "") +
                    escapeC(errorText, false);
                row.erase(row.find_last_not_of(' ') + 1);
                printLine(row);
            }
        }
    }
    ctrl.disconnect(&events);
    if (failedCall) return kExitFailedCall;
    return allPassed ? kExitTrue : kExitFalse;
}

}  // namespace

Subcommand addSelftest(CLI::App& app) {
    auto o = std::make_shared<SelftestOptions>();
    CLI::App* sub = app.add_subcommand(
        "selftest",
        "Test the converters against their reference inputs (8 bits: half scale; 10 and 12 "
        "bits: zero, half and full scale) and print a table");
    o->control.addTo(*sub);
    sub->add_option("--bits", o->bits, "converter width to test (repeatable; default all three)")
        ->check(oneOfCheck(converterWidths()));
    sub->add_flag("--json", o->json, "one JSON object per check");
    return {sub, [o] { return runSelftest(*o); }};
}

}  // namespace vantrel::cli
