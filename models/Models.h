#pragma once
// The cell-string models, in one place: the device type each reports and the
// number of cells it decodes.  The models' constructors take their type and
// count from here, and so do the bench tools that check a site's value names
// before any device exists, so the two can never disagree.  Valid C++11.
//
// A new model is more than a line here; README's "Adding a battery model"
// lists every place, and the tests that load the library fail on a model
// left out of one of them.

namespace models {

struct Model {
    const char* type;  // what DeviceType() returns
    int cells;         // cells decoded from the reply, battery_0_value up
};

// The 32-cell string, which the other models are built on.
constexpr Model kBattery32 = {"battery_32", 32};
// The UPS string of 29 cells.
constexpr Model kUPSBattery29 = {"upsbattery_29", 29};

// The models the library's providers make, in the order get_providers
// returns their providers.  A model missing here is one the host cannot
// create.
constexpr Model kProvided[] = {kUPSBattery29};
constexpr int kProvidedCount = static_cast<int>(sizeof kProvided / sizeof kProvided[0]);

}  // namespace models
