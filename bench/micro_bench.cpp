// Micro-benchmarks of the reply parser and the receive path, to catch regressions.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

#include "serial/reply_parser.hpp"
#include "vantrel/platform.hpp"
#include "serial/receive_buffer.hpp"
#include "vantrel/variant.hpp"

namespace {

using namespace vantrel;

// The raw replies of the worked examples, one per shape the parser tells apart.
const std::vector<std::string> kReplies = {
    "OK 523\r\n>",
    "\r\nOK\r\n>",
    "OK 4 095\r\n>",
    "OK -1.5E2\r\n>",
    "12\r\n>",
    ">",
    "OK 5\r>",
    "?A Illegal command\r\n>",
    "?5 Channel busy\r\n>",
    "?7>",
    "?3 Bad\r>",
    "PRA\r\n?3 Bad\r\n>",
    "DATA 1 2 3 ?\r\n>",
};

void ParseWorkedReplies(benchmark::State& state) {
    for (auto _ : state)
        for (const auto& r : kReplies) benchmark::DoNotOptimize(serial::parseReply(r));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kReplies.size()));
}
BENCHMARK(ParseWorkedReplies);

// A reply behind a long stretch of unsolicited text, as after a flood: the parse is linear.
void ParseLongReply(benchmark::State& state) {
    std::string raw;
    while (raw.size() < static_cast<size_t>(state.range(0))) raw += "L\r\nH\r\nsome text\r\n";
    raw += "OK 1023\r\n>";
    for (auto _ : state) benchmark::DoNotOptimize(serial::parseReply(raw));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(raw.size()));
}
BENCHMARK(ParseLongReply)->Arg(1 << 10)->Arg(1 << 20);

void RemoveLineEnds(benchmark::State& state) {
    std::string raw;
    while (raw.size() < 4096) raw += "OK 4 095\r\n";
    for (auto _ : state) benchmark::DoNotOptimize(serial::removeLineEnds(raw));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(raw.size()));
}
BENCHMARK(RemoveLineEnds);

void ReadReplyNumber(benchmark::State& state) {
    const std::vector<std::string_view> texts = {" 523>", " 4 095>", " -1.5E2>",    "&HFF>",
                                                 "2>",    ">",       " 1023.984375"};
    for (auto _ : state)
        for (auto t : texts) benchmark::DoNotOptimize(readReplyNumber(t));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
}
BENCHMARK(ReadReplyNumber);

// One reply arriving in pieces of the given size, then the buffer cleared for the next command.
void ReceiveBufferAppend(benchmark::State& state) {
    const std::string reply = "L\r\nOK 4 095\r\n>";
    const auto piece = static_cast<size_t>(state.range(0));
    serial::ReceiveBuffer buf;
    for (auto _ : state) {
        buf.clear();
        for (size_t at = 0; at < reply.size(); at += piece)
            buf.append(std::string_view(reply).substr(at, piece));
        benchmark::DoNotOptimize(buf.sawPrompt());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(reply.size()));
}
BENCHMARK(ReceiveBufferAppend)->Arg(1)->Arg(4)->Arg(64);

// A stream far beyond the limit, in 4 KiB arrivals: the buffer drops the oldest text.
void ReceiveBufferOverLimit(benchmark::State& state) {
    std::string block;
    while (block.size() < 4096) block += "L\r\nH\r\nsome text ";
    block.resize(4096);
    serial::ReceiveBuffer buf(64 * 1024);
    for (auto _ : state) buf.append(block);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(block.size()));
}
BENCHMARK(ReceiveBufferOverLimit);

void BytesToTextAscii(benchmark::State& state) {
    std::string bytes;
    while (bytes.size() < 4096) bytes += "OK 4 095\r\n>";
    for (auto _ : state) benchmark::DoNotOptimize(bytesToText(bytes));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BytesToTextAscii);

void BytesToTextHigh(benchmark::State& state) {
    std::string bytes;
    for (int i = 0; bytes.size() < 4096; ++i) bytes += static_cast<char>(0x80 + i % 128);
    for (auto _ : state) benchmark::DoNotOptimize(bytesToText(bytes));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BytesToTextHigh);

}  // namespace

BENCHMARK_MAIN();
