#pragma once
// What the plug-in will make of a device's configuration, said before it
// runs.  The plug-in reads every setting through its text with atoi, atol or
// atof and says nothing: an unknown key is never read, and a value that is
// not a number ("abc", true) is read as 0.  This check finds those and says,
// for each, what the plug-in will read instead, as warnings naming the JSON
// path ("ports[0].devices[0].config.appSetting.battery_type: \"abc\" is not
// a number; the plug-in reads it as 0").
#include <string>
#include <vector>

#include <json/value.h>

class DeviceConfigCheck {
public:
    // where: the JSON path of the configuration object; cells: the number of
    // cells of the device type (0 when not known).
    static std::vector<std::string> Warnings(const Json::Value& config, const std::string& where, int cells);

private:
    explicit DeviceConfigCheck(int cells) : cells_(cells) {}
    void Warn(const std::string& where, const std::string& what);
    void Number(const Json::Value& v, const std::string& where, bool whole);
    void App(const Json::Value& app, const std::string& where);
    void Groups(const Json::Value& app, const std::string& where);

    std::vector<std::string> out_;
    int cells_;
};
