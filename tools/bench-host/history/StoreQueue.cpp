#include "history/StoreQueue.h"

#include <type_traits>

namespace {

template <class T, class = void>
struct OfADevice : std::false_type {};
template <class T>
struct OfADevice<T, std::void_t<decltype(T::device_id)>> : std::true_type {};

}  // namespace

history::StoreKind StoreQueue::Item::Kind() const {
    using history::StoreKind;
    return std::visit(
        [](const auto& w) {
            using W = std::decay_t<decltype(w)>;
            if constexpr (std::is_same_v<W, Record>) return StoreKind::kRecord;
            if constexpr (std::is_same_v<W, history::Alarm> || std::is_same_v<W, CloseAlarms>) return StoreKind::kAlarm;
            if constexpr (std::is_same_v<W, history::Health>) return StoreKind::kHealth;
            return StoreKind::kCounts;
        },
        write);
}

uint32_t StoreQueue::Item::DeviceId() const {
    return std::visit(
        [](const auto& w) -> uint32_t {
            using W = std::decay_t<decltype(w)>;
            // A note may name a device, but is the run's own.
            if constexpr (OfADevice<W>::value && !std::is_same_v<W, history::Note>)
                return w.device_id;
            else
                return 0;
        },
        write);
}

bool StoreQueue::Offer(Item item) {
    if (items_.size() >= bound_) return false;
    items_.push_back(std::move(item));
    if (items_.size() > peak_) peak_ = items_.size();
    return true;
}

std::optional<StoreQueue::Item> StoreQueue::Take() {
    if (items_.empty()) return std::nullopt;
    Item item = std::move(items_.front());
    items_.pop_front();
    return item;
}
