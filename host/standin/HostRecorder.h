#pragma once
// A HostObserver that keeps every host call as a line of text, for tests that
// check the exact sequence of calls a device makes.
#include <map>
#include <string>
#include <vector>

#include "HostStandin.h"

namespace hoststandin {

struct HostCall {
    std::string kind;    // "tx", "sp_refresh", "get_sp_value", "send_sp", "reset",
                         // "check_ao_report", "check_threshold", "batch_check", "save_history"
    unsigned int id = 0; // data identifier of the calling device
    std::string hex;     // bytes of tx, send_sp and save_history, upper-case hex
    std::string name;
    std::string label;
    float value = 0.0f;
    int index = 0;       // also: type of send_sp, "of" of get_sp_value, rules of batch_check
    bool flag = false;
};

std::string ToHex(const unsigned char* data, unsigned int len);

class HostRecorder : public HostObserver {
public:
    HostRecorder();
    ~HostRecorder() override;

    std::vector<HostCall> calls;
    // What CheckAOReport and DoBatchCheckThreshold answer.
    bool ao_report_result = false;
    bool batch_check_result = false;

    // Only the calls of one kind, in order.
    std::vector<HostCall> Of(const std::string& kind) const;
    // The kinds of all calls, in order.
    std::vector<std::string> Kinds() const;
    void Clear() { calls.clear(); }

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
    HostObserver* previous_;
};

}  // namespace hoststandin
