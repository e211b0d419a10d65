// The live page's history over a long recording (docs/performance.md): a recording made by
// writing records as the recorder writes them (not by waiting), then the time /history takes to
// answer for the whole of it, and the size of the answer.
//
//   history_bench DB [DAYS] [CHANNELS] [HZ]
//     DB is made when it does not exist: DAYS (default 28) ending now, CHANNELS (default 8)
//     of one board read HZ (default 10) times a second. Prints the rows written and how long
//     that took, then the answer for the whole range: its source, points, bytes and time (the
//     median of five).
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "history.hpp"
#include "sqlite_output.hpp"

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: history_bench DB [DAYS] [CHANNELS] [HZ]\n");
        return 2;
    }
    const std::string db = argv[1];
    const double days = argc > 2 ? std::stod(argv[2]) : 28;
    const int channels = argc > 3 ? std::stoi(argv[3]) : 8;
    const double hz = argc > 4 ? std::stod(argv[4]) : 10;
    const auto now =
        std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    const int64_t nowMs = now.time_since_epoch().count();
    const int64_t spanMs = static_cast<int64_t>(days * 86'400'000);
    struct stat st {};
    if (::stat(db.c_str(), &st) != 0) {
        const auto started = Clock::now();
        vantrel::acquire::SqliteOutput out(db);
        std::vector<vantrel::acquire::Record> batch;
        std::vector<std::string> names;
        for (int c = 0; c < channels; ++c) names.push_back("ch" + std::to_string(c));
        const auto stepUs = static_cast<int64_t>(1e6 / hz);
        uint64_t rows = 0;
        for (int64_t us = (nowMs - spanMs) * 1000; us < nowMs * 1000; us += stepUs) {
            for (int c = 0; c < channels; ++c) {
                vantrel::acquire::Record r;
                r.time = std::chrono::system_clock::time_point(std::chrono::microseconds(us));
                r.board = "bench";
                r.bits = 12;
                r.channel = c;
                r.name = names[static_cast<std::size_t>(c)];
                r.unit = "V";
                r.raw = std::fmod(static_cast<double>(us / stepUs) * (c + 1), 4096);
                r.value = *r.raw * 0.001;
                batch.push_back(std::move(r));
            }
            // Batches as the writer's: a tenth of a second of a fast recording, or more.
            if (batch.size() >= 20'000) {
                out.write(batch);
                rows += batch.size();
                batch.clear();
            }
        }
        out.write(batch);
        rows += batch.size();
        out.close();
        std::printf("wrote %llu rows (%g days, %d channels, %g Hz) in %.1f s\n",
                    static_cast<unsigned long long>(rows), days, channels, hz,
                    std::chrono::duration<double>(Clock::now() - started).count());
    }
    vantrel::publish::HistoryReader reader(db);
    std::vector<double> ms;
    std::string answer;
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        answer = reader.answer({nowMs - spanMs, nowMs, {}});
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    const auto source = answer.find("\"source\":\"");
    std::printf("history of %g days: %s, %zu bytes, %.1f ms (median of 5; fastest %.1f ms)\n", days,
                answer.substr(source + 10, answer.find('"', source + 10) - source - 10).c_str(),
                answer.size(), ms[2], ms[0]);
    return 0;
}
