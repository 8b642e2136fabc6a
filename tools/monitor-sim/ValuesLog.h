#pragma once
// Every reading the simulator put on the line in an intact reply, one JSON
// object per line, written when the reply's last byte has been handed to the
// line.  An end-to-end test holds the master's accepted values against it:
// anything the master accepted that is not here was made up on the way.
//
//   {"t":1.204518,"addr":129,"cmd":161,"kind":"cells","raw":[1350,1349,...]}
//   {"t":1.205002,"addr":129,"cmd":162,"kind":"group_voltage","raw":3915}
//
// t: seconds since the simulator started; addr: the bus address (129 is
// 0x81); kind names the value as the plug-in does ("cells" is the 32 slots
// in bus order); raw: the 16-bit readings as sent, unscaled.  A reply sent
// late on purpose (--late) carries "late":true: the master had given up on
// it, so none of its values may be found among what the master accepted.
// A reply sent with another monitor's address (--wrong-address) is kept
// under the monitor asked, with "as" the address it carried: its values
// are neither the asked monitor's answer nor the other's.  A second monitor
// set to an address already answered (given --addr twice) logs its replies
// with "twin":1 (a third with 2): its readings are its own, and a master
// that stores a round holding fields of both got it wrong.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace monitor_sim {

class ValuesLog {
public:
    ValuesLog() = default;
    ~ValuesLog();
    ValuesLog(const ValuesLog&) = delete;
    ValuesLog& operator=(const ValuesLog&) = delete;

    // Creates (or truncates) the file; false when it cannot be opened.
    bool Open(const std::string& path);
    bool IsOpen() const { return file_ != nullptr; }

    // twin: which monitor at addr sent it, 0 for the first.
    void Record(double t, uint8_t addr, uint8_t command, const std::vector<uint16_t>& raw, bool late = false,
                std::optional<uint8_t> as = std::nullopt, int twin = 0);

    // With a modelled battery, after each cell-voltage reply: the model's
    // truth (MonitorModel::Truth()) as {"t":...,"addr":...,"kind":"truth",...}.
    void RecordTruth(double t, uint8_t addr, const std::string& fields, int twin = 0);

    // The JSON line for one reply, without its line end.
    static std::string Format(double t, uint8_t addr, uint8_t command, const std::vector<uint16_t>& raw,
                              bool late = false, std::optional<uint8_t> as = std::nullopt, int twin = 0);

private:
    std::FILE* file_ = nullptr;
};

}  // namespace monitor_sim
