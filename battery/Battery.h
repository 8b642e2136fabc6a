#pragma once
// A battery-string monitor on a serial bus.  The device is the bus master: it
// runs a fixed poll cycle of four exchanges (cell voltages, string voltage,
// current, temperature), driven by the host's tick (RefreshStatus) and by the
// bytes the host hands over (process).  The cell-voltage reply and the end of
// a round belong to the layers above (ProcessBatteryVoltage, RoundDone).
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/HLXSPDevice.h"

class Battery : public HLXSPDevice {
public:
    // What call_type holds: the command whose reply is awaited.
    enum CallType : int32_t { kIdle = 0, kCellVoltages = 1, kStringVoltage = 2, kCurrent = 3, kTemperature = 4 };

    // The monitor's line speed.
    static constexpr int32_t kLineSpeed = 19200;
    // Default save interval: 8 hours, in seconds.
    static constexpr int32_t kDefaultSaveInterval = 28800;
    // DeviceIoControl code that sets the save interval (minutes, 16-bit).
    static constexpr int kIoctlSaveInterval = 100;

    Battery();
    ~Battery() override;

    float Get_Value(unsigned int id, const std::string& name) const override;
    bool LoadFromCache(const unsigned char* data, int size) override = 0;
    int DeviceIoControl(int code, const void* in, int in_size, void* out, int out_size, int& returned) override;
    void RoundDone() override = 0;
    bool InitSetting(const Json::Value& config) override;
    int RefreshStatus() override;
    int process(unsigned char* data, unsigned int len) override;

    // Decodes the long cell-voltage reply gathered in msg_buf.  1: incomplete
    // or accepted (the next request is sent); 0: rejected.
    virtual int ProcessBatteryVoltage() = 0;

    void CallVoltage();
    void CallGroupVoltage();
    void CallCurrent();
    void CallTemperature();

    unsigned char GetMMCheckSum(unsigned char* data, int len);

protected:
    int32_t call_type = kIdle;
    int32_t version_ = 1;
    int32_t dir_ = 0;
    int32_t retry_count = 0;
    // The constructor gives the readings no value of their own; they start at
    // 0 so an answer given before the first reply is at least a defined one.
    float group_voltage_ = 0.0f;
    float group_current_ = 0.0f;
    float temperature_ = 0.0f;
    int32_t battery_type_ = 0;
    float group_a_ = 1.0f;
    float group_b_ = 0.0f;
    float battery_adjust_ = 0.0f;
    std::vector<int32_t> active_batteries_;
    std::vector<uint32_t> group_voltage_ids_;
    bool group_voltage_valid_ = true;
    int32_t battery_start_ = 0;
    int32_t current_ratio_ = 0;
    uint32_t r_data_id_ = 0;
    std::string r_current_field_;
    int32_t save_interval_ = kDefaultSaveInterval;
    float t0_ = 0.0f;
    float t31_ = 0.0f;

private:
    void SendRequest(uint8_t command, int32_t next_call_type);
    void Resend();
    // Short replies: each decoder sets its reading from the raw 16-bit value
    // and moves the cycle on; the result becomes the result of process().
    int DecodeStringVoltage(uint16_t raw);
    int DecodeCurrent(uint16_t raw);
    int DecodeTemperature(uint16_t raw);
    void Touch();
    void ReadAppSetting(const Json::Value& app);
};
