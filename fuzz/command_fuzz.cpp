// The whole Command path on the fakes, fed by a fuzzed byte stream: replies in arbitrary
// pieces, timer ticks between them, bytes that arrive late, between commands or before the
// next command, and the conversions that build on Command.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "check.hpp"
#include "fakes.hpp"
#include "vantrel/ctrl.hpp"

using namespace vantrel;
using testing::CtrlProbe;

namespace {

struct Harness {
    testing::FakeRig rig;
    // Bytes the receive handler has been given since the command under way wrote its line.
    // Before that, a command that follows a timeout waits out the late reply and drops it.
    std::string delivered;
    size_t linesBefore = 0;

    Harness() { rig.opened(); }

    // Queues what the device will do while the control waits: pieces of bytes and ticks.
    void queueArrivals(FuzzedDataProvider& in) {
        const int n = in.ConsumeIntegralInRange<int>(0, 8);
        for (int i = 0; i < n; ++i) {
            if (in.ConsumeIntegralInRange<int>(0, 5) == 0) {
                rig.site->passes.push_back([this] {
                    // The real timer only ticks while enabled.
                    if (rig.timer->enabled) rig.timer->tick();
                });
            } else {
                std::string piece = in.ConsumeRandomLengthString(24);
                rig.site->passes.push_back([this, piece] {
                    if (rig.serial->lines.size() > linesBefore) delivered += piece;
                    rig.serial->receive(piece);
                });
            }
        }
    }

    void command(FuzzedDataProvider& in) {
        std::string s = in.PickValueInArray({"PRS", "@", "PRA", "PCSA128", "", "@\r", "X\r\r"});
        const std::string framed = s == "@" || s == "@\r" ? "@" : s;
        queueArrivals(in);
        const size_t eventsBefore = rig.log.count("NewData");
        const int32_t pumpsBefore = rig.site->pumps;
        const size_t queued = rig.site->passes.size();
        // Bytes held by the device go to the old buffer, which the command then empties.
        rig.serial->pending = in.ConsumeRandomLengthString(8);
        delivered.clear();
        linesBefore = rig.serial->lines.size();
        bool result = false;
        try {
            result = rig.ctrl->Command(s);
        } catch (const Error& e) {
            // Only a success reply's number can fail to convert.
            FUZZ_CHECK(e.number() == err::Overflow);
            FUZZ_CHECK(!rig.timer->enabled);
            return;
        }
        const std::string err = rig.ctrl->ErrorString();
        // The wait is bounded: a pass per queued arrival, the silent line's tick, and after a
        // timeout at most four quiet windows of settling before the line is written.
        FUZZ_CHECK(rig.site->pumps - pumpsBefore <= static_cast<int32_t>(queued) + 5);
        FUZZ_CHECK(!rig.timer->enabled);
        // Nothing lost: the buffer holds exactly what arrived during the wait.
        FUZZ_CHECK(rig.ctrl->ReturnedStr() == bytesToText(delivered));
        FUZZ_CHECK(rig.log.count("NewData") == eventsBefore + 1);
        // The wait ends on the first pass that brings a prompt, or on a tick before that; the
        // error text alone cannot tell (a board may send "?A Serial port timed out").
        const bool prompt = delivered.find('>') != std::string::npos;
        FUZZ_CHECK(CtrlProbe::timedOut(*rig.ctrl) == !prompt);
        if (!prompt) {
            FUZZ_CHECK(!result);
            FUZZ_CHECK(err == "Serial port timed out");
            FUZZ_CHECK(s == (framed == "@" ? "@" : testingFrame(framed)));
        }
        if (result) {
            FUZZ_CHECK(err.empty());
            FUZZ_CHECK(rig.ctrl->ErrorNr() == 0);
        } else if (err.empty()) {
            // A board error whose reply carries no text still names its code.
            FUZZ_CHECK(s.size() <= 3);
        }
    }

    static std::string testingFrame(std::string s) {
        if (!s.empty() && s.back() == '\r') s.pop_back();
        return s + "\r";
    }

    void convert(FuzzedDataProvider& in) {
        const auto all = converters();
        const Converter& converter = all[in.ConsumeIntegralInRange<size_t>(0, all.size() - 1)];
        int16_t channel = in.ConsumeIntegralInRange<int16_t>(-2, 16);
        for (int i = 0; i < 4; ++i) queueArrivals(in);
        const size_t eventsBefore = rig.log.count("NewData");
        delivered.clear();
        linesBefore = rig.serial->lines.size();
        try {
            ((*rig.ctrl).*converter.convert)(channel);
        } catch (const Error& e) {
            FUZZ_CHECK(e.number() == err::Overflow);
            FUZZ_CHECK(!rig.timer->enabled);
            CtrlProbe::inAdcRead(*rig.ctrl) = false;  // an uncaught failure leaves it set
            return;
        }
        FUZZ_CHECK(!CtrlProbe::inAdcRead(*rig.ctrl));
        FUZZ_CHECK(!rig.timer->enabled);
        FUZZ_CHECK(rig.log.count("NewData") == eventsBefore + 1);
    }

    // The host's loop runs between commands: arrivals go to the buffer as they come.
    void idle(FuzzedDataProvider& in) {
        const std::string piece = in.ConsumeRandomLengthString(32);
        rig.serial->receive(piece);
        FUZZ_CHECK(std::string_view(rig.ctrl->ReturnedStr()).ends_with(bytesToText(piece)));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Harness h;
    if (in.ConsumeBool()) h.rig.ctrl->Bauds(115200);
    int steps = 0;
    while (in.remaining_bytes() > 0 && ++steps < 64) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
            case 1:
                h.command(in);
                break;
            case 2:
                h.convert(in);
                break;
            default:
                h.idle(in);
                break;
        }
    }
    return 0;
}
