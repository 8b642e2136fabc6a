#pragma once
// A battery string whose monitor reports 32 cells in one reply.
#include <cstdint>
#include <string>
#include <vector>

#include "battery/Battery.h"
#include "unidata/Battery32_Data_t.h"
#include "unidata/UniDataDevice.h"

class Battery32 : public UniDataDevice<Battery32_Data_t, Battery, 5013> {
public:
    // Data older than this is not answered.
    static constexpr int64_t kMaxDataAgeSeconds = 60;

    Battery32();
    ~Battery32() override;

    float Get_Value(unsigned int id, const std::string& name) const override;
    bool LoadFromCache(const unsigned char* data, int size) override;
    int ProcessBatteryVoltage() override;
    void RunCheckThreshold() override;

protected:
    // How a model reads the cell-voltage reply: how many slots it decodes,
    // whether the bytes held are consumed whole or frame by frame, and
    // whether it reports rejected and accepted replies on the console.
    struct CellDecoding {
        int slots;
        bool consume_all;
        bool verbose;
    };
    int DecodeCellReply(const CellDecoding& how);

    float battery_voltage_[32];
    int32_t battery_count_;

private:
    // "Battery32 <data identifier><what>" as one console line.
    void PutDeviceLine(const char* what) const;

    // Names and display labels of the cells, prepared once per numbering
    // (battery_start_, battery_count_) rather than in every round.
    void PrepareCellTexts();
    std::vector<std::string> cell_names_;
    std::vector<std::string> cell_labels_;
    int64_t texts_start_ = -1;
    int32_t texts_count_ = -1;
};
