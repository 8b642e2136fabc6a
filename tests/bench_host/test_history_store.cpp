// The history file: times that order truly across time zones, the runs
// every row refers to, files from before either, a damaged file moved aside
// untouched, a file lost under a run, alarms a killed run left raised, the
// bounded queue of a run's writes.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <map>
#include <fstream>
#include <sstream>
#include <vector>

#include "history/HistoryFileCheck.h"
#include "history/LogPairing.h"
#include "history/HistoryReport.h"
#include "history/HistorySchema.h"
#include "history/HistoryStore.h"
#include "history/KilledRuns.h"
#include "history/HistorySummary.h"
#include "history/RecordSql.h"
#include "record/BatteryRecord.h"
#include "history/StoreQueue.h"
#include "basics/TimeStamp.h"
#include "unidata/Battery32_Data_t.h"

namespace {

namespace fs = std::filesystem;

// 2026-12-08T11:17:03.250Z
constexpr int64_t kMoment = 1796728623250;

// Sets TZ for the scope (POSIX zone strings, no zone database needed).
class Zone {
public:
    explicit Zone(const char* tz) {
        const char* old = std::getenv("TZ");
        if (old) old_ = old;
        had_ = old != nullptr;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~Zone() {
        if (had_)
            ::setenv("TZ", old_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string old_;
    bool had_ = false;
};

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class HistoryFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = ::testing::TempDir() + "/history_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = dir_ + "/history.sqlite";
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Raw(const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
        sqlite3_close(db);
    }

    std::string dir_, path_;
    const std::vector<uint8_t> record_ = std::vector<uint8_t>(152, 0x11);
};

// Counts the syncs SQLite asks of the disk, made through the default VFS
// while it lives (one call may sync the folder too).
class SyncCount {
public:
    SyncCount() : real_(sqlite3_vfs_find(nullptr)), vfs_(*real_) {
        active_ = this;
        vfs_.zName = "sync-count";
        vfs_.xOpen = &SyncCount::Open;
        sqlite3_vfs_register(&vfs_, 1);
    }
    ~SyncCount() {
        sqlite3_vfs_unregister(&vfs_);
        sqlite3_vfs_register(real_, 1);
        active_ = nullptr;
    }
    SyncCount(const SyncCount&) = delete;
    SyncCount& operator=(const SyncCount&) = delete;
    long Syncs() const { return syncs_; }

private:
    static int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out) {
        SyncCount& self = *active_;
        const int rc = self.real_->xOpen(self.real_, name, file, flags, out);
        if (rc != SQLITE_OK || !file->pMethods) return rc;
        // Each kind of file keeps its own methods: the counting copy of each
        // is made once, and remembers the methods it stands for.
        auto& counted = self.counted_[file->pMethods];
        if (!counted.first.xSync) {
            counted.first = *file->pMethods;
            counted.first.xSync = &SyncCount::Sync;
            counted.second = file->pMethods;
        }
        file->pMethods = &counted.first;
        return rc;
    }
    static int Sync(sqlite3_file* file, int flags) {
        SyncCount& self = *active_;
        ++self.syncs_;
        for (const auto& [real, counted] : self.counted_)
            if (&counted.first == file->pMethods) return real->xSync(file, flags);
        return SQLITE_IOERR_FSYNC;
    }

    static inline SyncCount* active_ = nullptr;
    sqlite3_vfs* real_;
    sqlite3_vfs vfs_;
    std::map<const sqlite3_io_methods*, std::pair<sqlite3_io_methods, const sqlite3_io_methods*>> counted_;
    long syncs_ = 0;
};

TEST(TimeStamp, MillisecondsAndTheOffsetInForce) {
    struct Case {
        const char* tz;
        int64_t ms;
        const char* text;
    } cases[] = {
        {"AAA-8", kMoment, "2026-12-08T19:17:03.250+08:00"},
        {"BBB5", kMoment, "2026-12-08T06:17:03.250-05:00"},
        {"CCC-5:30", kMoment + 749, "2026-12-08T16:47:03.999+05:30"},
        {"UTC0", kMoment - 250, "2026-12-08T11:17:03.000+00:00"},
        {"UTC0", -1, "1969-12-31T23:59:59.999+00:00"},
    };
    for (const auto& c : cases) {
        Zone zone(c.tz);
        const TimeStamp t = TimeStamp::FromMs(c.ms);
        EXPECT_EQ(t.Text(), c.text) << c.tz;
        EXPECT_EQ(t.Ms(), c.ms);
    }
    EXPECT_EQ(TimeStamp::OffsetOf("2026-12-08T19:17:03.250+08:00"), "+08:00");
    EXPECT_EQ(TimeStamp::OffsetOf("2026-12-08T06:17:03.250-05:00"), "-05:00");
    EXPECT_EQ(TimeStamp::OffsetOf("2026-12-08T19:17:03"), "");  // stored before offsets were
}

// Rounds stored by runs under two time zones: the text of the later one
// reads earlier, the order is still that of the moments.
TEST_F(HistoryFile, OrdersByTrueTimeAcrossZonesAndTracesRowsToTheirRun) {
    int64_t first_run = 0, second_run = 0;
    {
        HistoryStore store(path_, HistoryStore::Access::kReadWrite);
        Zone east("AAA-8");
        first_run =
            store.Writer().BeginRun({0, "", "", "/lib/a.so", 100, "aa", "site.json", "0.1.0"}, TimeStamp::FromMs(kMoment));
        store.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment), "float");
        store.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + 100), "discharge");
        store.Writer().EndRun(TimeStamp::FromMs(kMoment + 200));
    }
    {
        HistoryStore store(path_, HistoryStore::Access::kReadWrite);
        Zone west("BBB5");
        second_run = store.Writer().BeginRun({0, "", "", "/lib/b.so", 200, "bb", "site.json", "0.1.0"},
                                    TimeStamp::FromMs(kMoment + 60000));
        store.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + 60000));
        // Two rounds in one second stay apart, in their order.
        store.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + 60001));
    }
    {
        // The id a run is told before its row is written is the one its row
        // takes, given or not.
        HistoryStore store(path_, HistoryStore::Access::kReadWrite);
        const int64_t next = store.Writer().NextRunId();
        EXPECT_EQ(next, second_run + 1);
        EXPECT_EQ(store.Writer().BeginRun({}, TimeStamp::FromMs(kMoment + 120000), next), next);
        EXPECT_EQ(store.Writer().RunId(), next);
        EXPECT_EQ(store.Writer().NextRunId(), next + 1);
        EXPECT_EQ(store.Writer().BeginRun({}, TimeStamp::FromMs(kMoment + 180000)), next + 1);
    }
    HistoryStore store(path_, HistoryStore::Access::kReadOnly);
    std::vector<std::string> times;
    std::vector<int64_t> runs;
    std::vector<std::string> states;
    store.Reader().ForEachRow(12, [&](const HistoryStore::Row& row) {
        times.push_back(row.saved_at);
        runs.push_back(row.run_id.value_or(-1));
        states.push_back(row.charge_state);
    });
    // The charge state stored with a round, none where a round was stored without.
    EXPECT_EQ(states, (std::vector<std::string>{"float", "discharge", "", ""}));
    for (const bool csv : {false, true}) {
        std::ostringstream out;
        HistoryReport::Options options;
        options.csv = csv;
        options.cells = 1;
        HistoryReport::PrintRounds(store.Reader(), options, out);
        const std::string text = out.str();
        EXPECT_NE(text.find(csv ? ",cell_1_volts,charge_state\n" : "  charge float\n"), std::string::npos) << text;
        EXPECT_NE(text.find(csv ? ",discharge\n" : "  charge discharge\n"), std::string::npos) << text;
        EXPECT_NE(text.find(csv ? ",\n" : "  charge -\n"), std::string::npos) << text;
    }
    EXPECT_EQ(times, (std::vector<std::string>{"2026-12-08T19:17:03.250+08:00", "2026-12-08T19:17:03.350+08:00",
                                               "2026-12-08T06:18:03.250-05:00", "2026-12-08T06:18:03.251-05:00"}));
    EXPECT_EQ(runs, (std::vector<int64_t>{first_run, first_run, second_run, second_run}));
    const auto all_runs = store.Reader().Runs();
    ASSERT_EQ(all_runs.size(), 4u);
    EXPECT_EQ(all_runs[2].id, second_run + 1);
    EXPECT_EQ(all_runs[0].plugin_sha256, "aa");
    EXPECT_EQ(all_runs[0].ended_at, "2026-12-08T19:17:03.450+08:00");
    EXPECT_EQ(all_runs[1].plugin_path, "/lib/b.so");
    EXPECT_EQ(all_runs[1].ended_at, "");  // never ended: killed, or still running
    // The restore takes the last inserted round.
    EXPECT_EQ(store.Reader().Newest(12)->saved_at, "2026-12-08T06:18:03.251-05:00");
}

