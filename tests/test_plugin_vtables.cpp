// The tables of virtual functions of the library as shipped: the host calls
// devices and providers only through slots it compiled itself, so every slot
// of every object the library makes must hold the function the host expects
// there.  The library is loaded as the host loads it; each slot's address is
// named from the symbol table of the file it lies in (the library's own, or
// the host's for the operations the host supplies), and the slots whose
// effect the host relies on are called through the loaded object.  Built
// natively and for the controller (run under qemu), with the release flags.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "host/HLXSPDeviceProvider.h"
#include "host/standin/HostRecorder.h"
#include "models/Models.h"
#include "plugin/get_providers.h"
#include "support/Cycle.h"
#include "support/LoadedPlugin.h"

using hoststandin::HostRecorder;

namespace {

// The function symbols of one ELF file, by their offset from its load base.
class SymbolFile {
public:
    explicit SymbolFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (bytes_.size() < EI_NIDENT) return;
        if (bytes_[EI_CLASS] == ELFCLASS64)
            Read<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>();
        else if (bytes_[EI_CLASS] == ELFCLASS32)
            Read<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>();
    }
    bool Empty() const { return names_.empty(); }
    // Every mangled name at that offset: aliases (a destructor's variants,
    // folded identical functions) share one.
    std::vector<std::string> At(uint64_t offset) const {
        std::vector<std::string> out;
        auto range = names_.equal_range(offset);
        for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
        return out;
    }

private:
    template <typename T>
    bool Get(uint64_t at, T& out) const {
        if (at > bytes_.size() || sizeof(T) > bytes_.size() - at) return false;
        std::memcpy(&out, bytes_.data() + at, sizeof(T));
        return true;
    }
    template <typename Ehdr, typename Shdr, typename Sym>
    void Read() {
        Ehdr eh;
        if (!Get(0, eh)) return;
        for (unsigned i = 0; i < eh.e_shnum; ++i) {
            Shdr sh;
            if (!Get(eh.e_shoff + uint64_t{i} * eh.e_shentsize, sh)) return;
            if (sh.sh_type != SHT_SYMTAB && sh.sh_type != SHT_DYNSYM) continue;
            Shdr strings;
            if (!Get(eh.e_shoff + uint64_t{sh.sh_link} * eh.e_shentsize, strings)) continue;
            for (uint64_t off = 0; off + sizeof(Sym) <= sh.sh_size; off += sizeof(Sym)) {
                Sym sym;
                if (!Get(sh.sh_offset + off, sym)) break;
                if ((sym.st_info & 0xF) != STT_FUNC || sym.st_value == 0) continue;
                const uint64_t name_at = strings.sh_offset + sym.st_name;
                if (name_at >= bytes_.size()) continue;
                const char* name = bytes_.data() + name_at;
                names_.emplace(static_cast<uint64_t>(sym.st_value), std::string(name, strnlen(name, bytes_.size() - name_at)));
            }
        }
    }
    std::vector<char> bytes_;
    std::multimap<uint64_t, std::string> names_;
};

std::string Demangled(const std::string& mangled) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status),
                                                std::free);
    return status == 0 && text ? std::string(text.get()) : mangled;
}

// What a slot must hold: the qualified name of the function, and for a
// destructor which of the pair (D1 complete object, D0 deleting).
struct Expected {
    Expected(std::string f, const char* v = nullptr) : function(std::move(f)), variant(v) {}
    std::string function;
    const char* variant;  // a piece of the mangled name, or none
};

// Names every function address by the file it lies in.
class FunctionNames {
public:
    // Every mangled name of the function at addr, and the file it is in.
    std::vector<std::string> Of(const void* addr, std::string* file) {
        Dl_info info{};
        if (dladdr(addr, &info) == 0 || info.dli_fname == nullptr) return {};
        *file = info.dli_fname;
        auto it = files_.find(*file);
        if (it == files_.end()) it = files_.emplace(*file, std::make_unique<SymbolFile>(*file)).first;
        const uint64_t offset = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(addr) -
                                                      reinterpret_cast<uintptr_t>(info.dli_fbase));
        std::vector<std::string> names = it->second->At(offset);
        // An executable not built position-independent is named by address.
        if (names.empty()) names = it->second->At(reinterpret_cast<uintptr_t>(addr));
        if (names.empty() && info.dli_sname != nullptr && info.dli_saddr == addr) names.push_back(info.dli_sname);
        return names;
    }

    // Whether the function at addr is the expected one; what it is otherwise.
    ::testing::AssertionResult Is(const void* addr, const Expected& e) {
        std::string file;
        const std::vector<std::string> names = Of(addr, &file);
        std::string seen;
        for (const auto& mangled : names) {
            const std::string text = Demangled(mangled);
            seen += "\n    " + text + " (" + mangled + ")";
            // The qualified name, then its parameter list (or an ABI tag).
            if (text.compare(0, e.function.size(), e.function) != 0) continue;
            if (text.size() > e.function.size() && text[e.function.size()] != '(' && text[e.function.size()] != '[')
                continue;
            if (e.variant != nullptr && mangled.find(e.variant) == std::string::npos) continue;
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "expected " << e.function << (e.variant ? e.variant : "") << ", found in "
                                             << (file.empty() ? "no file" : file) << ":" << (seen.empty() ? " no symbol" : seen);
    }

private:
    std::map<std::string, std::unique_ptr<SymbolFile>> files_;
};

