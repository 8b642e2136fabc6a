// The history page's queries at scale: a week of rounds at one a second for
// eight devices (4.8 million rows, written interleaved as a run writes them),
// each page query timed as the server runs it.
//
//   bench_history [--db FILE] [--days N] [--devices N] [--runs N]
//
// The file is made once and reused while it holds the expected rows (it
// takes a minute and about a gigabyte).  Prints the median and the slowest
// of the runs per query; when the file has no per-minute summary yet, first
// without it, then again after summarising the week (timed too).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "history/HistorySummary.h"
#include "web/SqliteHistoryQuery.h"
#include "unidata/Battery32_Data_t.h"

namespace {

constexpr int64_t kStartMs = 1796000000000;  // a round every second from here

void Exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "bench_history: %s\n", error);
        std::exit(1);
    }
}

int64_t Rows(const std::string& path) {
    sqlite3* db = nullptr;
    int64_t n = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT max(rowid) FROM history", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW) {
            n = sqlite3_column_int64(st, 0);
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return n;
}

// The run's schema: the record image, its time as text and as ms, indexed
// on (device_id, saved_ms).
void Make(const std::string& path, int devices, int64_t seconds) {
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"
             "CREATE TABLE history(device_id INTEGER, saved_at TEXT, record BLOB, saved_ms INTEGER);"
             "CREATE INDEX history_device_time ON history(device_id, saved_ms);"
             "CREATE TABLE alarms(device_id INTEGER, at TEXT, name TEXT, label TEXT, state TEXT, bound TEXT,"
             " value REAL, limit_value REAL, at_ms INTEGER);"
             "CREATE INDEX alarms_device_time ON alarms(device_id, at_ms); BEGIN");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO history VALUES(?1, '2026-12-01T00:00:00.000+08:00', ?2, ?3)", -1, &insert,
                       nullptr);
    Battery32_Data_t r{};
    for (int64_t s = 0; s < seconds; ++s) {
        for (int d = 0; d < devices; ++d) {
            r.data_id = static_cast<uint32_t>(d + 1);
            for (int i = 0; i < 32; ++i) r.battery_value[i] = 13.0f + 0.001f * static_cast<float>((s + i) % 100);
            r.group_voltage = 377.0f + 0.01f * static_cast<float>(s % 500);
            r.group_current = -2.5f;
            r.temperature = 25.0f;
            sqlite3_bind_int(insert, 1, d + 1);
            sqlite3_bind_blob(insert, 2, &r, sizeof r, SQLITE_STATIC);
            sqlite3_bind_int64(insert, 3, kStartMs + 1000 * s);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        if (s % 86400 == 86399) std::fprintf(stderr, "bench_history: day %lld written\n", (long long)(s / 86400 + 1));
    }
    sqlite3_finalize(insert);
    Exec(db, "COMMIT; PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_close(db);
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = "/tmp/bench-history.sqlite";
    int days = 7, devices = 8, runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--db") path = argv[i + 1];
        else if (arg == "--days") days = std::atoi(argv[i + 1]);
        else if (arg == "--devices") devices = std::atoi(argv[i + 1]);
        else if (arg == "--runs") runs = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: bench_history [--db FILE] [--days N] [--devices N] [--runs N]\n");
            return 2;
        }
    }
    const int64_t seconds = int64_t{days} * 86400;
    if (Rows(path) != seconds * devices) {
        std::fprintf(stderr, "bench_history: writing %lld rows to %s\n", (long long)(seconds * devices), path.c_str());
        Make(path, devices, seconds);
    }
    std::printf("%s: %lld rows, %d devices, %d days, %.0f MB\n", path.c_str(), (long long)Rows(path), devices, days,
                std::filesystem::file_size(path) / 1e6);

    const auto measure = [&] {
        SqliteHistoryQuery q(path);
        const int64_t end = kStartMs + 1000 * (seconds - 1);
        const auto series = [&](int64_t span_ms, std::optional<int> cell) {
            return [&, span_ms, cell] {
                HistoryQuery::SeriesRequest r;
                r.device = 3;
                r.range = {end - span_ms + 1, end};
                r.cell = cell;
                const auto s = q.Downsample(r);
                return s.t.size();
            };
        };
        const struct {
            const char* what;
            std::function<std::size_t()> run;
        } queries[] = {
            {"devices", [&] { return q.Devices().size(); }},
            {"series, last hour (2000 points)", series(3600 * 1000, std::nullopt)},
            {"series, last day (2000 points)", series(86400 * 1000, std::nullopt)},
            {"series, last week (2000 points)", series(seconds * 1000, std::nullopt)},
            {"series, last week, with one cell", series(seconds * 1000, 6)},
            {"alarms, last week", [&] { return q.Alarms(3u, {end - seconds * 1000, end}, 1001).size(); }},
        };
        for (const auto& query : queries) {
            std::vector<double> ms;
            std::size_t points = 0;
            for (int i = 0; i < runs; ++i) {
                const auto t0 = std::chrono::steady_clock::now();
                points = query.run();
                ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
            }
            std::sort(ms.begin(), ms.end());
            std::printf("%-36s %8zu %10.1f %10.1f\n", query.what, points, ms[ms.size() / 2], ms.back());
        }
    };
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    const bool summarised = HistorySummary::Present(db);
    std::printf("%-36s %8s %10s %10s\n", "query", "points", "median ms", "max ms");
    if (!summarised) {
        std::printf("-- from the rounds alone\n");
        measure();
        // What a run does with a file from before the summary: its past
        // summarised a minute a step, each step on the bus loop's thread.
        HistorySummary::CreateFrom(db, kStartMs + 1000 * seconds);
        std::vector<double> ms;
        for (bool more = true; more;) {
            const auto t0 = std::chrono::steady_clock::now();
            more = HistorySummary::Backfill(db, 1);
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
        const double total = std::accumulate(ms.begin(), ms.end(), 0.0);
        std::sort(ms.begin(), ms.end());
        std::printf("-- summarising the file's past took %zu steps of a minute: %.1f s; a step: median %.1f ms, "
                    "99%% %.1f ms, max %.1f ms\n",
                    ms.size(), total / 1000, ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back());
        HistorySummary::Update(db, kStartMs + 1000 * seconds);
    }
    // What a run does as each minute ends: the last minute's rounds of
    // every device summarised (again, here).
    const auto t1 = std::chrono::steady_clock::now();
    HistorySummary::Update(db, kStartMs + 1000 * seconds);
    std::printf("-- summarising a minute of eight devices took %.1f ms\n",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t1).count());
    sqlite3_close(db);
    std::printf("-- with the per-minute summary\n");
    measure();
    return 0;
}
