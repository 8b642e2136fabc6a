// The host calls devices through tables of virtual functions it compiled
// itself: the slot of every operation is a binary contract.  On the Itanium
// C++ ABI a pointer to a virtual member function holds the byte offset of its
// slot (plus 1 as the "virtual" mark on x86; on MIPS and ARM the mark is in
// the adjustment word), which is what these tests read.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "host/ValueErrors.h"
#include "support/Probes.h"

namespace {

template <typename PMF>
long SlotOf(PMF pmf) {
    static_assert(sizeof(PMF) == 2 * sizeof(std::ptrdiff_t), "Itanium member function pointer");
    std::ptrdiff_t words[2];
    std::memcpy(words, &pmf, sizeof words);
#if defined(__arm__) || defined(__aarch64__) || defined(__mips__)
    // Here code addresses may be odd, so the ABI keeps the virtual flag in the
    // low bit of the adjustment word and the slot's byte offset plain.
    if ((words[1] & 1) == 0) return -1;  // not virtual
    return static_cast<long>(words[0] / static_cast<std::ptrdiff_t>(sizeof(void*)));
#else
    if ((words[0] & 1) == 0) return -1;  // not virtual
    return static_cast<long>((words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*)));
#endif
}

using LoadBytes = bool (VDeviceInterface::*)(const unsigned char*, int);
using LoadString = bool (VDeviceInterface::*)(const std::string&);

TEST(VirtualSlots, DeviceChainMatchesTheHostsTable) {
    struct {
        const char* name;
        long slot;
        long expected;
    } slots[] = {
        {"Get_Value", SlotOf(&VDeviceInterface::Get_Value), 0},
        {"LoadFromCache(string)", SlotOf(static_cast<LoadString>(&VDeviceInterface::LoadFromCache)), 1},
        {"LoadFromCache(bytes)", SlotOf(static_cast<LoadBytes>(&VDeviceInterface::LoadFromCache)), 2},
        {"DataId", SlotOf(&VDeviceInterface::DataId), 3},
        {"DeviceType", SlotOf(&VDeviceInterface::DeviceType), 4},
        {"DeviceIoControl", SlotOf(&VDeviceInterface::DeviceIoControl), 5},
        {"RoundDone", SlotOf(&VDeviceInterface::RoundDone), 6},
        {"UseControllerDb", SlotOf(&VDeviceInterface::UseControllerDb), 7},
        // slots 8 and 9: the destructor pair
        {"Reset", SlotOf(&HLXVDevice::Reset), 10},
        {"InitV", SlotOf(&HLXVDevice::InitV), 11},
        {"Init", SlotOf(&HLXVDevice::Init), 12},
        {"InitSetting", SlotOf(&HLXVDevice::InitSetting), 13},
        {"IsSupportDevice", SlotOf(&HLXVDevice::IsSupportDevice), 14},
        {"GetChildVDevice", SlotOf(&HLXVDevice::GetChildVDevice), 15},
        {"GetAllChildVDevices", SlotOf(&HLXVDevice::GetAllChildVDevices), 16},
        {"SendSP", SlotOf(&HLXVDevice::SendSP), 17},
        {"SendDelayData", SlotOf(&HLXVDevice::SendDelayData), 18},
        {"SendDoData", SlotOf(&HLXVDevice::SendDoData), 19},
        {"ReadDi", SlotOf(&HLXVDevice::ReadDi), 20},
        {"ReadAi", SlotOf(&HLXVDevice::ReadAi), 21},
        {"Get_SP_Value", SlotOf(&HLXVDevice::Get_SP_Value), 22},
        {"RefreshStatus", SlotOf(&HLXVDevice::RefreshStatus), 23},
        {"process", SlotOf(&HLXVDevice::process), 24},
        {"IsProcessing", SlotOf(&HLXVDevice::IsProcessing), 25},
        {"IsStalled", SlotOf(&HLXVDevice::IsStalled), 26},
        {"SendData", SlotOf(&HLXSPDevice::SendData), 27},
        {"SendParityData", SlotOf(&HLXSPDevice::SendParityData), 28},
        {"OpenPort", SlotOf(&HLXSPDevice::OpenPort), 29},
        {"ClosePort", SlotOf(&HLXSPDevice::ClosePort), 30},
        {"ProcessBatteryVoltage", SlotOf(&Battery::ProcessBatteryVoltage), 31},
        {"RunCheckThreshold", SlotOf(&Battery32::RunCheckThreshold), 32},
    };
    for (const auto& s : slots) EXPECT_EQ(s.slot, s.expected) << s.name;
}

TEST(VirtualSlots, OverridesKeepTheirBaseSlots) {
    // An override must land in the base's slot, never open a new one.
    EXPECT_EQ(SlotOf(&Battery::RefreshStatus), SlotOf(&HLXVDevice::RefreshStatus));
    EXPECT_EQ(SlotOf(&Battery::process), SlotOf(&HLXVDevice::process));
    EXPECT_EQ(SlotOf(&Battery::InitSetting), SlotOf(&HLXVDevice::InitSetting));
    EXPECT_EQ(SlotOf(&Battery::DeviceIoControl), SlotOf(&VDeviceInterface::DeviceIoControl));
    EXPECT_EQ(SlotOf(&Battery32::Get_Value), SlotOf(&VDeviceInterface::Get_Value));
    EXPECT_EQ(SlotOf(&UPSBattery29::ProcessBatteryVoltage), SlotOf(&Battery::ProcessBatteryVoltage));
    EXPECT_EQ(SlotOf(&UPSBattery29::RunCheckThreshold), 32);
    EXPECT_EQ(SlotOf(&HLXSPDevice::Reset), SlotOf(&HLXVDevice::Reset));
}

TEST(VirtualSlots, InlineDefaultsOfTheDeviceInterface) {
    StubBattery dev;
    EXPECT_THROW(
        {
            try {
                dev.VDeviceInterface::Get_Value(0, "x");
            } catch (const std::out_of_range& e) {
                EXPECT_STREQ(e.what(), hostvalue::kNotReady);
                throw;
            }
        },
        std::out_of_range);
    int returned = 0;
    EXPECT_EQ(dev.VDeviceInterface::DeviceIoControl(100, nullptr, 0, nullptr, 0, returned), -2);
    EXPECT_EQ(dev.DeviceIoControl(5, nullptr, 0, nullptr, 0, returned), 0);
    EXPECT_TRUE(dev.GetAllChildVDevices().empty());
    EXPECT_EQ(dev.GetChildVDevice(1), nullptr);
}

}  // namespace