const void* const* TableOf(const void* object) { return *static_cast<const void* const* const*>(object); }

#define UNIDATA "UniDataDevice<Battery32_Data_t, Battery, 5013>"

// The device's table, slot by slot, from the interface's own operations to
// the two the plug-in's classes add.  Slots 10 to 30 beyond the three that
// Battery replaces are the host's: their functions are found in the host's
// file, not the library's own copies.
std::vector<Expected> DeviceTable(const std::string& model) {
    const std::string dtor = model + "::~" + model;
    const bool own_cells = model == "UPSBattery29";
    return {
        {"Battery32::Get_Value"},
        {"VDeviceInterface::LoadFromCache"},
        {"Battery32::LoadFromCache"},
        {"VDeviceInterface::DataId"},
        {"VDeviceInterface::DeviceType"},
        {"Battery::DeviceIoControl"},
        {UNIDATA "::RoundDone"},
        {"VDeviceInterface::UseControllerDb"},
        {dtor, "D1Ev"},
        {dtor, "D0Ev"},
        {"HLXSPDevice::Reset"},
        {"HLXVDevice::InitV"},
        {"HLXVDevice::Init"},
        {UNIDATA "::InitSetting"},
        {"HLXVDevice::IsSupportDevice"},
        {"HLXVDevice::GetChildVDevice"},
        {"HLXVDevice::GetAllChildVDevices"},
        {"HLXVDevice::SendSP"},
        {"HLXVDevice::SendDelayData"},
        {"HLXVDevice::SendDoData"},
        {"HLXVDevice::ReadDi"},
        {"HLXVDevice::ReadAi"},
        {"HLXVDevice::Get_SP_Value"},
        {"Battery::RefreshStatus"},
        {"Battery::process"},
        {"HLXVDevice::IsProcessing"},
        {"HLXVDevice::IsStalled"},
        {"HLXSPDevice::SendData"},
        {"HLXSPDevice::SendParityData"},
        {"HLXSPDevice::OpenPort"},
        {"HLXSPDevice::ClosePort"},
        {own_cells ? "UPSBattery29::ProcessBatteryVoltage" : "Battery32::ProcessBatteryVoltage"},
        {"Battery32::RunCheckThreshold"},
    };
}

// The class of each device type the library makes.  A model the providers
// make without an entry here fails: its table has not been checked.
const std::map<std::string, const char*> kModelClass = {
    {models::kUPSBattery29.type, "UPSBattery29"},
};

class ShippedLibrary : public LoadedPlugin {
protected:
    // One device of every type the library makes, with its provider.
    struct Made {
        std::shared_ptr<Provider> provider;
        std::unique_ptr<HLXSPDevice> device;
    };
    std::vector<Made> MakeEveryType() {
        std::vector<Made> out;
        for (auto& p : get_providers_()) {
            auto* serial = dynamic_cast<HLXSPDeviceProvider*>(p.get());
            EXPECT_NE(serial, nullptr);
            if (serial == nullptr) continue;
            Made m;
            m.device.reset(serial->create());
            m.provider = p;
            out.push_back(std::move(m));
        }
        return out;
    }

    FunctionNames names_;
};

