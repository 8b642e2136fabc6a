#include "history/BaselineStore.h"

#include <cstdio>
#include <cstdlib>

#include "history/SqlConnection.h"

void BaselineStore::Set(SqlConnection& db, const history::Baseline& b) {
    db.Exec(
        "CREATE TABLE IF NOT EXISTS baselines(device_id INTEGER NOT NULL, set_at TEXT NOT NULL, set_ms INTEGER NOT NULL, "
        "from_ms INTEGER, to_ms INTEGER, taken_at TEXT, temperature_c REAL, string_v REAL, float_v TEXT, "
        "resistance_mohm TEXT, capacity_pct REAL)");
    auto st = db.Prepare(
        "INSERT INTO baselines(device_id, set_at, set_ms, from_ms, to_ms, taken_at, temperature_c, string_v, float_v, "
        "resistance_mohm, capacity_pct) VALUES(?,?,?,?,?,?,?,?,?,?,?)");
    st.Bind(1, static_cast<int64_t>(b.device_id)).Bind(2, b.set_at).Bind(3, b.set_ms).Bind(4, b.from_ms);
    st.Bind(5, b.to_ms).Bind(6, b.taken_at);
    auto real = [&](int i, const std::optional<double>& v) {
        if (v) st.Bind(i, *v);
        else st.Bind(i, std::optional<int64_t>());
    };
    real(7, b.temperature_c);
    real(8, b.string_v);
    st.Bind(9, Join(b.float_v)).Bind(10, Join(b.resistance_mohm));
    real(11, b.capacity_pct);
    st.Run();
}

std::optional<history::Baseline> BaselineStore::Newest(SqlConnection& db, uint32_t device_id) {
    if (!db.HasTable("baselines")) return std::nullopt;
    auto st = db.Prepare(
        "SELECT set_at, set_ms, from_ms, to_ms, taken_at, temperature_c, string_v, float_v, resistance_mohm, "
        "capacity_pct FROM baselines WHERE device_id = ? ORDER BY rowid DESC LIMIT 1");
    st.Bind(1, static_cast<int64_t>(device_id));
    if (!st.Step()) return std::nullopt;
    history::Baseline b;
    b.device_id = device_id;
    b.set_at = st.Text(0);
    b.set_ms = st.Int(1);
    b.from_ms = st.Int(2);
    b.to_ms = st.Int(3);
    b.taken_at = st.Text(4);
    if (!st.Null(5)) b.temperature_c = st.Real(5);
    if (!st.Null(6)) b.string_v = st.Real(6);
    b.float_v = Split(st.Text(7));
    b.resistance_mohm = Split(st.Text(8));
    if (!st.Null(9)) b.capacity_pct = st.Real(9);
    return b;
}

std::string BaselineStore::Join(const std::vector<std::optional<double>>& values) {
    std::string out;
    char buf[32];
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out += ',';
        if (values[i]) {
            std::snprintf(buf, sizeof buf, "%.6g", *values[i]);
            out += buf;
        }
    }
    return out;
}

std::vector<std::optional<double>> BaselineStore::Split(const std::string& text) {
    std::vector<std::optional<double>> out;
    if (text.empty()) return out;
    std::size_t start = 0;
    while (out.size() < kMaxBlocks) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        char* end = nullptr;
        const double v = std::strtod(item.c_str(), &end);
        out.push_back(!item.empty() && end && *end == '\0' ? std::optional<double>(v) : std::nullopt);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}
