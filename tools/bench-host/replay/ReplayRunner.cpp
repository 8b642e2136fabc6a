#include "replay/ReplayRunner.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/reader.h>

#include "CommandLine.h"
#include "basics/Hex.h"
#include "loader/PluginLoader.h"
#include "host/HLXSPDevice.h"
#include "host/standin/HostStandin.h"

namespace {

// A line that cannot be run: reported with its line number, ends the replay.
struct BadLine : std::runtime_error {
    using std::runtime_error::runtime_error;
};

bool Blank(const std::string& line) { return line.find_first_not_of(" \t\r\n") == std::string::npos; }

std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

Json::Value ParseLine(const std::string& line) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errs;
    bool parsed = false;
    try {
        parsed = reader->parse(line.data(), line.data() + line.size(), &value, &errs);
    } catch (const Json::Exception& e) {
        // Nesting beyond the reader's stack limit ends in an exception, not
        // an error text; it is a bad line like any other.
        throw BadLine("not valid JSON: " + OneLine(e.what()));
    }
    if (!parsed) throw BadLine("not valid JSON: " + OneLine(errs));
    if (!value.isObject()) throw BadLine("an operation must be a JSON object");
    return value;
}

const Json::Value& Field(const Json::Value& op, const char* key) {
    const Json::Value& v = op[key];
    if (v.isNull()) throw BadLine(std::string("missing \"") + key + "\"");
    return v;
}

uint64_t UnsignedField(const Json::Value& op, const char* key, uint64_t max) {
    const Json::Value& v = Field(op, key);
    if (!v.isUInt64() || v.asUInt64() > max)
        throw BadLine(std::string("\"") + key + "\" must be a whole number from 0 to " + std::to_string(max));
    return v.asUInt64();
}

int64_t IntField(const Json::Value& op, const char* key) {
    const Json::Value& v = Field(op, key);
    if (!v.isInt64()) throw BadLine(std::string("\"") + key + "\" must be a whole number");
    return v.asInt64();
}

float FloatField(const Json::Value& op, const char* key) {
    const Json::Value& v = Field(op, key);
    if (!v.isNumeric()) throw BadLine(std::string("\"") + key + "\" must be a number");
    return static_cast<float>(v.asDouble());
}

std::string StringField(const Json::Value& op, const char* key) {
    const Json::Value& v = Field(op, key);
    if (!v.isString()) throw BadLine(std::string("\"") + key + "\" must be a string");
    return v.asString();
}

std::vector<uint8_t> HexField(const Json::Value& op, const char* key) {
    auto bytes = hex::Decode(StringField(op, key));
    if (!bytes) throw BadLine(std::string("\"") + key + "\" must be bytes in hexadecimal");
    return *bytes;
}

std::optional<bool> OptionalBool(const Json::Value& op, const char* key) {
    const Json::Value& v = op[key];
    if (v.isNull()) return std::nullopt;
    if (!v.isBool()) throw BadLine(std::string("\"") + key + "\" must be true or false");
    return v.asBool();
}

unsigned int IdField(const Json::Value& op) {
    return static_cast<unsigned int>(UnsignedField(op, "id", std::numeric_limits<uint32_t>::max()));
}

uint8_t AddrField(const Json::Value& op) { return static_cast<uint8_t>(UnsignedField(op, "addr", 255)); }

}  // namespace

void ReplayRunner::DeviceDeleter::operator()(HLXSPDevice* dev) const { delete dev; }

ReplayRunner::ReplayRunner(PluginLoader& plugin, std::ostream& out, std::ostream& err)
    : plugin_(plugin), err_(err), events_(out), observer_(events_), previous_observer_(hoststandin::Observer()) {
    hoststandin::SetObserver(&observer_);
}

ReplayRunner::~ReplayRunner() {
    devices_.clear();
    hoststandin::SetObserver(previous_observer_);
}

int ReplayRunner::Run(std::istream& in, const std::string& source) {
    std::string line;
    long number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (Blank(line)) continue;
        try {
            RunOp(ParseLine(line));
        } catch (const BadLine& e) {
            err_ << "bench-host: " << source << ":" << number << ": " << e.what() << std::endl;
            return kMalformed;
        }
    }
    return kCompleted;
}

HLXSPDevice& ReplayRunner::Device(unsigned int id) {
    auto it = devices_.find(id);
    if (it == devices_.end()) throw BadLine("no device " + std::to_string(id) + " (create it first)");
    return *it->second;
}