// A file from before the offsets and the runs: read as it is, and migrated
// when a run opens it, its times taken as local time.
TEST_F(HistoryFile, OlderFilesKeepReadingAndMigrate) {
    Raw("CREATE TABLE history(device_id INTEGER, saved_at TEXT, record BLOB);"
        "CREATE INDEX history_device ON history(device_id);"
        "CREATE TABLE alarms(device_id INTEGER, at TEXT, name TEXT, label TEXT, state TEXT, bound TEXT, value REAL, "
        "limit_value REAL);"
        "INSERT INTO history VALUES(12, '2026-12-08T19:17:04', zeroblob(152));"
        "INSERT INTO history VALUES(12, '2026-12-08T19:17:03', zeroblob(152));"
        "INSERT INTO alarms VALUES(12, '2026-12-08T19:17:03', 'battery_5_value', 'x', 'raised', 'low', 11.2, 12);"
        "CREATE TABLE run_notes(run_id INTEGER, at TEXT NOT NULL, at_ms INTEGER NOT NULL, kind TEXT NOT NULL, "
        "step_ms INTEGER, text TEXT);"
        "INSERT INTO run_notes VALUES(1, '2026-12-08T19:17:03', 0, 'clock step', 5000, 'stepped');");
    Zone east("AAA-8");
    auto ms_of = [&](HistoryStore& store) {
        std::vector<int64_t> ms;
        store.Reader().ForEachRow(std::nullopt, [&](const HistoryStore::Row& row) { ms.push_back(row.saved_ms); });
        return ms;
    };
    const std::vector<int64_t> expected{kMoment - 250, kMoment + 750};
    {
        HistoryStore reader(path_, HistoryStore::Access::kReadOnly);
        EXPECT_EQ(ms_of(reader), expected);
        ASSERT_EQ(reader.Reader().Alarms(12).size(), 1u);
        EXPECT_EQ(reader.Reader().Alarms(12)[0].at_ms, kMoment - 250);
        EXPECT_FALSE(reader.Reader().Alarms(12)[0].mono_ms);
    }
    {
        HistoryStore writer(path_, HistoryStore::Access::kReadWrite);
        EXPECT_EQ(ms_of(writer), expected);
        EXPECT_FALSE(writer.Reader().Newest(12)->run_id);
        EXPECT_EQ(writer.Reader().Newest(12)->charge_state, "");
        EXPECT_EQ(writer.Reader().Newest(12)->no_value, 0u);  // every value read
        writer.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + 5000), "rest",
                                   std::nullopt, 0x5);
        history::Note held;
        held.device_id = 12;
        held.at_ms = kMoment + 5000;
        held.at = "2026-12-08T19:17:08.250+08:00";
        held.kind = "float alarms held";
        writer.Writer().SaveNote(held);
        // Alarms and health changes take their moments on the run's clock.
        history::Alarm cleared = writer.Reader().Alarms(12)[0];
        cleared.state = "cleared";
        cleared.mono_ms = 4500;
        writer.Writer().SaveAlarm(cleared);
        history::Health silent;
        silent.device_id = 12;
        silent.state = "not answering";
        silent.since_mono_ms = 4000;
        writer.Writer().SaveHealth(silent);
    }
    HistoryStore reader(path_, HistoryStore::Access::kReadOnly);
    EXPECT_EQ(ms_of(reader), (std::vector<int64_t>{kMoment - 250, kMoment + 750, kMoment + 5000}));
    EXPECT_EQ(reader.Reader().Newest(12)->charge_state, "rest");
    const auto alarms = reader.Reader().Alarms(12);
    ASSERT_EQ(alarms.size(), 2u);
    EXPECT_EQ(alarms[0].mono_ms, std::nullopt) << "an old row keeps no moment it never had";
    EXPECT_EQ(alarms[1].mono_ms, std::optional<int64_t>(4500));
    ASSERT_EQ(reader.Reader().HealthChanges(12).size(), 1u);
    EXPECT_EQ(reader.Reader().HealthChanges(12)[0].since_mono_ms, std::optional<int64_t>(4000));
    // The rounds from before the mask was kept read as every value read.
    std::vector<uint64_t> masks;
    reader.Reader().ForEachRow(12, [&](const HistoryStore::Row& row) { masks.push_back(row.no_value); });
    EXPECT_EQ(masks, (std::vector<uint64_t>{0, 0, 0x5}));
    // The notes' table takes a device column; its older notes name none.
    const auto notes = reader.Reader().Notes();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_FALSE(notes[0].device_id);
    EXPECT_EQ(notes[1].device_id, std::optional<uint32_t>(12));
    EXPECT_EQ(notes[1].kind, "float alarms held");
    EXPECT_EQ(reader.Reader().Newest(12)->saved_at, "2026-12-08T19:17:08.250+08:00");
}

