#pragma once
// Binds a serial device to one fixed-layout data record: finishes every poll
// round (publication, checks, history), restores the record from the host's
// cache and reads the device's threshold settings.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <locale>
#include <map>
#include <sstream>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "battery/ConfigText.h"
#include "host/get_ttime.h"

template <typename Data_t, typename Base, int DataType>
class UniDataDevice : public Base {
public:
    // Threshold settings are read only in this mode.
    static constexpr int32_t kThresholdMode = 3;

    UniDataDevice() { std::memset(&data_, 0, sizeof data_); }
    ~UniDataDevice() override = default;

    bool LoadFromCache(const unsigned char* data, int size) override {
        if (size != static_cast<int>(sizeof(Data_t)) || data == nullptr) return false;
        std::memcpy(&data_, data, sizeof data_);
        this->data_ready_ = 1;
        // A restore finishes a round on the restored record.
        this->RoundDone();
        return true;
    }

    void RoundDone() override {
        this->data_ready_ = 1;
        const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
        this->update_time_ = now;
        round_time_ = now;
        const TTime stamp = get_ttime(now);
        std::memcpy(data_.time, stamp.data(), sizeof data_.time);
        // Published before the model's check has copied in this round's
        // readings: the host sees the record of the last completed round
        // under the new time stamp.
        HLXVDevice::SendSP(DataType, Bytes(), sizeof(Data_t), false);
        this->Reset();
        this->comm_state_ = 1;
        this->data_changed_ = 0;
        RunCheckThreshold();
        for (std::size_t i = 0; i < this->ao_names_.size(); ++i) {
            const std::string name = this->ao_names_[i];
            auto it = this->ao_values_.find(name);
            if (it == this->ao_values_.end()) continue;
            const bool reported = HLXVDevice::CheckAOReport(name, it->second);
            this->data_changed_ = (reported || this->data_changed_) ? 1 : 0;
            HLXVDevice::CheckThreshold(name, std::string(), it->second, 1);
        }
        {
            // Composed on the stack: a round allocates nothing.
            char line[48];
            const int n = std::snprintf(line, sizeof line, "rvSize is %zu\n", this->rv_.size());
            PutLine(line, static_cast<std::size_t>(n));
        }
        const bool batch = HLXVDevice::DoBatchCheckThreshold(this->rv_);
        this->data_changed_ = (batch || this->data_changed_) ? 1 : 0;
        HLXVDevice::SaveDeviceHistory(Bytes(), sizeof(Data_t));
        this->rv_.clear();
    }

    bool InitSetting(const Json::Value& config) override {
        data_.data_id = this->DataId();
        // A configuration that is a number, a text or an array has no members:
        // the JSON library refuses the lookup, and its error goes to the host
        // like every other configuration error, before anything is set.
        const Json::Value& app = config["appSetting"];
        if (app.isObject() && config::Present(app["b_mode"])) {
            b_mode_ = config::Int(app["b_mode"]);
            ConsoleLine line;
            line << "InitSetting " << this->DataId() << " b_mode_:" << b_mode_ << '\n';
            PutLine(line.str());
        }
        if (b_mode_ == kThresholdMode) ReadThresholdSetting(config);
        return Base::InitSetting(config);
    }

    // The round's threshold check of the model; nothing here.
    virtual void RunCheckThreshold() {}

protected:
    const unsigned char* Bytes() const { return reinterpret_cast<const unsigned char*>(&data_); }

    Data_t data_;
    int32_t b_mode_ = 1;
    std::map<std::string, std::string> nm_alarm_map_;
    std::map<std::string, std::string> signal_name_map_;
    // When the record last received a completed round or a cache image.  The
    // host's last-update time moves with every byte on the port, so only
    // this tells how old the data are.
    boost::posix_time::ptime round_time_;

    // A console line goes out whole, its line end included, in one write,
    // and is flushed: the host may run devices on several threads, and a line
    // written piece by piece could be cut by another device's.  It is written
    // by its length: a configured key or identifier may hold any byte, a NUL
    // included, and must neither cut the line nor lose its line end.
    static void PutLine(const char* line_with_end, std::size_t size) {
        std::cout.write(line_with_end, static_cast<std::streamsize>(size));
        std::cout.flush();
    }
    static void PutLine(const std::string& line_with_end) { PutLine(line_with_end.data(), line_with_end.size()); }
    template <std::size_t N>
    static void PutLine(const char (&literal)[N]) { PutLine(literal, N - 1); }

    // Numbers in console lines read the same whatever global locale the host
    // has set for its own screens: no digit grouping, a decimal point.
    struct ConsoleLine : std::ostringstream {
        ConsoleLine() { imbue(std::locale::classic()); }
    };

private:

    void ReadThresholdSetting(const Json::Value& config) {
        PutLine("here 1\n");
        const Json::Value& settings = config["thresholdSetting"];
        if (!config::Present(settings)) return;
        PutLine("here 2\n");
        for (auto it = settings.begin(); it != settings.end(); ++it) {
            const std::string key = it.name();
            PutLine("here " + key + '\n');
            const Json::Value& entry = settings[key];
            if (!entry.isObject()) continue;
            if (config::Present(entry["SignalName"])) signal_name_map_[key] = entry["SignalName"].asString();
            std::string alarm_id;
            for (const char* field : {"NMAlarmID", "ID", "SignalNumber"}) {
                if (config::Present(entry[field]))
                    alarm_id += entry[field].asString();
                else
                    PutLine(std::to_string(this->DataId()) + " " + field + " is missing\n");
                alarm_id += ';';
            }
            ConsoleLine line;
            line << "mobile:" << key << ":" << alarm_id << " level:" << this->threshold_levels_[key]
                 << " value:" << this->threshold_values_[key] << '\n';
            PutLine(line.str());
            nm_alarm_map_[key] = alarm_id;
        }
    }
};
