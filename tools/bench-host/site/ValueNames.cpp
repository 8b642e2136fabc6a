#include "site/ValueNames.h"

#include <algorithm>

#include "battery/CellGroups.h"
#include "battery/ConfigText.h"
#include "models/Models.h"

namespace {

const char* const kStringValues[] = {"group_voltage", "group_current", "temperature"};


// Which cells the configuration limits the threshold check to, as the
// plug-in reads "appSetting": the group rule, then "active_batteries".
// Empty: every cell.
std::vector<int> ListedCells(const Json::Value& config) {
    std::vector<int> listed;
    if (!config.isObject() || !config["appSetting"].isObject()) return listed;
    const Json::Value& app = config["appSetting"];
    auto scalar = [](const Json::Value& v) { return !v.isNull() && !v.isObject() && !v.isArray(); };
    if (scalar(app["group_index"]) && scalar(app["amount"])) {
        const cellgroups::Group group = cellgroups::Of(config::Int(app["group_index"]), config::Int(app["amount"]));
        if (group.named)
            for (int32_t i = 0; i < group.count; ++i) listed.push_back(i);
    }
    const Json::Value& active = app["active_batteries"];
    if (active.isArray())
        for (const auto& v : active)
            if (scalar(v)) listed.push_back(config::Int(v));
    return listed;
}

}  // namespace

int ValueNames::CellCount(const std::string& type) {
    for (const auto& model : models::kProvided)
        if (type == model.type) return model.cells;
    return 0;
}

std::optional<ValueNames> ValueNames::For(const std::string& type, const Json::Value& config) {
    ValueNames names;
    names.cells_ = CellCount(type);
    if (names.cells_ == 0) return std::nullopt;
    const std::vector<int> listed = ListedCells(config);
    names.checked_.assign(static_cast<std::size_t>(names.cells_), listed.empty());
    for (const int cell : listed)
        if (cell >= 0 && cell < names.cells_) names.checked_[static_cast<std::size_t>(cell)] = true;
    return names;
}

std::vector<std::string> ValueNames::All() const {
    std::vector<std::string> out(std::begin(kStringValues), std::end(kStringValues));
    for (int i = 0; i < cells_; ++i) out.push_back(CellName(i));
    return out;
}

bool ValueNames::Answers(const std::string& name) const {
    const auto all = All();
    return std::find(all.begin(), all.end(), name) != all.end();
}

bool ValueNames::Checked(const std::string& name) const {
    for (int i = 0; i < cells_; ++i)
        if (name == CellName(i)) return checked_[static_cast<std::size_t>(i)];
    return Answers(name);
}

std::string ValueNames::Summary() const {
    std::string out;
    for (const char* s : kStringValues) out += std::string(s) + ", ";
    return out + CellName(0) + " to " + CellName(cells_ - 1);
}
