#include "record/AlarmEvaluator.h"

#include <cmath>

void AlarmEvaluator::SetLimits(const std::string& name_or_pattern, const Limits& limits) {
    if (name_or_pattern.find('*') == std::string::npos) {
        exact_[name_or_pattern] = limits;
        return;
    }
    for (auto& p : patterns_) {
        if (p.first == name_or_pattern) {
            p.second = limits;
            return;
        }
    }
    patterns_.emplace_back(name_or_pattern, limits);
}

const AlarmEvaluator::Limits* AlarmEvaluator::LimitsFor(const std::string& name) const {
    auto it = exact_.find(name);
    if (it != exact_.end()) return &it->second;
    for (const auto& p : patterns_)
        if (Matches(p.first, name)) return &p.second;
    return nullptr;
}

bool AlarmEvaluator::Matches(const std::string& pattern, const std::string& name) {
    // Iterative glob with backtracking to the last '*'.
    std::size_t p = 0, n = 0, star = std::string::npos, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::vector<AlarmEvaluator::Change> AlarmEvaluator::Evaluate(const std::string& name, const std::string& label,
                                                             float value) {
    std::vector<Change> changes;
    const Limits* limits = LimitsFor(name);
    if (limits == nullptr || std::isnan(value)) return changes;

    std::string bound;
    float limit = 0.0f;
    if (limits->low && value < *limits->low) {
        bound = "low";
        limit = *limits->low;
    } else if (limits->high && value > *limits->high) {
        bound = "high";
        limit = *limits->high;
    }

    auto it = standing_.find(name);
    if (it != standing_.end()) {
        if (it->second.bound == bound) {
            it->second.value = value;  // still out of limits: no new report
            return changes;
        }
        changes.push_back(Change{name, label, false, it->second.bound, value, it->second.limit});
        standing_.erase(it);
    }
    if (!bound.empty()) {
        changes.push_back(Change{name, label, true, bound, value, limit});
        standing_[name] = Active{name, label, bound, value, limit};
    }
    return changes;
}

std::vector<AlarmEvaluator::Active> AlarmEvaluator::Standing() const {
    std::vector<Active> out;
    for (const auto& [name, a] : standing_) out.push_back(a);
    return out;
}
