// What the outputs of a run say about the plug-in it loaded, the site
// file's warnings and history writes that fail: the same facts in text and
// JSON lines, a failing disk reported once.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "basics/Utf8.h"
#include "outputs/JsonOutput.h"
#include "outputs/TextOutput.h"

namespace {

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(RunReports, EveryOutputNamesThePluginAndReportsAFailingStoreOnce) {
    run::RunStarted started;
    started.plugin_path = "/opt/bench/myplug.so";
    started.plugin_size = 1234;
    started.plugin_sha256 = "ab12";
    started.history_file = "h.sqlite";
    started.run_id = 7;
    run::RunEnded ended;
    ended.history_file = "h.sqlite";
    ended.records_not_stored = 3;
    ended.health_not_stored = 1;
    ended.history_lost = "history h.sqlite was deleted; nothing more is stored in this run";
    const RunEvent events[] = {
        run::SetupWarning{"site file s.json: x: \"abc\" is not a number; the plug-in reads it as 0"},
        started,
        run::AlarmsClosedAtStart{2},
        run::StoreFailed{nullptr, "history h.sqlite: cannot store a record: disk I/O error", 1},
        run::StoreFailed{nullptr, "history h.sqlite: cannot store a record: disk I/O error", 2},
        run::StoreFailed{nullptr, "history h.sqlite: cannot store a record: disk I/O error", 3},
        // Said once more for its own kind, and the file's loss on its own.
        run::StoreFailed{nullptr, "history h.sqlite: cannot store a health change: no room", 1,
                         history::StoreKind::kHealth},
        run::HistoryLost{"history h.sqlite was deleted; nothing more is stored in this run"},
        ended,
    };
    struct Case {
        const char* what;
        std::vector<std::string> said;
    } cases[] = {
        {"text", {"/opt/bench/myplug.so (1234 bytes, sha256 ab12)", "warning: site file s.json", "closed 2 alarms",
                  "3 records, 1 health change not stored", "NOT STORED: history h.sqlite: cannot store a health",
                  "NOT STORED: history h.sqlite was deleted"}},
        {"json", {R"("ev":"started","plugin":"/opt/bench/myplug.so","plugin_size":1234,"plugin_sha256":"ab12")",
                  R"("ev":"warning")", R"({"ev":"alarms_closed","count":2})", R"("records_not_stored":3)",
                  R"("health_not_stored":1)", R"({"ev":"store_failed","kind":"health")",
                  R"({"ev":"history_lost","what":"history h.sqlite was deleted)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::ostringstream out, err;
        std::unique_ptr<RunOutput> output;
        const std::string kind = c.what;
        if (kind == "text") output = std::make_unique<TextOutput>(out, err, false);
        if (kind == "json") output = std::make_unique<JsonOutput>(out, err, false);
        for (const auto& e : events) output->OnEvent(e);
        const std::string all = out.str() + err.str();
        for (const auto& s : c.said) EXPECT_NE(all.find(s), std::string::npos) << s << "\n" << all;
        EXPECT_EQ(Count(all, "disk I/O error"), 1u) << all;
    }
}

// A --test note, a plug-in path or a plug-in's line that carries line ends,
// escape sequences or bytes that are not UTF-8: every output still gives
// one line per event, valid UTF-8, and none that reads as a line of its own.
TEST(RunReports, NoTextStartsALineOfItsOwn) {
    const std::string forged = "12:00:00 ALARM device 12 forged";
    run::RunStarted started;
    started.plugin_path = "/opt/bench/my\rplug\xff.so";
    started.plugin_sha256 = "ab12";
    started.history_file = "h\n" + forged + ".sqlite";
    started.test_note = "discharge 1\n" + forged + "\x1b[2J\xC2\x85";
    const RunEvent events[] = {
        run::SetupWarning{"site file s.json: \n" + forged},
        started,
        run::PluginLine{"line one\r\n" + forged + "\xE2\x80\xA8"},
    };
    for (const char* kind : {"text", "json"}) {
        SCOPED_TRACE(kind);
        std::ostringstream out, err;
        std::unique_ptr<RunOutput> output;
        if (std::string(kind) == "text") output = std::make_unique<TextOutput>(out, err, false);
        else output = std::make_unique<JsonOutput>(out, err, false);
        for (const auto& e : events) output->OnEvent(e);
        const std::string all = out.str() + err.str();
        EXPECT_EQ(utf8::Valid(all), all);
        EXPECT_EQ(Count(all, "\n"), 3u) << all;
        EXPECT_EQ(all.find("\r"), std::string::npos) << all;
        EXPECT_EQ(all.find("\x1b"), std::string::npos) << all;
        EXPECT_EQ(all.find("\xE2\x80\xA8"), std::string::npos) << all;
        EXPECT_EQ(all.find("\n" + forged), std::string::npos) << all;
        EXPECT_EQ(Count(all, forged), 4u) << all;  // each still said, inside its own line
    }
}

}  // namespace
