#include "history/StoreQueue.h"

#include <type_traits>

uint32_t StoreQueue::Item::DeviceId() const {
    if (std::holds_alternative<history::Note>(write)) return 0;  // the run's own
    return std::visit(
        [](const auto& w) -> uint32_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(w)>, history::Note>)
                return 0;
            else
                return w.device_id;
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
