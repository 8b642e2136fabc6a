#pragma once
// Low/high limits per value name, evaluated on every value a device hands
// to CheckThreshold.  An alarm is raised when a value leaves its limits and
// cleared when it comes back; each change is reported once, with the
// device's display label.  A limit given for a name with '*' in it applies
// to every name it matches ("battery_*_value": every cell); a limit for the
// exact name wins over a pattern.
#include <map>
#include <optional>
#include <string>
#include <vector>

class AlarmEvaluator {
public:
    struct Limits {
        std::optional<float> low;
        std::optional<float> high;
    };

    struct Change {
        std::string name;
        std::string label;
        bool raised = false;  // false: cleared
        std::string bound;    // "low" or "high"
        float value = 0.0f;
        float limit = 0.0f;
    };

    struct Active {
        std::string name;
        std::string label;
        std::string bound;
        float value = 0.0f;
        float limit = 0.0f;
    };

    void SetLimits(const std::string& name_or_pattern, const Limits& limits);

    // The changes this value causes (none, a raise, a clear, or a clear and
    // a raise when it jumps from below the low limit to above the high one).
    std::vector<Change> Evaluate(const std::string& name, const std::string& label, float value);

    // Alarms standing now, in name order.
    std::vector<Active> Standing() const;
    bool IsStanding(const std::string& name) const { return standing_.count(name) != 0; }

    const Limits* LimitsFor(const std::string& name) const;

    // Whether the name matches the pattern, '*' standing for any run of
    // characters.
    static bool Matches(const std::string& pattern, const std::string& name);

private:
    std::map<std::string, Limits> exact_;
    std::vector<std::pair<std::string, Limits>> patterns_;
    std::map<std::string, Active> standing_;
};
