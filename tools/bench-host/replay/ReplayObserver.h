#pragma once
// The host's side of a replay: every call a device makes into the host
// becomes an event line, and the answers the host gives to the report and
// batch threshold checks are set per device by the scenario.
#include <map>
#include <optional>

#include "replay/EventWriter.h"
#include "host/standin/HostStandin.h"

class ReplayObserver : public hoststandin::HostObserver {
public:
    explicit ReplayObserver(EventWriter& events) : events_(events) {}

    // What the device's CheckAOReport and DoBatchCheckThreshold answer from
    // now on; a value not given is left as it was (false at first).
    void SetAnswers(const HLXVDevice* dev, std::optional<bool> ao_report, std::optional<bool> batch_check);
    void Forget(const HLXVDevice* dev) { answers_.erase(dev); }

    void OnSendData(HLXSPDevice& dev, const unsigned char* data, unsigned int len) override;
    void OnSpRefresh(HLXSPDevice& dev) override;
    void OnGetSpValue(HLXVDevice& asker, unsigned int of, const std::string& name) override;
    void OnSendSP(HLXVDevice& dev, int type, const unsigned char* data, unsigned int size, bool flag) override;
    void OnReset(HLXVDevice& dev) override;
    bool OnCheckAOReport(HLXVDevice& dev, const std::string& name, float value) override;
    void OnCheckThreshold(HLXVDevice& dev, const std::string& name, const std::string& label, float value,
                          int index) override;
    bool OnBatchCheck(HLXVDevice& dev, const std::vector<rule_value>& rules) override;
    void OnSaveHistory(HLXVDevice& dev, const unsigned char* data, unsigned int size) override;

private:
    struct Answers {
        bool ao_report = false;
        bool batch_check = false;
    };
    EventWriter& events_;
    std::map<const HLXVDevice*, Answers> answers_;
};
