#include "history/StoreQueue.h"

uint32_t StoreQueue::Item::DeviceId() const {
    return std::visit([](const auto& w) { return w.device_id; }, write);
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
