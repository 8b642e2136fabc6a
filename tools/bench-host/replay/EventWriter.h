#pragma once
// The replay's output: one JSON object per line for every host call a device
// makes and for the result of every operation, written to the same stream
// as the plug-in's own console lines and flushed at once, so that the two
// stay in the order things happened.
#include <cstdint>
#include <ostream>
#include <string>

class JsonLine;

class EventWriter {
public:
    explicit EventWriter(std::ostream& out) : out_(out) {}

    // Host calls.
    void Tx(unsigned int id, const uint8_t* data, std::size_t len);
    void SpRefresh(unsigned int id);
    void GetSpValue(unsigned int id, unsigned int of, const std::string& name);
    void SendSp(unsigned int id, int type, const uint8_t* data, unsigned int size, bool flag);
    void Reset(unsigned int id);
    void CheckAoReport(unsigned int id, const std::string& name, float value);
    void CheckThreshold(unsigned int id, const std::string& name, const std::string& label, float value,
                        int index);
    void BatchCheck(unsigned int id, std::size_t rules);
    void SaveHistory(unsigned int id, const uint8_t* data, unsigned int size, bool data_changed);

    // Results of operations.
    void Result(unsigned int id, const std::string& op, int64_t value);
    void Value(unsigned int id, const std::string& name, float value);
    void Error(unsigned int id, const std::string& op, const std::string& what);
    void Destroyed(unsigned int id);

private:
    void Write(const JsonLine& line);
    std::ostream& out_;
};
