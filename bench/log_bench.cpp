// The recorder's figures (docs/performance.md): pacing error against the deadlines, readings per
// second of one board against what the wire allows, and memory over a million records.
//
//   log_bench pacing [SECONDS]     10 Hz rounds on a simulated board at 115200 baud (default 600)
//   log_bench rate [SECONDS]       one channel as fast as it goes, 115200 baud (default 10)
//   log_bench memory [RECORDS]     records through the writer to SQLite and CSV (default 1000000)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "recorder.hpp"
#include "sim/sim_thread.hpp"
#include "sqlite_output.hpp"
#include "text_file_output.hpp"
#include "vantrel/board.hpp"

using namespace vantrel::acquire;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

long rssKiB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

std::string scratch() {
    std::string p = (fs::temp_directory_path() / "vantrel-log-bench-XXXXXX").string();
    if (!::mkdtemp(p.data())) throw std::runtime_error("mkdtemp failed");
    return p;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

// A board at 115200 baud that sends at the line's pace, counting the bytes both ways.
struct PacedBoard {
    vantrel::sim::SimThread sim{[] {
        vantrel::sim::PtyBoard::Options o;
        o.paceFromLine = true;
        return o;
    }()};
    std::shared_ptr<uint64_t> bytes = std::make_shared<uint64_t>(0);
    PacedBoard() {
        sim.call([b = bytes](vantrel::sim::PtyBoard& board) {
            board.engine().setRecordLines(false);
            board.engine().setLineObserver([b](std::string_view line, std::string_view reply) {
                *b += line.size() + reply.size();
            });
        });
    }
    uint64_t bytesSoFar() {
        return sim.call([b = bytes](vantrel::sim::PtyBoard&) { return *b; });
    }
};

LogConfig oneChannel(const std::string& device, double period, double duration,
                     const std::string& out) {
    ChannelConfig c;
    c.bits = 10;
    c.channel = 3;
    c.name = "10:3";
    c.period = period;
    BoardConfig b;
    b.name = "bench";
    b.device = device;
    b.baud = 115200;
    b.channels = {c};
    LogConfig config;
    config.boards = {b};
    config.out = out;
    config.duration = duration;
    return config;
}

void runToEnd(Recorder& r) {
    while (!r.finished()) std::this_thread::sleep_for(50ms);
    r.stop();
}

int pacing(double seconds) {
    const std::string dir = scratch();
    PacedBoard board;
    const double period = 0.1;
    Recorder r(oneChannel(board.sim.device(), period, seconds, dir + "/p.csv"), nullptr);
    runToEnd(r);
    std::ifstream in(dir + "/p.csv");
    std::string line;
    std::getline(in, line);
    std::vector<double> errors;
    std::vector<double> signedErrors;
    while (std::getline(in, line)) {
        std::stringstream fields(line);
        std::string time, mono;
        std::getline(fields, time, ',');
        std::getline(fields, mono, ',');
        const double m = std::stod(mono);
        const double k = std::round(m / period);
        signedErrors.push_back(m - k * period);
        errors.push_back(std::abs(m - k * period));
    }
    fs::remove_all(dir);
    const std::size_t tenth = std::max<std::size_t>(1, signedErrors.size() / 10);
    const std::vector<double> first(signedErrors.begin(),
                                    signedErrors.begin() + static_cast<std::ptrdiff_t>(tenth));
    const std::vector<double> last(signedErrors.end() - static_cast<std::ptrdiff_t>(tenth),
                                   signedErrors.end());
    const BoardStatus s = r.boards().front();
    std::printf("pacing: %zu rounds of %.0f ms over %.0f s (expected %.0f), overruns %llu\n",
                errors.size(), period * 1e3, seconds, seconds / period,
                static_cast<unsigned long long>(s.overruns));
    std::printf("  |start - deadline|: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                percentile(errors, 0.5) * 1e3, percentile(errors, 0.99) * 1e3,
                percentile(errors, 1.0) * 1e3);
    std::printf("  drift: median error of the last tenth minus the first tenth %.3f ms\n",
                (percentile(last, 0.5) - percentile(first, 0.5)) * 1e3);
    return 0;
}

// Slices of the recorder and of Board::read back to back take turns on the same board, so that
// the machine's load, which moves from one second to the next, weighs on both alike.
int rate(double seconds) {
    const std::string dir = scratch();
    PacedBoard board;
    constexpr int kSlices = 5;
    const double slice = seconds / kSlices;
    std::vector<double> recorded, direct, ratios;
    double perReading = 0;
    uint64_t errors = 0, timeouts = 0;
    const long before = rssKiB();
    for (int k = 0; k < kSlices; ++k) {
        const uint64_t bytesBefore = board.bytesSoFar();
        Recorder r(oneChannel(board.sim.device(), 0.001, slice, dir + "/r.sqlite"), nullptr);
        runToEnd(r);
        const BoardStatus s = r.boards().front();
        errors += s.errors;
        perReading =
            static_cast<double>(board.bytesSoFar() - bytesBefore) / static_cast<double>(s.readings);
        recorded.push_back(static_cast<double>(s.readings) / slice);

        vantrel::Board b(board.sim.device(), 115200);
        b.read(10, 3);  // the set-up, as the recorder's first round has it
        const auto start = std::chrono::steady_clock::now();
        const auto until = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                       std::chrono::duration<double>(slice));
        uint64_t n = 0;
        while (std::chrono::steady_clock::now() < until) {
            try {
                b.read(10, 3);
                ++n;
            } catch (const vantrel::Timeout&) {
                ++timeouts;  // a busy machine can miss the 22 ms reply window
            }
        }
        direct.push_back(
            static_cast<double>(n) /
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        ratios.push_back(recorded.back() / direct.back());
    }
    const long after = rssKiB();
    fs::remove_all(dir);
    const double wire = 115200.0 / 10.0 / perReading;
    const double got = percentile(recorded, 0.5);
    std::printf(
        "rate: 10:3 at 115200 baud into SQLite, %d slices of %.1f s, medians (%llu errors)\n",
        kSlices, slice, static_cast<unsigned long long>(errors));
    std::printf(
        "  %.1f bytes on the wire a reading; the wire allows %.0f /s; the recorder %.0f /s = %.3f "
        "of it\n",
        perReading, wire, got, got / wire);
    std::printf(
        "  Board::read back to back: %.0f /s = %.3f of the wire (%llu timeouts); the recorder %.3f "
        "of that\n",
        percentile(direct, 0.5), percentile(direct, 0.5) / wire,
        static_cast<unsigned long long>(timeouts), percentile(ratios, 0.5));
    std::printf("  resident memory %ld KiB before, %ld KiB after\n", before, after);
    return 0;
}

int memory(long records) {
    const std::string dir = scratch();
    for (const std::string name : {"m.sqlite", "m.csv"}) {
        std::unique_ptr<RecordOutput> out;
        if (name.ends_with(".csv"))
            out = std::make_unique<TextFileOutput>(dir + "/" + name, TextFileOutput::Format::Csv,
                                                   RotateConfig{});
        else
            out = std::make_unique<SqliteOutput>(dir + "/" + name);
        RecordWriter writer(std::move(out), nullptr);
        Record r;
        r.board = "bench";
        r.bits = 10;
        r.channel = 3;
        r.name = "tank";
        r.unit = "V";
        const auto start = std::chrono::steady_clock::now();
        std::printf("memory, %s:", name.c_str());
        for (long i = 1; i <= records; ++i) {
            r.time = std::chrono::system_clock::now();
            r.mono = static_cast<double>(i) * 0.001;
            r.raw = static_cast<double>(i % 1024);
            r.value = static_cast<double>(i % 1024) * 0.01;
            writer.push(r);
            // Handed over at the pace the writer takes them, as boards do.
            if (i % 10000 == 0)
                while (writer.stats().held > 20000) std::this_thread::sleep_for(1ms);
            if (i == 1000 || i == 100000 || i == records / 2 || i == records)
                std::printf("  %ld records %ld KiB", i, rssKiB());
        }
        writer.stop();
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("; %.0f records/s\n", static_cast<double>(records) / s);
    }
    fs::remove_all(dir);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string what = argc > 1 ? argv[1] : "";
    const double n = argc > 2 ? std::stod(argv[2]) : 0;
    if (what == "pacing") return pacing(n > 0 ? n : 600);
    if (what == "rate") return rate(n > 0 ? n : 10);
    if (what == "memory") return memory(n > 0 ? static_cast<long>(n) : 1'000'000);
    std::fprintf(stderr, "usage: log_bench pacing [SECONDS] | rate [SECONDS] | memory [RECORDS]\n");
    return 2;
}
