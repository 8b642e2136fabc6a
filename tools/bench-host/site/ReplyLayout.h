#pragma once
// How a device of the site decodes its monitor's replies into its record,
// read from its type and "appSetting" as the plug-in reads them: the cells
// of its type, "dir" (the reply's cell order reversed), and whether
// another device's value ("r_data_id" with "r_current_field", unless
// "current_ratio" asks for the sensor formula) is its current instead of
// the reply's reading.
#include "record/InvalidReadings.h"
#include "site/SiteConfig.h"

class ReplyLayout {
public:
    static InvalidReadings::Layout Of(const SiteConfig::Device& device);
};