void ReplayRunner::RunOp(const Json::Value& op) {
    // The fields of each operation besides "op" and "id".  A field an
    // operation does not read is refused, as a site file's unknown key is:
    // "minute" for "minutes" would otherwise replay as if it were absent.
    static const std::map<std::string, std::vector<std::string>> kOps = {
        {"create", {"addr"}},
        {"addr", {"addr"}},
        {"init", {"config"}},
        {"tick", {}},
        {"rx", {"hex"}},
        {"get", {"name"}},
        {"ioctl", {"code", "minutes", "in_size", "null"}},
        {"cache", {"hex"}},
        {"age", {"seconds"}},
        {"value", {"name", "value"}},
        {"threshold", {"key", "level", "value"}},
        {"ao", {"name", "value"}},
        {"host", {"ao_report", "batch_check"}},
        {"destroy", {}},
    };
    const std::string name = StringField(op, "op");
    const auto known = kOps.find(name);
    if (known == kOps.end()) throw BadLine("unknown operation \"" + name + "\"");
    for (const auto& key : op.getMemberNames()) {
        std::vector<std::string> fields = known->second;
        fields.push_back("op");
        fields.push_back("id");
        if (std::find(fields.begin(), fields.end(), key) != fields.end()) continue;
        const auto near = command_line::Nearest(key, fields);
        throw BadLine("\"" + name + "\" has no field \"" + key + "\"" +
                      (near ? " (did you mean \"" + *near + "\"?)" : std::string()));
    }
    const unsigned int id = IdField(op);

    // Operations that only set up the host's side: they have no result.
    if (name == "value") {
        const std::string value_name = StringField(op, "name");
        hoststandin::SetExternalValue(id, value_name, FloatField(op, "value"));
        return;
    }
    if (name == "create") {
        const uint8_t addr = AddrField(op);
        if (devices_.count(id)) throw BadLine("device " + std::to_string(id) + " exists already");
        try {
            DevicePtr dev(plugin_.Create());
            if (!dev) throw BadLine("the plug-in makes no serial device");
            dev->data_id_ = id;
            dev->addr_ = addr;
            devices_.emplace(id, std::move(dev));
        } catch (const BadLine&) {
            throw;
        } catch (const std::exception& e) {
            events_.Error(id, name, e.what());
        } catch (...) {
            events_.Error(id, name, "unknown exception");
        }
        return;
    }

    HLXSPDevice& dev = Device(id);
    if (name == "addr") {
        dev.addr_ = AddrField(op);
        return;
    }
    if (name == "age") {
        const int64_t seconds = IntField(op, "seconds");
        dev.update_time_ = boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(seconds);
        return;
    }
    if (name == "threshold") {
        const std::string key = StringField(op, "key");
        const int64_t level = IntField(op, "level");
        if (level < std::numeric_limits<int>::min() || level > std::numeric_limits<int>::max())
            throw BadLine("\"level\" is out of range");
        const float value = FloatField(op, "value");
        dev.threshold_levels_[key] = static_cast<int>(level);
        dev.threshold_values_[key] = value;
        return;
    }
    if (name == "ao") {
        const std::string ao_name = StringField(op, "name");
        const bool has_value = !op["value"].isNull();
        const float value = has_value ? FloatField(op, "value") : 0.0f;
        dev.ao_names_.push_back(ao_name);
        if (has_value) dev.ao_values_[ao_name] = value;
        return;
    }
    if (name == "host") {
        observer_.SetAnswers(&dev, OptionalBool(op, "ao_report"), OptionalBool(op, "batch_check"));
        return;
    }
    if (name == "destroy") {
        observer_.Forget(&dev);
        devices_.erase(id);
        events_.Destroyed(id);
        return;
    }

    // Operations on the device itself: every field is checked before the
    // device is called, so a malformed line never half-runs.
    Json::Value config;
    std::vector<uint8_t> bytes;
    std::string value_name;
    int64_t code = 0;
    uint16_t minutes = 0;
    int64_t in_size = static_cast<int64_t>(sizeof minutes);
    bool null_in = false;
    if (name == "init") {
        config = Field(op, "config");
    } else if (name == "rx" || name == "cache") {
        bytes = HexField(op, "hex");
    } else if (name == "get") {
        value_name = StringField(op, "name");
    } else if (name == "ioctl") {
        code = IntField(op, "code");
        if (code < std::numeric_limits<int>::min() || code > std::numeric_limits<int>::max())
            throw BadLine("\"code\" is out of range");
        if (!op["minutes"].isNull()) minutes = static_cast<uint16_t>(UnsignedField(op, "minutes", 0xFFFF));
        if (!op["in_size"].isNull()) {
            in_size = IntField(op, "in_size");
            if (in_size < std::numeric_limits<int>::min() || in_size > std::numeric_limits<int>::max())
                throw BadLine("\"in_size\" is out of range");
        }
        null_in = OptionalBool(op, "null").value_or(false);
    }

    try {
        if (name == "init") {
            events_.Result(id, name, dev.InitSetting(config) ? 1 : 0);
        } else if (name == "tick") {
            events_.Result(id, name, dev.RefreshStatus());
        } else if (name == "rx") {
            events_.Result(id, name, dev.process(bytes.data(), static_cast<unsigned int>(bytes.size())));
        } else if (name == "cache") {
            const std::string image(bytes.begin(), bytes.end());
            events_.Result(id, name, dev.LoadFromCache(image) ? 1 : 0);
        } else if (name == "get") {
            events_.Value(id, value_name, dev.Get_Value(0, value_name));
        } else if (name == "ioctl") {
            int returned = 0;
            // The minutes are always two readable bytes, as the host passes
            // them; in_size and a missing buffer are the scenario's to choose.
            const void* in = null_in ? nullptr : &minutes;
            events_.Result(id, name,
                           dev.DeviceIoControl(static_cast<int>(code), in, static_cast<int>(in_size), nullptr, 0,
                                               returned));
        }
    } catch (const std::exception& e) {
        events_.Error(id, name, e.what());
    } catch (...) {
        events_.Error(id, name, "unknown exception");
    }
}