// A file a run begins holds nothing until its first round: its log and
// tables are made without a sync, so that on a slow disk the first poll
// waits for none (seven, made one at a time, before).  The rounds are synced
// as they are committed, as on any file; a file that holds rounds already
// is opened without a write.
TEST_F(HistoryFile, AFileBegunByARunIsMadeWithoutASync) {
    const struct {
        const char* what;
        std::function<void(const std::string& path)> before;
    } cases[] = {
        {"no file", [](const std::string&) {}},
        {"an empty file", [](const std::string& path) { std::ofstream{path}; }},
        {"a file that holds rounds",
         [this](const std::string& path) {
             HistoryStore(path, HistoryStore::Access::kReadWrite)
                 .Writer()
                 .SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
        c.before(path_);
        SyncCount syncs;
        HistoryStore store(path_, HistoryStore::Access::kReadWrite);
        EXPECT_EQ(syncs.Syncs(), 0);
        store.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + 1));
        EXPECT_GE(syncs.Syncs(), 1) << "a round committed without a sync";
    }
}

// A damaged file is moved aside before anything writes to it, every byte
// as it was and nothing made beside it, and a new history begins at its
// path: a bench never stops for a damaged file.
TEST_F(HistoryFile, ADamagedFileIsMovedAsideUnchangedAndANewOneBegun) {
    {
        HistoryStore store(path_, HistoryStore::Access::kReadWrite);
        for (int i = 0; i < 200; ++i)
            store.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + i));
    }
    const std::string good = ReadBytes(path_);
    ASSERT_GT(good.size(), 8u * 4096);
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"a garbled page", good.substr(0, 3 * 4096) + std::string(4096, '\x55') + good.substr(4 * 4096)},
        {"cut short", good.substr(0, good.size() / 2)},
        {"not a database", std::string(8192, 'x')},
        {"a page of text", std::string(600, 'x')},
    };
    std::set<std::string> asides;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(path_);
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << c.bytes;
        HistoryStore store(path_, HistoryStore::Access::kReadWrite);
        const std::string aside = store.MovedAside();
        ASSERT_EQ(aside.rfind(path_ + ".damaged-", 0), 0u) << aside;
        EXPECT_TRUE(asides.insert(aside).second) << "moved over an earlier one: " << aside;
        EXPECT_FALSE(store.Damage().empty());
        EXPECT_EQ(ReadBytes(aside), c.bytes);
        for (const char* beside : {"-wal", "-shm", "-journal"}) EXPECT_FALSE(fs::exists(aside + beside)) << beside;
        store.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment));
        EXPECT_TRUE(store.Reader().Newest(12));
    }
}

// What the store thread sees of a file under a run (after every commit,
// and once a second): moved, deleted, replaced, cut short or overwritten,
// judged from two stats and the first 100 bytes, with what may still be
// done with what the run committed.
TEST(HistoryFileCheck, SaysWhatHappenedToTheFileUnderARun) {
    const std::string header = std::string("SQLite format 3") + '\0' + std::string(84, '\1');
    static const auto Head = [](uint32_t page, uint32_t pages, uint32_t counter, uint32_t valid_for) {
        std::string h = std::string("SQLite format 3") + '\0' + std::string(84, '\0');
        const auto put = [&](std::size_t at, uint32_t v, int n) {
            for (int i = n - 1; i >= 0; --i, v >>= 8) h[at + i] = static_cast<char>(v & 0xff);
        };
        put(16, page, 2), put(24, counter, 4), put(28, pages, 4), put(92, valid_for, 4);
        return h;
    };
    using Fate = HistoryFileCheck::Fate;
    HistoryFileCheck::Seen whole;
    whole.dev = 1;
    whole.ino = 2;
    whole.path_dev = 1;
    whole.path_ino = 2;
    whole.size = 40960;
    whole.largest = 40960;
    whole.head = header;
    struct Case {
        const char* what;
        std::function<void(HistoryFileCheck::Seen&)> change;
        const char* said;
        Fate fate;
    } cases[] = {
        {"whole", [](auto&) {}, "", Fate::kWhole},
        {"grown", [](auto& s) { s.size = 81920; }, "", Fate::kWhole},
        {"unlinked", [](auto& s) { s.linked = false; }, "was deleted", Fate::kGone},
        {"deleted: no name, no file at the path", [](auto& s) { s.linked = false, s.at_path = false; }, "was deleted",
         Fate::kGone},
        {"moved: still named, no file at the path", [](auto& s) { s.at_path = false; }, "was moved away from its path",
         Fate::kMoved},
        {"replaced: another file at the path, this one unnamed", [](auto& s) { s.path_ino = 3, s.linked = false; },
         "was replaced by another file", Fate::kGone},
        {"a file of another disk put over it", [](auto& s) { s.path_dev = 9, s.linked = false; },
         "was replaced by another file", Fate::kGone},
        {"moved away and another file put at the path", [](auto& s) { s.path_ino = 3; },
         "was moved away and another file put at its path", Fate::kMoved},
        {"new, not written yet", [](auto& s) { s.size = 0, s.largest = 0, s.head.clear(); }, "", Fate::kWhole},
        {"new, not written yet, known empty", [](auto& s) { s.size = 0, s.largest = 0, s.head.clear(), s.left = ""; }, "",
         Fate::kWhole},
        {"emptied", [](auto& s) { s.size = 0, s.head.clear(); }, "was cut to 0 bytes from 40960", Fate::kRewritten},
        {"cut to 8 KiB", [](auto& s) { s.size = 8192; }, "was cut to 8192 bytes from 40960", Fate::kRewritten},
        {"cut within its first bytes at its first check", [](auto& s) { s.size = 10, s.largest = 0, s.head.resize(10); },
         "was cut to 10 bytes", Fate::kRewritten},
        {"garbage from its start", [](auto& s) { s.head = std::string(100, 'x'); },
         "was overwritten: it no longer begins as an SQLite database", Fate::kRewritten},
        // Page size 4096 (bytes 16-17), 5 pages (28-31), the count current
        // (change counter 24-27 equal to version-valid-for 92-95).
        {"room given back to just what its header counts", [](auto& s) { s.size = 20480, s.head = Head(4096, 5, 7, 7); },
         "", Fate::kWhole},
        {"cut below what its header counts", [](auto& s) { s.size = 8192, s.head = Head(4096, 5, 7, 7); },
         "was cut to 8192 bytes from 40960", Fate::kRewritten},
        {"shrunk, its header's count stale", [](auto& s) { s.size = 20480, s.head = Head(4096, 5, 7, 6); },
         "was cut to 20480 bytes from 40960", Fate::kRewritten},
        // Only the run's own checkpoint writes the header; it then takes
        // what it wrote as the header to find.
        {"its header as the run left it", [&](auto& s) { s.left = header; }, "", Fate::kWhole},
        {"another history copied over it, grown", [](auto& s) {
             s.size = 81920, s.left = Head(4096, 10, 7, 7), s.head = Head(4096, 20, 31, 31);
         },
         "was overwritten: its header is not the one this run left in it (another database, or a backup, copied over it)",
         Fate::kRewritten},
        {"a backup of itself restored in place: an older change counter", [](auto& s) {
             s.left = Head(4096, 10, 9, 9), s.head = Head(4096, 10, 8, 8);
         },
         "was overwritten: its header is not the one this run left in it (another database, or a backup, copied over it)",
         Fate::kRewritten},
        {"a new file written by another before this run's first copy", [](auto& s) {
             s.largest = 0, s.left = "", s.head = Head(4096, 10, 1, 1);
         },
         "was overwritten: its header is not the one this run left in it (another database, or a backup, copied over it)",
         Fate::kRewritten},
    };
    for (const auto& c : cases) {
        HistoryFileCheck::Seen seen = whole;
        c.change(seen);
        const auto verdict = HistoryFileCheck::Judge(seen);
        EXPECT_EQ(verdict.what, c.said) << c.what;
        EXPECT_EQ(verdict.fate, c.fate) << c.what;
    }
}

