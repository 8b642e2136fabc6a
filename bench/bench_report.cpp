// bench-host report over a year of one device's rounds at one a second.
//
//   bench_report [--db FILE] [--days N]
//
// The file holds what a year's run leaves: the per-minute summary of every
// minute (525,600 rows of 60 rounds each), a two-hour 30 A discharge every
// fifteen days with its rounds, and the rounds of the first week.  The rest
// of the year's rounds themselves (31 million, 6 GB) are not written: the
// report reads a rest minute from the summary and never its rounds, so they
// change what it reads only by a deeper index.  The first week's rounds
// measure the report read round by round, for comparison.  The file is made
// once and reused.  Prints the median and slowest of five reports, HTML and
// JSON made, and the peak resident memory.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <json/writer.h>
#include <sqlite3.h>

#include "history/HistoryReader.h"
#include "history/HistorySchema.h"
#include "history/HistorySummary.h"
#include "history/SqlConnection.h"
#include "report/StringReport.h"
#include "unidata/Battery32_Data_t.h"

namespace {

constexpr int64_t kStartMs = 1767225600000;  // 2026-01-01T00:00:00Z
constexpr int64_t kMinute = 60000;
constexpr int kCells = 29;

void Exec(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "bench_report: %s\n", error);
        std::exit(1);
    }
}

// Second s of the year: cell 9 drifting down over the year, the others
// wandering a few millivolts; a discharge sags every cell, cell 21 most.
Battery32_Data_t Round(int64_t s, bool discharging, int64_t into_discharge_s) {
    Battery32_Data_t r{};
    r.data_id = 12;
    for (int i = 0; i < kCells; ++i) r.battery_value[i] = 13.5f + 0.001f * static_cast<float>((s / 60 + i * 7) % 9);
    r.battery_value[8] -= 0.15f * static_cast<float>(s) / (365.0f * 86400.0f);
    float sum = 0;
    if (discharging) {
        const float fall = 0.5f + 1.0f * static_cast<float>(into_discharge_s) / 7200.0f;
        for (int i = 0; i < kCells; ++i) r.battery_value[i] -= (i == 20 ? 1.6f : 1.0f) * fall;
    }
    for (int i = 0; i < kCells; ++i) sum += r.battery_value[i];
    r.group_voltage = sum;
    r.group_current = discharging ? -30.0f : 1.5f;
    r.temperature = 25.0f;
    return r;
}

bool Discharging(int64_t s, int64_t* into) {
    const int64_t period = 15 * 86400, at = 5 * 86400 + 3600 * 10;  // 10:00 on the sixth day of each
    const int64_t k = (s - at) % period;
    if (s < at || k >= 7200) return false;
    *into = k;
    return true;
}

