#pragma once
// History and alarms of the bench host in one SQLite file:
//
//   history(device_id INTEGER, saved_at TEXT, record BLOB)
//       every record a device hands to SaveDeviceHistory, as its byte image;
//       saved_at is local time, ISO 8601 (YYYY-MM-DDThh:mm:ss)
//   alarms(device_id INTEGER, at TEXT, name TEXT, label TEXT, state TEXT,
//          bound TEXT, value REAL, limit_value REAL)
//       state "raised" or "cleared", bound "low" or "high"
//
// Rows are kept in insertion order (rowid), which is also how the newest
// record of a device is found: a clock set back must not make an old record
// look newer.
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class HistoryStore {
public:
    enum class Access { kReadWrite, kReadOnly };

    struct Row {
        uint32_t device_id = 0;
        std::string saved_at;
        std::vector<uint8_t> record;
    };

    struct Alarm {
        uint32_t device_id = 0;
        std::string at;
        std::string name;
        std::string label;
        std::string state;  // "raised" or "cleared"
        std::string bound;  // "low" or "high"
        double value = 0.0;
        double limit = 0.0;
    };

    // Opens (read-write: creates the file and tables as needed).  Throws
    // std::runtime_error naming the file on failure.
    HistoryStore(const std::string& path, Access access);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    const std::string& Path() const { return path_; }

    void SaveRecord(uint32_t device_id, const uint8_t* data, std::size_t size, const std::string& saved_at);
    // The device's most recently stored round.
    std::optional<Row> Newest(uint32_t device_id);
    // Every stored round, oldest first; only those of one device if given.
    void ForEachRow(std::optional<uint32_t> device_id, const std::function<void(const Row&)>& visit);

    void SaveAlarm(const Alarm& alarm);
    std::vector<Alarm> Alarms(std::optional<uint32_t> device_id);

    // Local time in the form stored in saved_at.
    static std::string IsoLocalTime(std::time_t t);

private:
    void Exec(const char* sql);
    [[noreturn]] void Fail(const std::string& what);

    std::string path_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_record_ = nullptr;
    sqlite3_stmt* insert_alarm_ = nullptr;
};