TEST_F(ShippedLibrary, EveryDeviceSlotHoldsItsFunction) {
    const auto made = MakeEveryType();
    ASSERT_FALSE(made.empty());
    for (const auto& m : made) {
        const std::string type = m.device->DeviceType();
        SCOPED_TRACE(type);
        const auto cls = kModelClass.find(type);
        ASSERT_NE(cls, kModelClass.end()) << "a model whose table is not checked";
        const std::vector<Expected> expected = DeviceTable(cls->second);
        ASSERT_EQ(expected.size(), 33u);
        const void* const* table = TableOf(m.device.get());
        for (std::size_t slot = 0; slot < expected.size(); ++slot)
            EXPECT_TRUE(names_.Is(table[slot], expected[slot])) << "slot " << slot;
    }
}

TEST_F(ShippedLibrary, EveryProviderSlotHoldsItsFunction) {
    const auto made = MakeEveryType();
    ASSERT_FALSE(made.empty());
    for (const auto& m : made) {
        const std::string cls = std::string(kModelClass.at(m.device->DeviceType())) + "Provider";
        const std::string dtor = cls + "::~" + cls;
        const std::string create = cls + "::create";
        const Expected expected[] = {{dtor, "D1Ev"}, {dtor, "D0Ev"}, {create}};
        const void* const* table = TableOf(m.provider.get());
        for (std::size_t slot = 0; slot < 3; ++slot)
            EXPECT_TRUE(names_.Is(table[slot], expected[slot])) << cls << " slot " << slot;
    }
}

// The models the library makes are those the shared list names, in its
// order, each with its cell count; each provider's type information and
// table can be found by the host.
TEST_F(ShippedLibrary, TheProvidersMakeTheListedModels) {
    auto made = MakeEveryType();
    ASSERT_EQ(made.size(), static_cast<std::size_t>(models::kProvidedCount));
    for (int i = 0; i < models::kProvidedCount; ++i) {
        const models::Model& model = models::kProvided[i];
        HLXSPDevice& dev = *made[static_cast<std::size_t>(i)].device;
        EXPECT_EQ(dev.DeviceType(), model.type);
        ASSERT_TRUE(dev.LoadFromCache(std::string(152, '\0')));
        const std::string last = "battery_" + std::to_string(model.cells - 1) + "_value";
        const std::string beyond = "battery_" + std::to_string(model.cells) + "_value";
        EXPECT_NO_THROW(dev.Get_Value(0, last)) << model.type;
        EXPECT_THROW(dev.Get_Value(0, beyond), std::out_of_range) << model.type;
        const auto& provider = *made[static_cast<std::size_t>(i)].provider;
        const std::string name = typeid(provider).name();
        for (const char* kind : {"_ZTI", "_ZTS", "_ZTV"})
            EXPECT_NE(dlsym(handle_, (kind + name).c_str()), nullptr) << kind << name << " is not exported";
    }
}

// The three slots after the interface's type queries, called through the
// loaded device as the host calls them.
TEST_F(ShippedLibrary, ControlRoundCompletionAndDatabaseFlagThroughTheTable) {
    for (auto& m : MakeEveryType()) {
        HLXSPDevice& dev = *m.device;
        SCOPED_TRACE(dev.DeviceType());
        int returned = 0;
        const uint16_t minutes = 10;
        // The battery's own control: 0 where the interface's default says -2.
        EXPECT_EQ(dev.DeviceIoControl(100, &minutes, 2, nullptr, 0, returned), 0);
        EXPECT_EQ(dev.DeviceIoControl(7, nullptr, 0, nullptr, 0, returned), 0);
        EXPECT_EQ(dev.DeviceIoControl(100, nullptr, 2, nullptr, 0, returned), -1);

        EXPECT_EQ(dev.UseControllerDb(), 0);
        dev.use_controller_db_ = 1;
        EXPECT_EQ(dev.UseControllerDb(), 1);

        HostRecorder host;
        dev.data_id_ = 9;
        EXPECT_EQ(dev.data_ready_, 0);
        {
            CoutCapture out;
            dev.RoundDone();
            EXPECT_EQ(out.Text(), "rvSize is 0\n");
        }
        EXPECT_EQ(dev.data_ready_, 1);
        EXPECT_EQ(dev.comm_state_, 1);
        const auto kinds = host.Kinds();
        ASSERT_GE(kinds.size(), 4u);
        EXPECT_EQ(kinds.front(), "send_sp");
        EXPECT_EQ(kinds[1], "reset");
        EXPECT_EQ(kinds[kinds.size() - 2], "batch_check");
        EXPECT_EQ(kinds.back(), "save_history");
        EXPECT_EQ(host.Of("send_sp").at(0).index, 5013);
        EXPECT_NO_THROW(dev.Get_Value(0, "battery_0_value"));
    }
}

}  // namespace
