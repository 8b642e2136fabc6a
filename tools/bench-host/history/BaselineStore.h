#pragma once
// A string's baseline in the history file: each block's float voltage and
// resistance, the string's float voltage, the temperature and the capacity
// when a test ran, as taken from a period of rounds (at commissioning,
// after about a week on float) and kept with the date it was set.  Reports
// and the live page compare against the device's newest one.
//
//   baselines(device_id INTEGER, set_at TEXT, set_ms INTEGER,
//             from_ms INTEGER, to_ms INTEGER, taken_at TEXT,
//             temperature_c REAL, string_v REAL, float_v TEXT,
//             resistance_mohm TEXT, capacity_pct REAL)
//
// float_v and resistance_mohm hold one value per block, comma-separated,
// empty where the block had none.  The table is made by the first --set;
// a file without it has no baseline.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class SqlConnection;

namespace history {

struct Baseline {
    uint32_t device_id = 0;
    std::string set_at;  // when it was kept
    int64_t set_ms = 0;
    int64_t from_ms = 0, to_ms = 0;  // the rounds it was taken from
    std::string taken_at;            // the last of them, as stored
    std::optional<double> temperature_c, string_v;
    std::vector<std::optional<double>> float_v, resistance_mohm;  // per block
    std::optional<double> capacity_pct;
};

}  // namespace history

class BaselineStore {
public:
    // Values per block read back; more in a damaged row are not read.
    static constexpr std::size_t kMaxBlocks = 32;

    // Keeps b as the device's newest baseline.  Throws SqlError.
    static void Set(SqlConnection& db, const history::Baseline& b);
    // The device's newest baseline; none when none was set.
    static std::optional<history::Baseline> Newest(SqlConnection& db, uint32_t device_id);

    static std::string Join(const std::vector<std::optional<double>>& values);
    static std::vector<std::optional<double>> Split(const std::string& text);
};
