#pragma once
// The value names a device of the plug-in answers (Get_Value) and hands to
// the threshold check (CheckThreshold), known before the device exists, so
// that a site file can be checked against them: "group_voltage",
// "group_current", "temperature", and "battery_N_value" for each cell N of
// the device type.  The threshold check covers every cell, or only those the
// configuration lists ("group_index" with "amount", "active_batteries" in
// "appSetting"), read as the plug-in reads them.
//
// The device types and their cell counts are the plug-in's own list
// (models/Models.h), and the group rule is the plug-in's own
// (battery/CellGroups.h): the bench keeps no copy of either.
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

class ValueNames {
public:
    // Nothing for a device type this bench does not know.
    static std::optional<ValueNames> For(const std::string& type, const Json::Value& config);
    // Cells of a device type; 0 for a type this bench does not know.
    static int CellCount(const std::string& type);

    int Cells() const { return cells_; }
    // Every name the device answers, string values first, then the cells.
    std::vector<std::string> All() const;
    bool Answers(const std::string& name) const;
    // Whether the threshold check hands this value over (so an alarm on it
    // can fire).
    bool Checked(const std::string& name) const;
    // The names as a reader wants them listed in a message.
    std::string Summary() const;

    static std::string CellName(int cell) { return "battery_" + std::to_string(cell) + "_value"; }

private:
    int cells_ = 0;
    std::vector<bool> checked_;  // per cell
};
