#include "verdict/LiveCapacity.h"

#include "basics/TimeStamp.h"

namespace verdict {

void LiveCapacity::Add(const Reading& r, Charge state) {
    if (!tests_) tests_.emplace(spec_, static_cast<int>(r.blocks.size()));
    if (auto t = tests_->Add(r, state, marked_)) {
        if (CapacityTest::Holds(*t)) known_ = t->capacity_pct;
        newest_ = std::move(t);
    }
}

std::optional<double> LiveCapacity::Known() const {
    if (known_) return known_;
    if (baseline_) return baseline_->pct;
    return std::nullopt;
}

CapacityNow LiveCapacity::Of(const CapacityResult& t) const {
    CapacityNow c;
    c.pct = t.capacity_pct;
    c.source = "test";
    c.at_ms = t.end_ms;
    c.at = TimeStamp::FromMs(t.end_ms).Text();
    c.lower_bound = t.lower_bound;
    c.marked = t.marked;
    c.decision = t.decision;
    if (baseline_) {
        c.baseline_pct = baseline_->pct;
        c.baseline_date = baseline_->at.substr(0, 10);
    }
    return c;
}

std::optional<CapacityNow> LiveCapacity::Now(bool run_ended) const {
    if (run_ended && tests_)
        if (const auto open = tests_->IfStoppedNow()) return Of(*open);
    if (newest_) return Of(*newest_);
    if (!baseline_) return std::nullopt;
    CapacityNow c;
    c.pct = baseline_->pct;
    c.source = "baseline";
    c.at_ms = baseline_->at_ms;
    c.at = baseline_->at;
    c.decision = CapacityTest::Decision(spec_, c.pct, false);
    return c;
}

JsonLine& LiveCapacity::Keys(JsonLine& out, const std::optional<CapacityNow>& c) {
    if (!c) return out.Raw("capacity", "null");
    JsonLine o;
    o.Raw("pct", JsonLine::Rounded(c->pct, 1))
        .Str("source", c->source)
        .Str("at", c->at)
        .Int("at_ms", c->at_ms)
        .Bool("lower_bound", c->lower_bound)
        .Bool("marked", c->marked)
        .Str("decision", c->decision)
        .Raw("baseline_pct", JsonLine::Rounded(c->baseline_pct, 1))
        .Raw("baseline_date", c->baseline_pct ? JsonLine::Quote(c->baseline_date) : "null");
    return out.Raw("capacity", o.Text());
}

}  // namespace verdict