void Make(const std::string& path, int days) {
    std::filesystem::remove(path);
    {
        SqlConnection conn(path, SqlConnection::Open::kCreate);
        HistorySchema::CreateOrMigrate(conn);
    }
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; BEGIN");
    std::string cols = "?1, ?2, ?3, ?4, ?4, ?5, ?6, ?7";
    for (int k = 0; k < 96; ++k) cols += ", ?" + std::to_string(8 + k);
    sqlite3_stmt* minute = nullptr;
    sqlite3_prepare_v2(db, ("INSERT INTO history_minutes VALUES(" + cols + ", ?104)").c_str(), -1, &minute, nullptr);
    sqlite3_stmt* round = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO history(device_id, saved_at, record, saved_ms, run_id) VALUES(12, "
                       "strftime('%Y-%m-%dT%H:%M:%S.000+00:00', ?2 / 1000, 'unixepoch'), ?1, ?2, NULL)",
                       -1, &round, nullptr);
    const int64_t minutes = static_cast<int64_t>(days) * 1440;
    for (int64_t m = 0; m < minutes; ++m) {
        double vsum = 0, isum = 0, tsum = 0, imin = 1e9;
        double csum[32] = {}, cmin[32], cmax[32];
        std::fill(cmin, cmin + 32, 1e9);
        std::fill(cmax, cmax + 32, -1e9);
        bool keep_rounds = m < 7 * 1440;
        for (int k = 0; k < 60; ++k) {
            const int64_t s = m * 60 + k;
            int64_t into = 0;
            const bool dis = Discharging(s, &into);
            keep_rounds = keep_rounds || dis;
            const Battery32_Data_t r = Round(s, dis, into);
            vsum += r.group_voltage;
            isum += r.group_current;
            tsum += r.temperature;
            imin = std::min<double>(imin, r.group_current);
            for (int i = 0; i < 32; ++i) {
                csum[i] += r.battery_value[i];
                cmin[i] = std::min<double>(cmin[i], r.battery_value[i]);
                cmax[i] = std::max<double>(cmax[i], r.battery_value[i]);
            }
        }
        if (keep_rounds) {
            for (int k = 0; k < 60; ++k) {
                const int64_t s = m * 60 + k;
                int64_t into = 0;
                const bool dis = Discharging(s, &into);
                const Battery32_Data_t r = Round(s, dis, into);
                sqlite3_bind_blob(round, 1, &r, sizeof r, SQLITE_TRANSIENT);
                sqlite3_bind_int64(round, 2, kStartMs + 1000 * s);
                sqlite3_step(round);
                sqlite3_reset(round);
            }
        }
        sqlite3_bind_int(minute, 1, 12);
        sqlite3_bind_int64(minute, 2, kStartMs + m * kMinute);
        sqlite3_bind_int64(minute, 3, kStartMs + m * kMinute);
        sqlite3_bind_int(minute, 4, 60);
        sqlite3_bind_double(minute, 5, vsum);
        sqlite3_bind_double(minute, 6, isum);
        sqlite3_bind_double(minute, 7, tsum);
        for (int i = 0; i < 32; ++i) {
            sqlite3_bind_double(minute, 8 + 3 * i, csum[i]);
            sqlite3_bind_double(minute, 9 + 3 * i, cmin[i]);
            sqlite3_bind_double(minute, 10 + 3 * i, cmax[i]);
        }
        sqlite3_bind_double(minute, 104, imin);
        sqlite3_step(minute);
        sqlite3_reset(minute);
        // The rounds of a rest minute after the first week stand in the
        // summary alone; one stored round per day keeps the device listed
        // and the index as deep as a year's.
        if (!keep_rounds && m % 1440 == 0) {
            const Battery32_Data_t r = Round(m * 60, false, 0);
            sqlite3_bind_blob(round, 1, &r, sizeof r, SQLITE_TRANSIENT);
            sqlite3_bind_int64(round, 2, kStartMs + m * kMinute);
            sqlite3_step(round);
            sqlite3_reset(round);
        }
    }
    sqlite3_finalize(minute);
    sqlite3_finalize(round);
    Exec(db, "DELETE FROM history_minutes_through; INSERT INTO history_minutes_through VALUES(" +
                 std::to_string(kStartMs + minutes * kMinute) + "); COMMIT; PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_close(db);
}

double Seconds(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = "build/bench-report/year.sqlite";
    int days = 365;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--db")) path = argv[i + 1];
        if (!std::strcmp(argv[i], "--days")) days = std::atoi(argv[i + 1]);
    }
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    if (!std::filesystem::exists(path)) {
        std::printf("making %s (%d days)...\n", path.c_str(), days);
        std::fflush(stdout);
        std::printf("made in %.1f s\n", Seconds([&] { Make(path, days); }));
    }
    std::printf("file: %.1f MB\n", static_cast<double>(std::filesystem::file_size(path)) / 1e6);
    auto conn = HistoryReader::OpenReadOnly(path);
    HistoryReader reader(*conn);

    auto report = [&](const StringReport::Options& options, const char* what) {
        std::vector<double> t;
        std::size_t html = 0, json = 0;
        long rounds = 0, from_summary = 0, discharges = 0;
        for (int k = 0; k < 5; ++k) {
            t.push_back(Seconds([&] {
                const StringReport r = StringReport::Build(reader, path, options);
                Json::StreamWriterBuilder b;
                json = Json::writeString(b, r.ToJson()).size();
                html = r.ToHtml().size();
                rounds = r.devices.at(0).watch.rounds;
                from_summary = r.devices.at(0).watch.rounds_from_summary;
                discharges = static_cast<long>(r.devices.at(0).discharges.size());
            }));
        }
        std::sort(t.begin(), t.end());
        std::printf("%s: %ld rounds (%ld from the summary), %ld discharges; median %.2f s, slowest %.2f s; "
                    "HTML %.0f kB, JSON %.0f kB\n",
                    what, rounds, from_summary, discharges, t[2], t[4], html / 1e3, json / 1e3);
        std::fflush(stdout);
    };
    StringReport::Options year;
    report(year, "the year, with the summary");
    StringReport::Options week = year;
    week.to_ms = kStartMs + 7 * 86400 * 1000LL - 1;
    report(week, "the first week, with the summary");
    week.use_summary = false;
    report(week, "the first week, round by round");
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("peak resident memory: %.1f MB\n", static_cast<double>(ru.ru_maxrss) / 1024.0);
    return 0;
}