// Whether a write-ahead log found beside a file at the start was written for
// it: only a log with frames, for the very file (device, inode, size, time
// of change and first bytes as its run left them) is applied.
TEST(LogPairing, ALogIsAppliedOnlyToTheFileItWasWrittenFor) {
    LogPairing::Stamp file;
    file.dev = 8, file.ino = 1234, file.size = 65536, file.changed_ns = 1796728623250000001;
    file.head = std::string("SQLite format 3") + '\0' + std::string(84, '\7');
    // said: at a run's start (Judge); read: by a reader (Foreign), which
    // leaves out only a log whose stamp names another file.
    const std::string another = "it was written for another file: the one at the path was put there since";
    const std::string rewritten = "the file at the path was rewritten since the log was written for it";
    struct Case {
        const char* what;
        std::function<void(std::optional<LogPairing::Stamp>& recorded, std::optional<LogPairing::Stamp>& now)> change;
        int64_t log_bytes;
        std::string said, read;
    } cases[] = {
        {"the run's own file, killed", [](auto&, auto&) {}, 4096 + 32, "", ""},
        {"a log of its header alone, any file", [](auto&, auto& now) { now->ino = 99; }, 32, "", ""},
        {"an empty log, no file", [](auto&, auto& now) { now.reset(); }, 0, "", ""},
        {"its file moved away", [](auto&, auto& now) { now.reset(); }, 4096 + 32, "its file is no longer at the path",
         ""},
        {"no stamp (a log of an older bench-host, or a killed run's file handed over with its log alone)",
         [](auto& recorded, auto&) { recorded.reset(); }, 4096 + 32, "no stamp says which file it was written for", ""},
        {"another history moved to the path", [](auto&, auto& now) { now->ino = 99, now->head[30] = 1; }, 4096 + 32,
         another, another},
        {"the same bytes copied to the path (a new inode; cp -a)", [](auto&, auto& now) { now->ino = 99; }, 4096 + 32,
         another, ""},
        {"copied without its time", [](auto&, auto& now) { now->ino = 99, now->changed_ns += 1; }, 4096 + 32, another,
         another},
        {"a file of another disk", [](auto&, auto& now) { now->dev = 9; }, 4096 + 32, another, ""},
        {"a file of another disk, grown", [](auto&, auto& now) { now->dev = 9, now->size += 4096; }, 4096 + 32,
         another, another},
        {"a backup restored in place, its header older", [](auto&, auto& now) { now->head[27] = 1; }, 4096 + 32,
         rewritten, ""},
        {"a backup restored in place, same header, later change", [](auto&, auto& now) { now->changed_ns += 1; },
         4096 + 32, rewritten, ""},
        {"grown under another writer", [](auto&, auto& now) { now->size += 4096; }, 4096 + 32, rewritten, ""},
        // A full disk let the copy into the file go on but not the stamp's
        // renewal after it: the file grew and changed since its stamp.
        {"a stamp a full disk kept from being renewed",
         [](auto&, auto& now) { now->size += 8192, now->changed_ns += 5000000, now->head[27] = 9; }, 4096 + 32,
         rewritten, ""},
    };
    for (const auto& c : cases) {
        std::optional<LogPairing::Stamp> recorded = file, now = file;
        c.change(recorded, now);
        EXPECT_EQ(LogPairing::Judge(recorded, now, c.log_bytes), c.said) << c.what;
        EXPECT_EQ(LogPairing::Foreign(recorded, now, c.log_bytes), c.read) << c.what;
    }
    // The stamp as kept beside the log reads back as written.
    for (const std::string& head : {file.head, std::string(), std::string("\0\xff ", 3)}) {
        LogPairing::Stamp s = file;
        s.head = head;
        const auto back = LogPairing::Parse(LogPairing::Text(s));
        ASSERT_TRUE(back.has_value()) << LogPairing::Text(s);
        EXPECT_TRUE(*back == s) << LogPairing::Text(s);
    }
    for (const char* bad : {"", "1 2 3", "1 2 3 4 5z", "1 2 3 4 abc"}) EXPECT_FALSE(LogPairing::Parse(bad)) << bad;
}

long Rows(const std::string& path, uint32_t id) {
    long rows = 0;
    HistoryStore(path, HistoryStore::Access::kReadOnly).Reader().ForEachRow(id, [&](const history::Row&) { ++rows; });
    return rows;
}

// The file moved, replaced or overwritten under a run: found at the next
// commit, nothing more copied into it; a moved file takes every round the
// run committed, a newcomer at the path stays as it came (its rounds, a
// clean check) and the run's log is set aside and named, never applied to
// it, also by the next open.
TEST_F(HistoryFile, AFileMovedReplacedOrOverwrittenUnderARunKeepsItsOwnRounds) {
    const std::vector<uint8_t> other_record(152, 0x22);
    const auto make = [&](const std::string& path, int rounds) {
        HistoryStore other(path, HistoryStore::Access::kReadWrite);
        for (int i = 0; i < rounds; ++i)
            other.Writer().SaveRecord(13, other_record.data(), other_record.size(), TimeStamp::FromMs(kMoment + i));
    };
    const std::string other = dir_ + "/other.sqlite";
    const std::string moved = dir_ + "/moved.sqlite";
    struct Case {
        const char* what;
        std::function<void()> harm;
        const char* said;
        bool log_set_aside;
        long ours_moved;    // rounds of the run in the moved file (-1: none moved)
        long newcomers;     // of the file at the path afterwards
    } cases[] = {
        {"moved away", [&] { fs::rename(path_, moved); }, " was moved away from its path; what this run stored is in it",
         false, 21, 0},
        {"replaced by another history", [&] { fs::rename(other, path_); }, " was replaced by another file", true, -1, 400},
        {"another history copied over it", [&] { fs::copy_file(other, path_, fs::copy_options::overwrite_existing); },
         " was overwritten: its header is not the one this run left in it", true, -1, 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
        make(other, 400);
        {
            HistoryStore store(path_, HistoryStore::Access::kReadWrite);
            for (int i = 0; i < 20; ++i)
                store.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + i));
            c.harm();
            // Found with the next commit, with no clock to wait for.
            store.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + 20));
            const std::string lost = store.Lost();
            EXPECT_EQ(lost.rfind("history " + path_ + c.said, 0), 0u) << lost;
            EXPECT_EQ(store.CheckFile(false), lost);
            const auto aside = lost.find("moved aside to ");
            EXPECT_EQ(aside != std::string::npos, c.log_set_aside) << lost;
            if (aside != std::string::npos) {
                EXPECT_TRUE(fs::exists(lost.substr(aside + 15))) << lost;
            }
        }
        for (const char* part : {"-wal", "-shm"}) EXPECT_FALSE(fs::exists(path_ + part)) << part;
        if (c.ours_moved >= 0) {
            EXPECT_EQ(Rows(moved, 12), c.ours_moved);
            EXPECT_EQ(HistorySchema::Damage(moved), "");
        }
        // The next run at the path: the newcomer as it came, no log applied.
        HistoryStore next(path_, HistoryStore::Access::kReadWrite);
        EXPECT_EQ(next.StrayLog(), "");
        EXPECT_EQ(next.MovedAside(), "");
        EXPECT_EQ(Rows(path_, 13), c.newcomers);
        EXPECT_EQ(Rows(path_, 12), 0);
        if (c.ours_moved >= 0) {
            EXPECT_EQ(Rows(moved, 12), c.ours_moved);
        }
    }
}

