#include "replay/EventWriter.h"

#include "basics/Hex.h"
#include "basics/JsonLine.h"

namespace {
JsonLine Event(const char* ev, unsigned int id) {
    JsonLine line;
    line.Str("ev", ev).UInt("id", id);
    return line;
}
}  // namespace

void EventWriter::Write(const JsonLine& line) { out_ << line.Text() << std::endl; }

void EventWriter::Tx(unsigned int id, const uint8_t* data, std::size_t len) {
    Write(Event("tx", id).Str("hex", hex::Encode(data, len)));
}

void EventWriter::SpRefresh(unsigned int id) { Write(Event("sp_refresh", id)); }

void EventWriter::GetSpValue(unsigned int id, unsigned int of, const std::string& name) {
    Write(Event("get_sp_value", id).UInt("of", of).Str("name", name));
}

void EventWriter::SendSp(unsigned int id, int type, const uint8_t* data, unsigned int size, bool flag) {
    Write(Event("send_sp", id).Int("type", type).UInt("size", size).Bool("flag", flag).Str("hex",
                                                                                         hex::Encode(data, size)));
}

void EventWriter::Reset(unsigned int id) { Write(Event("reset", id)); }

void EventWriter::CheckAoReport(unsigned int id, const std::string& name, float value) {
    Write(Event("check_ao_report", id).Str("name", name).Float("value", value));
}

void EventWriter::CheckThreshold(unsigned int id, const std::string& name, const std::string& label, float value,
                                 int index) {
    Write(Event("check_threshold", id).Str("name", name).Str("label", label).Float("value", value).Int("index",
                                                                                                        index));
}

void EventWriter::BatchCheck(unsigned int id, std::size_t rules) {
    Write(Event("batch_check", id).UInt("rules", rules));
}

void EventWriter::SaveHistory(unsigned int id, const uint8_t* data, unsigned int size, bool data_changed) {
    Write(Event("save_history", id).UInt("size", size).Bool("data_changed", data_changed).Str(
        "hex", hex::Encode(data, size)));
}

void EventWriter::Result(unsigned int id, const std::string& op, int64_t value) {
    Write(Event("result", id).Str("op", op).Int("value", value));
}

void EventWriter::Value(unsigned int id, const std::string& name, float value) {
    Write(Event("value", id).Str("name", name).Float("value", value));
}

void EventWriter::Error(unsigned int id, const std::string& op, const std::string& what) {
    Write(Event("error", id).Str("op", op).Str("what", what));
}

void EventWriter::Destroyed(unsigned int id) { Write(Event("destroyed", id)); }
