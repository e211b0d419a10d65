// The simulator's command engine: arbitrary bytes from the line in arbitrary pieces, with its
// options and faults switched by the input as well.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "check.hpp"
#include "sim/board_engine.hpp"

using namespace vantrel::sim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    BoardEngine::Options options;
    options.bits8 = in.ConsumeBool();
    options.echo = in.ConsumeBool();
    options.maxLine = in.ConsumeIntegralInRange<size_t>(0, 300);
    BoardEngine engine(options);
    const size_t maxLine = std::max<size_t>(options.maxLine, 1);
    const uint32_t pace = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(300, 115200) : 0;
    engine.setPaceBaud(pace);

    size_t received = 0;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
                engine.setReading(in.PickValueInArray({8, 10, 12}),
                                  in.ConsumeIntegralInRange<int>(0, BoardEngine::kChannels - 1),
                                  in.ConsumeFloatingPointInRange<double>(-1e6, 1e6));
                break;
            case 1:
                engine.scriptReply(in.ConsumeRandomLengthString(64));
                break;
            case 2:
                engine.overrideReply(in.ConsumeRandomLengthString(8),
                                     in.ConsumeRandomLengthString(32),
                                     in.ConsumeIntegralInRange<int>(-1, 3));
                break;
            case 3:
                engine.setOutOfStep(in.ConsumeBool());
                engine.refuseSetup(in.ConsumeIntegralInRange<int>(0, 2));
                engine.setSilent(in.ConsumeIntegralInRange<int>(0, 7) == 0);
                break;
            case 4:
                engine.setReplySplit(
                    in.ConsumeIntegralInRange<size_t>(0, 5),
                    std::chrono::microseconds(in.ConsumeIntegralInRange<int>(0, 1000)));
                engine.setReplyPrefix(in.ConsumeRandomLengthString(8));
                break;
            case 5:
                engine.hangUpAfter(in.ConsumeIntegralInRange<int>(-1, 20));
                break;
            default: {
                const std::string bytes = in.ConsumeRandomLengthString(512);
                const size_t before = engine.commandCount();
                const Output out = engine.receive(bytes);
                received += bytes.size();
                const std::string all = joined(out);
                // Commands are counted one per line end at most, and the answer is bounded by
                // what the board can say to the lines it got: a reply to each command, and one
                // "Line too long" to each line that overflowed (each ends at a CR).
                const auto lineEnds =
                    static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\r'));
                FUZZ_CHECK(engine.commandCount() - before <= bytes.size());
                FUZZ_CHECK(all.size() <=
                           (engine.commandCount() - before + lineEnds + 1) * (maxLine + 600));
                if (pace != 0) {
                    // Each byte takes its ten bit times on the wire, give or take the rounding.
                    const auto wire = static_cast<double>(all.size()) * 10e6 / pace;
                    // Each reply is rounded to whole microseconds once, from its own start.
                    const auto replies =
                        static_cast<double>(std::count(all.begin(), all.end(), '>') +
                                            engine.commandCount() - before + 2);
                    const double rounding = 0.5 * replies;
                    FUZZ_CHECK(static_cast<double>(totalDelay(out).count()) >= wire - rounding);
                    for (const Chunk& c : out) FUZZ_CHECK(c.bytes.size() == 1);
                }
                for (const std::string& line : engine.lines())
                    FUZZ_CHECK(line.size() <= maxLine + 1);
                break;
            }
        }
    }
    FUZZ_CHECK(engine.commandCount() <= received);
    return 0;
}
