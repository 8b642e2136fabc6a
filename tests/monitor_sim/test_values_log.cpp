#include <gtest/gtest.h>

#include "ValuesLog.h"

TEST(ValuesLog, OneJsonObjectPerReply) {
    std::vector<uint16_t> cells(32, 0);
    cells[0] = 1350;
    cells[28] = 1120;
    EXPECT_EQ(monitor_sim::ValuesLog::Format(1.5, 0x81, 0xA2, {3915}),
              R"({"t":1.500000,"addr":129,"cmd":162,"kind":"group_voltage","raw":3915})");
    const std::string line = monitor_sim::ValuesLog::Format(0.25, 0x82, 0xA1, cells);
    EXPECT_EQ(line.rfind(R"({"t":0.250000,"addr":130,"cmd":161,"kind":"cells","raw":[1350,0,)", 0), 0u) << line;
    EXPECT_NE(line.find(",1120,0,0,0]}"), std::string::npos) << line;
    EXPECT_NE(monitor_sim::ValuesLog::Format(0, 1, 0xA3, {15}).find(R"("kind":"group_current","raw":15})"),
              std::string::npos);
    EXPECT_NE(monitor_sim::ValuesLog::Format(0, 1, 0xA4, {2500}).find(R"("kind":"temperature")"), std::string::npos);
    // Kept under the monitor asked, with the address it carried.
    EXPECT_EQ(monitor_sim::ValuesLog::Format(1.5, 0x82, 0xA3, {125}, false, 0x81),
              R"({"t":1.500000,"addr":130,"cmd":163,"kind":"group_current","raw":125,"as":129})");
    // A second monitor set to the address says which it is; the first says nothing.
    EXPECT_EQ(monitor_sim::ValuesLog::Format(2.0, 0x81, 0xA4, {4000}, false, std::nullopt, 1),
              R"({"t":2.000000,"addr":129,"cmd":164,"kind":"temperature","raw":4000,"twin":1})");
    EXPECT_EQ(monitor_sim::ValuesLog::Format(2.0, 0x81, 0xA4, {2500}, false, std::nullopt, 0).find("twin"),
              std::string::npos);
}