// A log beside a file it was not written for, at the start (a run killed
// before its file was moved or replaced, or a log copied by hand): moved
// aside with its name said, byte for byte, and not applied: the file keeps
// its rounds and passes SQLite's check.
TEST_F(HistoryFile, AStrayLogIsSetAsideNamedAndNotApplied) {
    const std::string donor = dir_ + "/donor.sqlite";
    struct Case {
        const char* what;
        bool with_its_stamp;
        const char* why;
    } cases[] = {
        {"another history's log and stamp", true, "it was written for another file"},
        {"a log without a stamp", false, "no stamp says which file it was written for"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
        {
            HistoryStore store(path_, HistoryStore::Access::kReadWrite);
            for (int i = 0; i < 50; ++i)
                store.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + i));
        }
        std::string log;
        {
            HistoryStore store(donor, HistoryStore::Access::kReadWrite);
            for (int i = 0; i < 10; ++i)
                store.Writer().SaveRecord(14, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + i));
            log = ReadBytes(donor + "-wal");
            ASSERT_GT(log.size(), 32u + 4096u) << "frames in the donor's log";
            std::ofstream(path_ + "-wal", std::ios::binary) << log;
            if (c.with_its_stamp) fs::copy_file(donor + "-wal.for", path_ + "-wal.for");
        }
        // Read first (a report, a baseline, the page): a log stamped for
        // another file is neither applied nor moved, the file not written,
        // and the reader says so.
        if (c.with_its_stamp) {
            const std::string file_bytes = ReadBytes(path_);
            {
                HistoryStore reader(path_, HistoryStore::Access::kReadOnly);
                EXPECT_EQ(reader.Unread().rfind(path_ + "-wal was not written for " + path_ + " (" + c.why, 0), 0u)
                    << reader.Unread();
                EXPECT_EQ(Rows(path_, 12), 50);
                EXPECT_EQ(Rows(path_, 14), 0);
            }
            EXPECT_EQ(ReadBytes(path_), file_bytes);
            EXPECT_EQ(ReadBytes(path_ + "-wal"), log);
        }
        HistoryStore store(path_, HistoryStore::Access::kReadWrite);
        const std::string said = store.StrayLog();
        EXPECT_EQ(said.rfind("history " + path_ + ": the write-ahead log " + path_ + "-wal was not applied (" + c.why, 0),
                  0u)
            << said;
        const auto at = said.find("moved aside to ");
        ASSERT_NE(at, std::string::npos) << said;
        EXPECT_EQ(ReadBytes(said.substr(at + 15)), log);
        EXPECT_EQ(store.MovedAside(), "") << "the file itself is whole";
        EXPECT_EQ(Rows(path_, 12), 50);
        EXPECT_EQ(Rows(path_, 14), 0);
    }
}

// A reader reads a killed run's file with its log, whole, wherever the
// stamp proves nothing against the log: handed over with its log alone,
// copied whole with its stamp, or with a stamp a full disk kept from being
// renewed after the last copies into the file.
TEST_F(HistoryFile, AReaderReadsAKilledRunsFileWholeWithItsOwnLog) {
    const std::string copy = dir_ + "/handed-over.sqlite";
    const struct {
        const char* what;
        std::vector<const char*> taken;  // of the file's parts, copied to another path with their times
        bool stale_stamp;
    } cases[] = {
        {"handed over with its log alone", {"", "-wal"}, false},
        {"copied whole with its stamp (cp -a)", {"", "-wal", "-wal.for"}, false},
        {"a stamp a full disk kept stale, in place", {}, true},
    };
    constexpr int kRounds = 300;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
        // The run is still open, as a killed run left it: its last rounds
        // are in the log alone.
        HistoryStore run(path_, HistoryStore::Access::kReadWrite);
        run.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment));
        const std::string first_stamp = ReadBytes(path_ + "-wal.for");
        for (int i = 1; i < kRounds; ++i)
            run.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + i));
        ASSERT_NE(ReadBytes(path_ + "-wal.for"), first_stamp) << "no copy into the file since the first round";
        ASSERT_GT(fs::file_size(path_ + "-wal"), 32u) << "the last rounds in the log";
        if (c.stale_stamp) std::ofstream(path_ + "-wal.for", std::ios::trunc) << first_stamp;
        std::string read = path_;
        if (!c.taken.empty()) {
            read = copy;
            for (const std::string part : c.taken) {
                fs::copy_file(path_ + part, copy + part);
                fs::last_write_time(copy + part, fs::last_write_time(path_ + part));
            }
        }
        HistoryStore reader(read, HistoryStore::Access::kReadOnly);
        EXPECT_EQ(reader.Unread(), "");
        long rows = 0;
        reader.Reader().ForEachRow(12, [&](const history::Row&) { ++rows; });
        EXPECT_EQ(rows, kRounds);
        EXPECT_EQ(HistorySchema::Damage(read), "");
    }
}

// A page garbled under an open file: the cheap check cannot see it, the
// deep one (SQLite's own, through a connection of its own) does.
TEST_F(HistoryFile, TheDeepCheckFindsAPageGarbledUnderARun) {
    HistoryStore store(path_, HistoryStore::Access::kReadWrite);
    for (int i = 0; i < 200; ++i)
        store.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + i));
    EXPECT_EQ(store.CheckFile(true), "");
    std::fstream f(path_, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(3 * 4096);
    f << std::string(4096, '\x55');
    f.close();
    EXPECT_EQ(store.CheckFile(false), "");
    EXPECT_NE(store.CheckFile(true).find("history " + path_ + " is damaged: "), std::string::npos)
        << store.CheckFile(true);
}

