#include "replay/ReplayObserver.h"

void ReplayObserver::SetAnswers(const HLXVDevice* dev, std::optional<bool> ao_report,
                                std::optional<bool> batch_check) {
    Answers& a = answers_[dev];
    if (ao_report) a.ao_report = *ao_report;
    if (batch_check) a.batch_check = *batch_check;
}

void ReplayObserver::OnSendData(HLXSPDevice& dev, const unsigned char* data, unsigned int len) {
    events_.Tx(dev.DataId(), data, len);
}

void ReplayObserver::OnSpRefresh(HLXSPDevice& dev) { events_.SpRefresh(dev.DataId()); }

void ReplayObserver::OnGetSpValue(HLXVDevice& asker, unsigned int of, const std::string& name) {
    events_.GetSpValue(asker.DataId(), of, name);
}

void ReplayObserver::OnSendSP(HLXVDevice& dev, int type, const unsigned char* data, unsigned int size, bool flag) {
    events_.SendSp(dev.DataId(), type, data, size, flag);
}

void ReplayObserver::OnReset(HLXVDevice& dev) { events_.Reset(dev.DataId()); }

bool ReplayObserver::OnCheckAOReport(HLXVDevice& dev, const std::string& name, float value) {
    events_.CheckAoReport(dev.DataId(), name, value);
    auto it = answers_.find(&dev);
    return it != answers_.end() && it->second.ao_report;
}

void ReplayObserver::OnCheckThreshold(HLXVDevice& dev, const std::string& name, const std::string& label,
                                      float value, int index) {
    events_.CheckThreshold(dev.DataId(), name, label, value, index);
}

bool ReplayObserver::OnBatchCheck(HLXVDevice& dev, const std::vector<rule_value>& rules) {
    events_.BatchCheck(dev.DataId(), rules.size());
    auto it = answers_.find(&dev);
    return it != answers_.end() && it->second.batch_check;
}

void ReplayObserver::OnSaveHistory(HLXVDevice& dev, const unsigned char* data, unsigned int size) {
    events_.SaveHistory(dev.DataId(), data, size, dev.data_changed_ != 0);
}
