// The library named is the library loaded, and what identifies it; the
// value names the bench checks alarms against are those the plug-in answers.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

#include "loader/FileDigest.h"
#include "loader/PluginLoader.h"
#include "site/ValueNames.h"
#include "host/standin/HostRecorder.h"
#include "host/standin/HostStandin.h"

namespace {

namespace fs = std::filesystem;

const std::string kPlugin = BENCH_HOST_PLUGIN;

// The plug-in resolves the host's operations from the process, as on the
// controller: a call into the host stand-in makes this program carry it.
PluginLoader Load(const std::string& path) {
    hoststandin::SetObserver(hoststandin::Observer());
    return PluginLoader(path);
}

// Runs in a fresh folder as the current one, and goes back.
class InFolder : public ::testing::Test {
protected:
    void SetUp() override {
        back_ = fs::current_path();
        dir_ = ::testing::TempDir() + "/plugin_" + std::to_string(::getpid());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(back_);
        fs::remove_all(dir_);
    }
    fs::path back_;
    std::string dir_;
};

TEST(FileDigest, Sha256OfKnownContents) {
    const std::string path = ::testing::TempDir() + "/digest_" + std::to_string(::getpid());
    struct Case {
        std::string bytes;
        const char* sha256;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.bytes;
        const FileDigest d = FileDigest::Of(path);
        EXPECT_EQ(d.sha256, c.sha256);
        EXPECT_EQ(d.size, c.bytes.size());
    }
    fs::remove(path);
    EXPECT_THROW(FileDigest::Of(path), std::runtime_error);
}

TEST_F(InFolder, ABareNameIsTheFileInTheCurrentFolder) {
    fs::copy_file(kPlugin, "myplug.so");
    PluginLoader plugin = Load("myplug.so");
    EXPECT_EQ(plugin.Path(), fs::canonical(dir_ + "/myplug.so").string());
    const FileDigest built = FileDigest::Of(kPlugin);
    EXPECT_EQ(plugin.Digest().sha256, built.sha256);
    EXPECT_EQ(plugin.Digest().size, fs::file_size(kPlugin));
    std::unique_ptr<HLXSPDevice> dev(plugin.Create("upsbattery_29"));
    EXPECT_TRUE(dev);

    // The plug-in's own file name, absent here, is not looked for on the
    // library path or beside the build.
    try {
        PluginLoader other = Load("upsbattery_29.so");
        ADD_FAILURE() << "loaded " << other.Path();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("does not exist in the current folder"), std::string::npos) << e.what();
    }
    EXPECT_THROW(Load("."), std::runtime_error);
}

// The bench's device types and cell counts agree with the devices the
// plug-in makes: every type it makes is known, every name listed is
// answered, the next cell is not, and the cells the group rule checks are
// those whose thresholds the plug-in hands over.
TEST(ValueNames, AgreeWithThePlugin) {
    PluginLoader plugin = Load(kPlugin);
    const std::vector<std::string> types = plugin.Types();
    ASSERT_FALSE(types.empty());
    for (const std::string& type : types) {
        SCOPED_TRACE(type);
        std::unique_ptr<HLXSPDevice> dev(plugin.Create(type));
        ASSERT_TRUE(dev);
        ASSERT_TRUE(dev->LoadFromCache(std::string(152, '\0')));
        const auto names = ValueNames::For(type, Json::Value(Json::objectValue));
        ASSERT_TRUE(names);
        for (const auto& name : names->All()) EXPECT_NO_THROW(dev->Get_Value(0, name)) << name;
        EXPECT_THROW(dev->Get_Value(0, ValueNames::CellName(names->Cells())), std::out_of_range);

        for (const char* config : {R"({"appSetting":{"group_index":2,"amount":5}})",
                                   R"({"appSetting":{"group_index":1,"amount":100}})",
                                   R"({"appSetting":{"group_index":1,"amount":3,"active_batteries":[7,60]}})"}) {
            SCOPED_TRACE(config);
            Json::Value parsed;
            std::istringstream text(config);
            std::string errors;
            ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &parsed, &errors)) << errors;
            std::unique_ptr<HLXSPDevice> configured(plugin.Create(type));
            hoststandin::HostRecorder host;
            std::ostringstream console;
            std::streambuf* const was = std::cout.rdbuf(console.rdbuf());
            const bool configured_ok = configured->InitSetting(parsed);
            configured->RoundDone();
            std::cout.rdbuf(was);
            ASSERT_TRUE(configured_ok);
            std::set<std::string> handed_over;
            for (const auto& call : host.Of("check_threshold")) handed_over.insert(call.name);
            const auto checked = ValueNames::For(type, parsed);
            for (const auto& name : checked->All())
                EXPECT_EQ(checked->Checked(name), handed_over.count(name) == 1) << name;
        }
    }
}

}  // namespace
