#include "BusDevice.h"

#include <stdexcept>

#include "host/HLXSPDevice.h"

void BusDevice::LearnCells() {
    // The device answers one value name per cell it has; the first name it
    // does not support ends the count.
    int n = 0;
    for (; n < BatteryRecord::kCells; ++n) {
        try {
            dev->Get_Value(0, "battery_" + std::to_string(n) + "_value");
        } catch (const std::out_of_range& e) {
            if (std::string(e.what()) == "不支持变量") break;
        } catch (const std::exception&) {
            break;
        }
    }
    cell_count = n;
}

double BusDevice::LossPercent() const {
    const long due = cycles + missed;
    return due > 0 ? 100.0 * static_cast<double>(Lost()) / static_cast<double>(due) : 0.0;
}
