#include "site/ReplyLayout.h"

#include "battery/ConfigText.h"
#include "site/ValueNames.h"

namespace {

bool Scalar(const Json::Value& v) { return !v.isNull() && !v.isObject() && !v.isArray(); }

}  // namespace

InvalidReadings::Layout ReplyLayout::Of(const SiteConfig::Device& device) {
    InvalidReadings::Layout layout;
    if (const int cells = ValueNames::CellCount(device.type); cells > 0) layout.cells = cells;
    const Json::Value& config = device.config;
    if (!config.isObject() || !config["appSetting"].isObject()) return layout;
    const Json::Value& app = config["appSetting"];
    if (Scalar(app["dir"])) layout.reversed = config::Int(app["dir"]) != 0;
    const bool sensor = Scalar(app["current_ratio"]) && config::RealAsInt(app["current_ratio"]) != 0;
    const bool other_device = Scalar(app["r_data_id"]) && config::UnsignedLong(app["r_data_id"]) != 0 &&
                              app["r_current_field"].isString() && !app["r_current_field"].asString().empty();
    layout.current_from_reply = sensor || !other_device;
    return layout;
}
