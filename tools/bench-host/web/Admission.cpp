#include "web/Admission.h"

#include <stdexcept>

using Unavailable = ServerCounters::Unavailable;

Admission::Admission(const Bounds& bounds) : bounds_(bounds) {
    if (bounds.kept_for_metrics >= bounds.connections) {
        throw std::invalid_argument("the connections kept for /metrics (" + std::to_string(bounds.kept_for_metrics) +
                                    ") must be fewer than the connections (" + std::to_string(bounds.connections) +
                                    ")");
    }
    if (bounds.kept_per_client >= bounds.per_client) {
        throw std::invalid_argument("the connections of one address kept for /metrics (" +
                                    std::to_string(bounds.kept_per_client) +
                                    ") must be fewer than those of one address (" +
                                    std::to_string(bounds.per_client) + ")");
    }
}

Admission::Arrival Admission::Arrive(Id id, const std::string& address) {
    Arrival a;
    const auto mine = clients_.find(address);
    const bool address_full = mine != clients_.end() && mine->second.connections >= bounds_.per_client;
    if (address_full || connections_ >= bounds_.connections) {
        a.why = address_full ? Unavailable::kAddressFull : Unavailable::kServerFull;
        const auto oldest = OldestWaiting(address_full ? &address : nullptr);
        if (!oldest) {
            a.kind = Arrival::Kind::kRefused;
            return a;
        }
        a.kind = Arrival::Kind::kDisplacing;
        a.displaced = *oldest;
        Forget(*oldest);
    }
    Entry& e = entries_[id];
    e.address = address;
    ++connections_;
    ++clients_[address].connections;
    e.waiting_since = ++next_wait_;
    waiting_.emplace(*e.waiting_since, id);
    return a;
}

void Admission::Wait(Id id) {
    const auto it = entries_.find(id);
    if (it == entries_.end() || it->second.stream) return;
    StopWaiting(it->second);
    it->second.waiting_since = ++next_wait_;
    waiting_.emplace(next_wait_, id);
}

void Admission::Busy(Id id) {
    const auto it = entries_.find(id);
    if (it != entries_.end()) StopWaiting(it->second);
}

std::optional<Admission::Refusal> Admission::Take(Id id, Use use) {
    const auto it = entries_.find(id);
    if (it == entries_.end()) return std::nullopt;
    Entry& e = it->second;
    if (e.stream) return std::nullopt;
    StopWaiting(e);
    // A request's use replaces what the one before it held.
    Answered(id);
    Client& client = clients_[e.address];
    switch (use) {
        case Use::kScrape:
            return std::nullopt;
        case Use::kPage:
            if (pages_ + bounds_.kept_for_metrics >= bounds_.connections) {
                return Refusal{Unavailable::kPagesBusy, false};
            }
            if (client.pages + bounds_.kept_per_client >= bounds_.per_client) {
                return Refusal{Unavailable::kPagesBusy, true};
            }
            e.page = true;
            ++pages_;
            ++client.pages;
            return std::nullopt;
        case Use::kStream:
            if (streams_ >= bounds_.streams) return Refusal{Unavailable::kLivePages, false};
            if (client.streams >= bounds_.per_client) return Refusal{Unavailable::kLivePages, true};
            // From the connections' room to the streams'.
            e.stream = true;
            --connections_;
            --client.connections;
            ++streams_;
            ++client.streams;
            return std::nullopt;
    }
    return std::nullopt;
}

void Admission::Answered(Id id) {
    const auto it = entries_.find(id);
    if (it == entries_.end() || !it->second.page) return;
    it->second.page = false;
    --pages_;
    --clients_[it->second.address].pages;
}

void Admission::Leave(Id id) {
    if (entries_.count(id)) Forget(id);
}

std::size_t Admission::Connections(const std::string& address) const {
    const auto it = clients_.find(address);
    return it == clients_.end() ? 0 : it->second.connections;
}

void Admission::StopWaiting(Entry& e) {
    if (!e.waiting_since) return;
    waiting_.erase(*e.waiting_since);
    e.waiting_since.reset();
}

std::optional<Admission::Id> Admission::OldestWaiting(const std::string* of) const {
    for (const auto& [since, id] : waiting_)
        if (!of || entries_.at(id).address == *of) return id;
    return std::nullopt;
}

void Admission::Forget(Id id) {
    const auto it = entries_.find(id);
    Entry& e = it->second;
    StopWaiting(e);
    Answered(id);
    const auto client = clients_.find(e.address);
    if (e.stream) {
        --streams_;
        --client->second.streams;
    } else {
        --connections_;
        --client->second.connections;
    }
    if (client->second.connections == 0 && client->second.streams == 0) clients_.erase(client);
    entries_.erase(it);
}
