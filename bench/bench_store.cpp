// What a stored round costs on the disk and in time: a run's writer stores
// rounds of eight devices, interleaved as a run stores them, into a fresh
// history file.
//
//   bench_store [--dir DIR] [--rounds N]
//
// Prints the file's size (with its write-ahead log) per round, rounds per
// MiB, the median and slowest store (the slowest are those that copy the
// log into the file, a checkpoint) and the log's largest size.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <filesystem>
#include <string>
#include <vector>

#include "history/HistoryStore.h"
#include "basics/TimeStamp.h"
#include "unidata/Battery32_Data_t.h"

namespace fs = std::filesystem;

namespace {

uintmax_t SizeOf(const std::string& path) {
    std::error_code ec;
    const uintmax_t n = fs::file_size(path, ec);
    return ec ? 0 : n;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = fs::temp_directory_path().string();
    long rounds = 20000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atol(argv[i + 1]);
    }
    const std::string path = dir + "/bench_store.sqlite";
    for (const char* s : {"", "-wal", "-shm"}) fs::remove(path + s);

    std::vector<double> us;
    uintmax_t largest_log = 0;
    uintmax_t while_open = 0;
    {
        HistoryStore store(path, HistoryStore::Access::kReadWrite);
        HistoryWriter& w = store.Writer();
        w.BeginRun({}, TimeStamp::Now());
        Battery32_Data_t record{};
        const int64_t start = TimeStamp::Now().Ms();
        for (long k = 0; k < rounds; ++k) {
            record.group_voltage = 380.0f + static_cast<float>(k % 100) / 10.0f;
            const auto t0 = std::chrono::steady_clock::now();
            w.SaveRecord(static_cast<uint32_t>(100 + k % 8), reinterpret_cast<const uint8_t*>(&record), sizeof record,
                         TimeStamp::FromMs(start + k * 125));
            us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
            largest_log = std::max(largest_log, SizeOf(path + "-wal"));
        }
        while_open = SizeOf(path) + SizeOf(path + "-wal") + SizeOf(path + "-shm");
        w.EndRun(TimeStamp::Now());
    }
    std::sort(us.begin(), us.end());
    const double mib = static_cast<double>(while_open) / (1024.0 * 1024.0);
    std::printf("rounds %ld, %zu-byte records\n", rounds, sizeof(Battery32_Data_t));
    std::printf("on disk while the run is open: %.2f MiB (file, log and index), %.0f bytes a round, %.0f rounds per MiB\n",
                mib, static_cast<double>(while_open) / rounds, rounds / mib);
    std::printf("largest write-ahead log: %ju KiB\n", largest_log / 1024);
    double total = 0;
    for (const double u : us) total += u;
    std::printf("store: mean %.0f us, median %.0f us, 99th percentile %.0f us, slowest %.0f us\n", total / us.size(),
                us[us.size() / 2],
                us[us.size() * 99 / 100], us.back());
    for (const char* s : {"", "-wal", "-shm"}) fs::remove(path + s);
    return 0;
}