// Pages of the rounds garbled in the middle of the file: what can be read is
// read, each round once and in order within its run of rowids, and what
// could not be is counted (the rounds read and those not read make all that
// were stored), the same on a second reading.
TEST_F(HistoryFile, ADamagedFileIsReadPastItsDamageAndSaysWhatWasNot) {
    const long kStored = 400;
    for (const int garbled : {0, 1, 3}) {
        SCOPED_TRACE(std::to_string(garbled) + " pages garbled");
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        {
            HistoryStore store(path_, HistoryStore::Access::kReadWrite);
            for (int i = 0; i < kStored; ++i)
                store.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + 1000 * i));
        }
        // The pages that hold records, garbled from the middle one on.
        std::vector<std::streamoff> pages;
        {
            std::ifstream in(path_, std::ios::binary);
            const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const std::string run(record_.size(), '\x11');
            for (std::size_t at = 0; at + 4096 <= whole.size(); at += 4096)
                if (whole.substr(at, 4096).find(run) != std::string::npos)
                    pages.push_back(static_cast<std::streamoff>(at));
        }
        ASSERT_GT(pages.size(), 10u);
        {
            std::fstream f(path_, std::ios::binary | std::ios::in | std::ios::out);
            for (int p = 0; p < garbled; ++p) {
                f.seekp(pages[pages.size() / 2 + 2 * p]);
                f << std::string(4096, '\x55');
            }
        }
        HistoryStore store(path_, HistoryStore::Access::kReadOnly);
        for (int pass = 0; pass < 2; ++pass) {
            std::set<int64_t> seen;
            long rows = 0;
            store.Reader().ForEachRow(12, [&](const HistoryStore::Row& row) {
                ++rows;
                seen.insert(row.saved_ms);
            });
            EXPECT_EQ(static_cast<long>(seen.size()), rows) << "each round once";
            const std::string damage = store.Reader().Damage();
            if (garbled == 0) {
                EXPECT_EQ(rows, kStored);
                EXPECT_EQ(damage, "");
                continue;
            }
            EXPECT_LT(rows, kStored - 10 * garbled) << rows;
            EXPECT_GT(rows, kStored - 40 * garbled);
            EXPECT_NE(damage.find("history " + path_ + " is damaged: " + std::to_string(kStored - rows) +
                                  " of its stored rounds (rowids "),
                      std::string::npos)
                << damage << " (" << rows << " read)";
        }
    }
}

// The bus loop hands its writes to the store thread through a queue that
// holds kBound of them: beyond that a write is refused (and counted by its
// kind), the oldest are written first.
TEST(StoreQueue, HoldsItsBoundInOrderAndRefusesTheRest) {
    EXPECT_EQ(StoreQueue::kBound, 4096u);
    struct Step {
        int offers, takes;
        std::size_t size;  // after the step
        int refused;       // so far
    } steps[] = {
        {2, 0, 2, 0}, {2, 0, 3, 1}, {0, 1, 2, 1}, {1, 0, 3, 1}, {5, 0, 3, 6}, {0, 4, 0, 6}, {1, 1, 0, 6},
    };
    StoreQueue queue(3);
    uint32_t offered = 0;
    int refused = 0;
    std::vector<uint32_t> taken, accepted;
    for (const auto& s : steps) {
        for (int i = 0; i < s.offers; ++i) {
            const uint32_t id = ++offered;
            if (queue.Offer(StoreQueue::Item{StoreQueue::Record{id, {}, {}, {}}}))
                accepted.push_back(id);
            else
                ++refused;
        }
        for (int i = 0; i < s.takes; ++i)
            if (const auto item = queue.Take()) taken.push_back(item->DeviceId());
        EXPECT_EQ(queue.Size(), s.size);
        EXPECT_EQ(refused, s.refused);
    }
    EXPECT_EQ(taken, accepted) << "in the order offered";
    EXPECT_EQ(queue.Peak(), 3u);

    // Each write knows its kind and device.
    history::Alarm alarm;
    alarm.device_id = 7;
    history::Health health;
    health.device_id = 8;
    history::RunDevice counts;
    counts.device_id = 9;
    history::Note note;
    note.device_id = 10;
    const struct {
        StoreQueue::Item item;
        history::StoreKind kind;
        const char* name;
        uint32_t device;
    } kinds[] = {
        {{StoreQueue::Record{6, {}, {}, {}}}, history::StoreKind::kRecord, "record", 6},
        {{alarm}, history::StoreKind::kAlarm, "alarm", 7},
        {{health}, history::StoreKind::kHealth, "health", 8},
        {{counts}, history::StoreKind::kCounts, "counts", 9},
        // The run's own rows, also where a note names a device.
        {{note}, history::StoreKind::kCounts, "counts", 0},
        {{StoreQueue::RunStart{}}, history::StoreKind::kCounts, "counts", 0},
        {{history::RunSettings{0, 11, "", ""}}, history::StoreKind::kCounts, "counts", 11},
        // Closing the alarms left raised is an alarm write, of no one device.
        {{StoreQueue::CloseAlarms{}}, history::StoreKind::kAlarm, "alarm", 0},
    };
    for (const auto& k : kinds) {
        EXPECT_EQ(k.item.Kind(), k.kind);
        EXPECT_STREQ(history::StoreKindName(k.item.Kind()), k.name);
        EXPECT_EQ(k.item.DeviceId(), k.device);
    }
}

TEST_F(HistoryFile, OneRunWritesAFileAtATimeWhileReadersRead) {
    HistoryStore writer(path_, HistoryStore::Access::kReadWrite);
    try {
        HistoryStore second(path_, HistoryStore::Access::kReadWrite);
        ADD_FAILURE() << "a second writer was let in";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("another bench-host run"), std::string::npos) << e.what();
    }
    writer.Writer().SaveRecord(12, record_.data(), record_.size(), TimeStamp::FromMs(kMoment));
    HistoryStore reader(path_, HistoryStore::Access::kReadOnly);
    EXPECT_TRUE(reader.Reader().Newest(12));
}

// Alarms standing at the end of a run (killed, or stopped while a value
// was out of limits) are closed when the next run starts, and only those.
TEST_F(HistoryFile, AlarmsLeftRaisedAreClosedAtTheNextStart) {
    struct Step {
        uint32_t device;
        const char* name;
        const char* state;
    } earlier[] = {
        {12, "battery_5_value", "raised"},  // left raised
        {12, "battery_6_value", "raised"}, {12, "battery_6_value", "cleared"},
        {12, "temperature", "cleared"},    {12, "temperature", "raised"},    // raised again, left
        {13, "battery_5_value", "raised"},                                   // another device, same name
        {13, "group_voltage", "raised"},   {13, "group_voltage", "closed"},  // closed at an earlier start
    };
    {
        HistoryStore store(path_, HistoryStore::Access::kReadWrite);
        int64_t ms = kMoment;
        for (const auto& s : earlier) {
            HistoryStore::Alarm a;
            a.device_id = s.device;
            a.name = s.name;
            a.state = s.state;
            a.bound = "low";
            a.at_ms = ++ms;
            a.at = TimeStamp::FromMs(ms).Text();
            store.Writer().SaveAlarm(a);
        }
    }
    HistoryStore store(path_, HistoryStore::Access::kReadWrite);
    const int64_t run = store.Writer().BeginRun({}, TimeStamp::FromMs(kMoment + 1000));
    EXPECT_EQ(store.Writer().CloseAlarmsLeftRaised(TimeStamp::FromMs(kMoment + 1000)), 3);
    EXPECT_EQ(store.Writer().CloseAlarmsLeftRaised(TimeStamp::FromMs(kMoment + 1001)), 0);
    std::vector<std::string> closed;
    for (const auto& a : store.Reader().Alarms(std::nullopt)) {
        if (a.state != "closed" || a.at_ms < kMoment + 1000) continue;
        closed.push_back(std::to_string(a.device_id) + " " + a.name);
        EXPECT_EQ(a.run_id, run);
        EXPECT_EQ(a.bound, "low");
    }
    EXPECT_EQ(closed, (std::vector<std::string>{"12 battery_5_value", "12 temperature", "13 battery_5_value"}));

    std::ostringstream text;
    HistoryReport::PrintAlarms(store.Reader(), {}, text);
    EXPECT_NE(text.str().find("closed at restart"), std::string::npos) << text.str();
}

