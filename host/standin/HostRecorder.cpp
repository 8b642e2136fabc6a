#include "HostRecorder.h"

namespace hoststandin {

std::string ToHex(const unsigned char* data, unsigned int len) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(2 * len);
    for (unsigned int i = 0; i < len; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0F]);
    }
    return out;
}

namespace {
HostCall Call(const char* kind, const VDeviceInterface& dev) {
    HostCall c;
    c.kind = kind;
    c.id = dev.DataId();
    return c;
}
}  // namespace

HostRecorder::HostRecorder() : previous_(Observer()) { SetObserver(this); }
HostRecorder::~HostRecorder() { SetObserver(previous_); }

std::vector<HostCall> HostRecorder::Of(const std::string& kind) const {
    std::vector<HostCall> out;
    for (const auto& c : calls)
        if (c.kind == kind) out.push_back(c);
    return out;
}

std::vector<std::string> HostRecorder::Kinds() const {
    std::vector<std::string> out;
    for (const auto& c : calls) out.push_back(c.kind);
    return out;
}

void HostRecorder::OnSendData(HLXSPDevice& dev, const unsigned char* data, unsigned int len) {
    HostCall c = Call("tx", dev);
    c.hex = ToHex(data, len);
    calls.push_back(c);
}

void HostRecorder::OnSpRefresh(HLXSPDevice& dev) { calls.push_back(Call("sp_refresh", dev)); }

void HostRecorder::OnGetSpValue(HLXVDevice& asker, unsigned int of, const std::string& name) {
    HostCall c = Call("get_sp_value", asker);
    c.index = static_cast<int>(of);
    c.name = name;
    calls.push_back(c);
}

void HostRecorder::OnSendSP(HLXVDevice& dev, int type, const unsigned char* data, unsigned int size, bool flag) {
    HostCall c = Call("send_sp", dev);
    c.index = type;
    c.hex = ToHex(data, size);
    c.flag = flag;
    calls.push_back(c);
}

void HostRecorder::OnReset(HLXVDevice& dev) { calls.push_back(Call("reset", dev)); }

bool HostRecorder::OnCheckAOReport(HLXVDevice& dev, const std::string& name, float value) {
    HostCall c = Call("check_ao_report", dev);
    c.name = name;
    c.value = value;
    calls.push_back(c);
    return ao_report_result;
}

void HostRecorder::OnCheckThreshold(HLXVDevice& dev, const std::string& name, const std::string& label, float value,
                                    int index) {
    HostCall c = Call("check_threshold", dev);
    c.name = name;
    c.label = label;
    c.value = value;
    c.index = index;
    calls.push_back(c);
}

bool HostRecorder::OnBatchCheck(HLXVDevice& dev, const std::vector<rule_value>& rules) {
    HostCall c = Call("batch_check", dev);
    c.index = static_cast<int>(rules.size());
    calls.push_back(c);
    return batch_check_result;
}

void HostRecorder::OnSaveHistory(HLXVDevice& dev, const unsigned char* data, unsigned int size) {
    HostCall c = Call("save_history", dev);
    c.hex = ToHex(data, size);
    c.flag = dev.data_changed_ != 0;
    calls.push_back(c);
}

}  // namespace hoststandin
