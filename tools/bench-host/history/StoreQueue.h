#pragma once
// The writes a run hands from its bus loop to its store thread: rounds'
// records, alarms, health changes, the devices' counts, the run's notes, and
// first of all the rows the run begins with (its row in runs, what each
// device is judged by, the alarms an earlier run left raised closed), so
// that a slow disk holds up no poll, not even the first.  The bus loop never
// waits for the disk; while the disk is slow the writes wait here, up to
// kBound of them, and a write offered to a full queue is refused (the
// caller counts it as not stored, by its kind) so that polling goes on and
// memory stays bounded.
//
// kBound: 4096 writes of at most a few hundred bytes (a record is 152
// bytes), about 1 MiB; at 8 devices polled five times a second, a disk that
// stalls for 100 s before a write is refused.
//
// Plain data, no lock: the store thread guards it with its own.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "basics/TimeStamp.h"
#include "history/HistoryRows.h"

class StoreQueue {
public:
    static constexpr std::size_t kBound = 4096;

    // A round's record, as the device handed it over.
    struct Record {
        uint32_t device_id = 0;
        std::vector<uint8_t> bytes;
        TimeStamp at;
        std::string charge_state;  // the string's, judged with the round; "" when it was not
        std::optional<int64_t> mono_ms{};  // on the run's monotonic clock
        uint64_t no_value = 0;             // the round's values without one (BatteryRecord::no_value)
    };
    // The run's row, under the id the run was given as it set up (the
    // rows offered after it refer to it).
    struct RunStart {
        history::Run run;
        TimeStamp at;
        int64_t run_id = 0;
    };
    // The alarms earlier runs left raised, closed as this run starts:
    // before any alarm of its own is written.
    struct CloseAlarms {
        TimeStamp at;
    };
    struct Item {
        std::variant<Record, history::Alarm, history::Health, history::RunDevice, history::Note, RunStart,
                     history::RunSettings, CloseAlarms>
            write;
        // The run's own rows (its start, notes, settings) count with its
        // counts; the alarms closed at its start with the alarms.
        history::StoreKind Kind() const;
        // 0 for the run's own rows.
        uint32_t DeviceId() const;
    };

    explicit StoreQueue(std::size_t bound = kBound) : bound_(bound) {}

    // false when the queue holds its bound already: the item is dropped.
    bool Offer(Item item);
    // The oldest item, none when empty.
    std::optional<Item> Take();
    std::size_t Size() const { return items_.size(); }
    std::size_t Bound() const { return bound_; }
    // The most the queue has held at once.
    std::size_t Peak() const { return peak_; }

private:
    std::size_t bound_;
    std::size_t peak_ = 0;
    std::deque<Item> items_;
};