// The rule alone, over rows in any order: the newest run (by its row, not
// its clock) may still be running; every other without an end was killed.
TEST(KilledRuns, ARunWithoutAnEndIsKilledOnlyOnceALaterRowExists) {
    struct Row {
        int64_t id;
        bool ended;
    };
    const struct Case {
        const char* what;
        std::vector<Row> runs;
        std::vector<bool> killed;
    } cases[] = {
        {"none", {}, {}},
        {"one, not ended: running", {{1, false}}, {false}},
        {"an older one not ended", {{1, false}, {2, true}}, {true, false}},
        {"both not ended", {{1, false}, {2, false}}, {true, false}},
        {"rows out of order", {{3, false}, {1, false}, {2, true}}, {false, true, false}},
        {"every one ended", {{1, true}, {2, true}}, {false, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<history::Run> runs;
        for (const auto& r : c.runs) {
            history::Run run;
            run.id = r.id;
            run.ended_at = r.ended ? "2026-12-08T10:00:00.000+00:00" : "";
            runs.push_back(run);
        }
        KilledRuns::Mark(runs);
        std::vector<bool> killed;
        for (const auto& r : runs) killed.push_back(r.killed);
        EXPECT_EQ(killed, c.killed);
    }
}

// Only one run writes a file at a time: a run without an end is killed once
// another has started, and still running (or killed) while it is the last.
TEST_F(HistoryFile, ARunWithoutAnEndIsKilledOnceAnotherStarted) {
    {
        HistoryStore killed(path_, HistoryStore::Access::kReadWrite);
        killed.Writer().BeginRun({}, TimeStamp::FromMs(kMoment));
    }
    {
        HistoryStore ended(path_, HistoryStore::Access::kReadWrite);
        history::Run marked;
        marked.test_note = "annual test, 10 A";
        ended.Writer().BeginRun(marked, TimeStamp::FromMs(kMoment + 1000));
        ended.Writer().EndRun(TimeStamp::FromMs(kMoment + 2000));
    }
    HistoryStore last(path_, HistoryStore::Access::kReadWrite);
    // A clock set back: the last run reads earliest, and is still the last.
    last.Writer().BeginRun({}, TimeStamp::FromMs(kMoment - 5000));
    std::map<int64_t, bool> killed;
    auto runs = last.Reader().Runs();
    KilledRuns::Mark(runs);
    for (const auto& r : runs) killed[r.id] = r.killed;
    EXPECT_EQ(killed, (std::map<int64_t, bool>{{1, true}, {2, false}, {3, false}}));
    std::ostringstream text;
    HistoryReport::PrintRuns(last.Reader(), {}, text);
    EXPECT_NE(text.str().find("run 1  " + TimeStamp::FromMs(kMoment).Text() + " to (killed: no end recorded, and a later run started)"),
              std::string::npos)
        << text.str();
    EXPECT_NE(text.str().find("(no end recorded: still running, or killed)"), std::string::npos) << text.str();
    // The operator's test note stays with its run, and only with it.
    EXPECT_NE(text.str().find("\n  a capacity test: annual test, 10 A\n"), std::string::npos) << text.str();
    std::map<int64_t, std::string> notes;
    for (const auto& r : last.Reader().Runs()) notes[r.id] = r.test_note;
    EXPECT_EQ(notes, (std::map<int64_t, std::string>{{1, ""}, {2, "annual test, 10 A"}, {3, ""}}));
}

TEST_F(HistoryFile, HealthChangesAreKeptWithTheirRunInTheOrderOfTime) {
    int64_t run = 0;
    {
        HistoryStore store(path_, HistoryStore::Access::kReadWrite);
        run = store.Writer().BeginRun({}, TimeStamp::FromMs(kMoment));
        const struct {
            uint32_t id;
            int64_t at, since;
            const char *state, *was, *reason;
        } changes[] = {
            {12, kMoment + 3000, kMoment + 500, "not answering", "answering", "timeout"},
            {13, kMoment + 1000, kMoment + 1000, "answering", "never answered", ""},
            {12, kMoment + 9000, kMoment + 9000, "answering", "not answering", ""},
        };
        for (const auto& c : changes) {
            HistoryStore::Health h;
            h.device_id = c.id;
            h.at = TimeStamp::FromMs(c.at).Text();
            h.at_ms = c.at;
            h.since = TimeStamp::FromMs(c.since).Text();
            h.since_ms = c.since;
            h.state = c.state;
            h.was = c.was;
            h.reason = c.reason;
            h.cycles_lost = c.id == 12 ? 3 : 0;
            store.Writer().SaveHealth(h);
        }
    }
    HistoryStore store(path_, HistoryStore::Access::kReadOnly);
    const auto all = store.Reader().HealthChanges(std::nullopt);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].device_id, 13u);
    EXPECT_EQ(all[1].state, "not answering");
    EXPECT_EQ(all[1].since_ms, kMoment + 500);
    EXPECT_EQ(all[1].reason, "timeout");
    EXPECT_EQ(all[1].run_id, run);
    EXPECT_EQ(store.Reader().HealthChanges(12).size(), 2u);
}

// The log is copied into the file every few rounds and cut back, so it
// never holds more than a few dozen pages, however long the run.
TEST_F(HistoryFile, TheWriteAheadLogStaysSmall) {
    HistoryStore store(path_, HistoryStore::Access::kReadWrite);
    store.Writer().BeginRun({}, TimeStamp::FromMs(kMoment));
    uintmax_t largest = 0;
    for (int i = 0; i < 2000; ++i) {
        store.Writer().SaveRecord(100 + i % 8, record_.data(), record_.size(), TimeStamp::FromMs(kMoment + 125 * i));
        std::error_code ec;
        largest = std::max<uintmax_t>(largest, fs::file_size(path_ + "-wal", ec));
    }
    // A commit adds a few pages past the checkpoint threshold.
    const uintmax_t bound = std::max<uintmax_t>(HistoryWriter::kLogLimitBytes,
                                                (HistoryWriter::kCheckpointPages + 16) * (4096 + 24) + 32);
    EXPECT_LE(largest, bound);
    EXPECT_GT(largest, 0u);
    // 2000 rounds of 152 bytes: the file grows by about their size.
    EXPECT_LT(fs::file_size(path_), 2000u * 400);
}

