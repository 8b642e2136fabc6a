#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>
#include <json/value.h>

#include "HostApi.h"
#include "VDeviceInterface.h"
#include "rule_value.h"

class HLXController;

// The host's virtual device: values, thresholds, history and the services a
// device may call.  Operations not defined inline here are the host's own and
// are resolved from the loading process.
class HLX_API HLXVDevice : public VDeviceInterface {
public:
    HLXVDevice();
    ~HLXVDevice() override;

    // slot 10
    virtual void Reset();
    // slot 11
    virtual bool InitV(HLXVDevice* parent, unsigned int id, const Json::Value& config);
    // slot 12
    virtual bool Init(std::weak_ptr<HLXController> controller, unsigned int id,
                      const Json::Value& config);
    // slot 13: the device's own configuration; the value 1 means success
    virtual bool InitSetting(const Json::Value& config);
    // slot 14
    virtual bool IsSupportDevice(const std::string& type) const;
    // slot 15: a device of a battery string has no children
    virtual std::shared_ptr<HLXVDevice> GetChildVDevice(unsigned int /*id*/) { return {}; }
    // slot 16
    virtual std::vector<std::shared_ptr<HLXVDevice>> GetAllChildVDevices() { return {}; }
    // slot 17: publish a data record of the given type number
    virtual int SendSP(int type, const unsigned char* data, unsigned int size, bool flag);
    // slot 18
    virtual int SendDelayData(int delay);
    // slot 19
    virtual int SendDoData(int channel, char value);
    // slot 20
    virtual int ReadDi(int channel);
    // slot 21
    virtual float ReadAi(int channel);
    // slot 22: the named value of another device; throws std::out_of_range
    // when that value cannot be had
    virtual float Get_SP_Value(unsigned int id, const std::string& name);
    // slot 23: the host's tick
    virtual int RefreshStatus();
    // slot 24: a chunk of bytes received for this device
    virtual int process(unsigned char* data, unsigned int len);
    // slot 25
    virtual bool IsProcessing();
    // slot 26
    virtual bool IsStalled();

    // Non-virtual services of the host's threshold and history machinery.
    bool CheckAOReport(const std::string& name, float value);
    bool CheckThreshold(const std::string& name, const std::string& label, const float& value,
                        int index);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    bool SaveDeviceHistory(const unsigned char* data, unsigned int size);

    // Local wall-clock time of the device's last activity.
    boost::posix_time::ptime update_time_;
    // Set once the device holds data that may be answered.
    unsigned char data_ready_ = 0;
    int16_t comm_state_ = 0;
    // Whether the last round changed anything worth publishing.
    unsigned char data_changed_ = 0;
    // Threshold rules pending in the current round.
    std::vector<rule_value> rv_;
    // Analog-output report names kept by the host, and a value per name.
    std::vector<std::string> ao_names_;
    std::map<std::string, float> ao_values_;
    // The host's threshold level and value per threshold key.
    std::map<std::string, int> threshold_levels_;
    std::map<std::string, float> threshold_values_;
};