// SQLite's "unable to open database file" says nothing a user can act on.
TEST_F(HistoryFile, AFileThatCannotBeOpenedSaysWhyInTheSystemsWords) {
    std::ofstream(dir_ + "/plain") << std::string(600, 'x');
    fs::create_directories(dir_ + "/folder");
    const struct {
        std::string path;
        HistoryStore::Access access;
        const char* why;
    } cases[] = {
        {dir_ + "/missing/h.sqlite", HistoryStore::Access::kReadWrite, "no such folder " },
        {dir_ + "/missing/h.sqlite", HistoryStore::Access::kReadOnly, "no such folder "},
        {dir_ + "/folder", HistoryStore::Access::kReadWrite, ": is a directory"},
        {dir_ + "/folder", HistoryStore::Access::kReadOnly, ": is a directory"},
        {dir_ + "/plain/h.sqlite", HistoryStore::Access::kReadWrite, "/plain is not a folder"},
        {dir_ + "/none.sqlite", HistoryStore::Access::kReadOnly, ": no such file"},
        {dir_ + "/plain", HistoryStore::Access::kReadOnly, ": file is not a database"},
    };
    for (const auto& c : cases) {
        try {
            HistoryStore store(c.path, c.access);
            ADD_FAILURE() << c.path << " opened";
        } catch (const std::runtime_error& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.path), std::string::npos) << what;
            EXPECT_NE(what.find(c.why), std::string::npos) << what;
            EXPECT_EQ(what.find("unable to open"), std::string::npos) << what;
            EXPECT_EQ(what.find("(Is a directory)"), std::string::npos) << "said twice: " << what;
        }
    }
}

TEST_F(HistoryFile, AlarmCsvNeverHandsASpreadsheetAFormula) {
    // label as stored -> the label field as the CSV writes it
    const struct {
        const char* label;
        const char* field;
    } cases[] = {
        {"=HYPERLINK(\"http://x\")", "\"'=HYPERLINK(\"\"http://x\"\")\""},
        {"+1+1", "\"'+1+1\""},
        {"-2+3", "\"'-2+3\""},
        {"@SUM(A1)", "\"'@SUM(A1)\""},
        {"\tcmd", "\"'\\tcmd\""},  // the tab written out: every record one line
        {"x\n12,,forged", "\"x\\n12,,forged\""},
        {"第6节电池", "第6节电池"},
        {"a,b", "\"a,b\""},
        {"x=1", "x=1"},
    };
    {
        HistoryStore store(path_, HistoryStore::Access::kReadWrite);
        int64_t ms = kMoment;
        for (const auto& c : cases) {
            HistoryStore::Alarm a;
            a.device_id = 12;
            a.name = "battery_1_value";
            a.label = c.label;
            a.state = "raised";
            a.bound = "low";
            a.at_ms = ++ms;
            a.at = TimeStamp::FromMs(ms).Text();
            store.Writer().SaveAlarm(a);
        }
    }
    HistoryStore store(path_, HistoryStore::Access::kReadOnly);
    HistoryReport::Options options;
    options.csv = true;
    std::ostringstream csv;
    HistoryReport::PrintAlarms(store.Reader(), options, csv);
    const std::string text = csv.str();
    for (const auto& c : cases) {
        EXPECT_NE(text.find(",battery_1_value," + std::string(c.field) + ",raised,"), std::string::npos)
            << c.label << "\n" << text;
    }
}

// A round stored with values the monitor marked invalid (cell 2 and the
// temperature; the plug-in's image holds 0 V and a temperature kept from
// before) reads them as no value wherever the history is read: the
// rounds' text and CSV, record_value, and the minute summarised.
TEST_F(HistoryFile, ValuesMarkedInvalidReadBackAsNoValue) {
    const auto image = [](float cell, float cell_2, float temperature) {
        Battery32_Data_t r{};
        for (float& v : r.battery_value) v = cell;
        r.battery_value[1] = cell_2;
        r.group_voltage = 391.5f;
        r.temperature = temperature;
        std::vector<uint8_t> out(sizeof r);
        std::memcpy(out.data(), &r, sizeof r);
        return out;
    };
    const uint64_t mask = uint64_t{1} << 1 | uint64_t{1} << BatteryRecord::kTemperatureBit;
    const auto whole = image(13.4f, 13.3f, 25.0f), marked = image(13.6f, 0.0f, 99.0f);
    {
        HistoryStore store(path_, HistoryStore::Access::kReadWrite);
        store.Writer().BeginRun({}, TimeStamp::FromMs(kMoment));
        store.Writer().SaveRecord(12, whole.data(), whole.size(), TimeStamp::FromMs(kMoment));
        store.Writer().SaveRecord(12, marked.data(), marked.size(), TimeStamp::FromMs(kMoment + 1000), "", 1000, mask);
    }
    HistoryStore store(path_, HistoryStore::Access::kReadOnly);
    // output -> what the marked round shows, and what it must not
    const struct {
        bool csv;
        const char* shows;
        const char* never;
    } outputs[] = {
        {true, ",391.5,0.0,,13.60,,13.60,", ",0.00,"},
        {false, "temperature no value\n  cells 1-3: 13.60 no value 13.60\n", "99.0"},
    };
    for (const auto& o : outputs) {
        std::ostringstream out;
        HistoryReport::Options options;
        options.csv = o.csv;
        options.cells = 3;
        HistoryReport::PrintRounds(store.Reader(), options, out);
        EXPECT_NE(out.str().find(o.shows), std::string::npos) << out.str();
        EXPECT_EQ(out.str().find(o.never), std::string::npos) << out.str();
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    RecordSql::Register(db);
    // what -> the marked round's value, "NULL" for none
    const struct {
        int what;
        const char* value;
    } values[] = {
        {RecordSql::kTemperature, "NULL"},
        {RecordSql::kCell0 + 1, "NULL"},
        {RecordSql::kCell0, "13.6"},
        {RecordSql::kStringVoltage, "391.5"},
        {RecordSql::kCellMin, "13.6"},  // not the 0 V of the image
        {RecordSql::kCellMean, "13.6"},
        {RecordSql::kCellMax, "13.6"},
    };
    for (const auto& v : values) {
        sqlite3_stmt* st = nullptr;
        const std::string sql = "SELECT iif(v IS NULL, 'NULL', printf('%.1f', v)) FROM (SELECT record_value(record, " +
                                std::to_string(v.what) + ", 3, no_value) AS v FROM history WHERE no_value <> 0)";
        ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), v.value) << v.what;
        sqlite3_finalize(st);
    }
    // The minute of both rounds: its means, lowest and highest are the
    // whole round's; the marked one is counted, not read.
    sqlite3_exec(db, "DELETE FROM history_minutes_through", nullptr, nullptr, nullptr);
    HistorySummary::Update(db, kMoment + 120000);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT rounds, decoded, printf('%.1f %.1f %.2f %.2f %.2f', temperature_sum, "
                                 "voltage_sum, c2_min, c2_max, c1_sum) FROM history_minutes WHERE device_id = 12",
                                 -1, &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 2);
    EXPECT_EQ(sqlite3_column_int(st, 1), 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 2)), "25.0 391.5 13.30 13.30 13.40");
    sqlite3_finalize(st);
    sqlite3_close(db);
}

}  // namespace
