// A library dlopen would die on (cut short by an interrupted copy) or could
// not use (built for another machine) is refused by its headers, in one
// line that names the file and says what is wrong, before it is mapped.
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "loader/ElfCheck.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kPlugin = BENCH_HOST_PLUGIN;

std::vector<char> Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class DamagedPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = ::testing::TempDir() + "/damaged_" + std::to_string(::getpid());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        whole_ = Bytes(kPlugin);
        ASSERT_GT(whole_.size(), 100000u);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const std::vector<char>& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    std::string Cut(std::size_t size) {
        return Write("cut_" + std::to_string(size) + ".so", {whole_.begin(), whole_.begin() + size});
    }

    std::string dir_;
    std::vector<char> whole_;
};

TEST_F(DamagedPlugin, TheWholeLibraryPasses) { EXPECT_EQ(ElfCheck::Problem(kPlugin), ""); }

TEST_F(DamagedPlugin, EveryCutIsFoundWhereverItFalls) {
    // Inside the ELF header, inside the program headers, inside the code,
    // just before the section headers at the end, one byte short.
    const std::vector<std::size_t> cuts{1, 16, 40, 63, 64, 100, 1000, 4096, 10000, 65536, 100000,
                                        whole_.size() - 64, whole_.size() - 1};
    for (const std::size_t size : cuts) {
        const std::string problem = ElfCheck::Problem(Cut(size));
        EXPECT_NE(problem, "") << "cut at " << size;
        if (size >= EI_NIDENT) {
            EXPECT_NE(problem.find("is cut short: " + std::to_string(size) + " bytes"), std::string::npos) << problem;
        }
    }
}

TEST_F(DamagedPlugin, EmptyAndNonElfFilesAreNamedAsSuch) {
    EXPECT_EQ(ElfCheck::Problem(Write("empty.so", {})), "is empty");
    const std::string text = "#!/bin/sh\necho not a library\n";
    EXPECT_EQ(ElfCheck::Problem(Write("script.so", {text.begin(), text.end()})),
              "is not a shared library (no ELF header)");
    EXPECT_EQ(ElfCheck::Problem(dir_ + "/missing.so"), "cannot be read");
}

TEST_F(DamagedPlugin, ForeignHeadersAreNotForThisMachine) {
    struct Case {
        const char* name;
        std::size_t offset;
        unsigned char value;
        const char* built_for;
    };
    // One header byte changed each: the machine, the class, the byte order.
    const std::vector<Case> cases{
        {"mips", offsetof(Elf64_Ehdr, e_machine), EM_MIPS, "built for MIPS, 64-bit, little-endian"},
        {"arm64", offsetof(Elf64_Ehdr, e_machine), EM_AARCH64, "built for ARM64"},
        {"class32", EI_CLASS, ELFCLASS32, "32-bit"},
        {"bigendian", EI_DATA, ELFDATA2MSB, "big-endian"},
    };
    for (const Case& c : cases) {
        std::vector<char> bytes = whole_;
        bytes[c.offset] = static_cast<char>(c.value);
        if (c.offset == offsetof(Elf64_Ehdr, e_machine)) bytes[c.offset + 1] = 0;
        const std::string problem = ElfCheck::Problem(Write(std::string(c.name) + ".so", bytes));
        EXPECT_EQ(problem.rfind("is not for this machine: ", 0), 0u) << c.name << ": " << problem;
        EXPECT_NE(problem.find(c.built_for), std::string::npos) << c.name << ": " << problem;
    }
}

TEST_F(DamagedPlugin, TheControllersBuildIsNotForThisMachine) {
    // A real mipsel shared object, made by the cross compiler the
    // controller build uses.
    const std::string source = dir_ + "/tiny.cpp", lib = dir_ + "/tiny.so";
    std::ofstream(source) << "extern \"C\" int tiny() { return 29; }\n";
    const std::string cmd = "mipsel-linux-gnu-g++ -shared -fPIC -o " + lib + " " + source + " 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "no mipsel-linux-gnu-g++ on this machine";
    EXPECT_EQ(ElfCheck::Problem(lib).rfind("is not for this machine: built for MIPS, 32-bit, little-endian", 0), 0u)
        << ElfCheck::Problem(lib);
}

TEST_F(DamagedPlugin, BenchHostSaysSoInOneLineAndExitsOne) {
    // replay and run both load the library before anything else happens.
    const std::string site = dir_ + "/site.json";
    std::ofstream(site) << R"({"history":")" << dir_ << R"(/h.db","ports":[{"path":"/dev/null","devices":[{"id":1,"type":"upsbattery_29","addr":1,"config":{}}]}]})";
    for (const std::size_t size : {std::size_t{0}, std::size_t{1000}, std::size_t{40000}, std::size_t{100000}}) {
        const std::string lib = Cut(size);
        for (const std::vector<std::string>& argv :
             {std::vector<std::string>{BENCH_HOST_BIN, "replay", "--plugin", lib, "-"},
              std::vector<std::string>{BENCH_HOST_BIN, "run", "--config", site, "--plugin", lib, "--json"}}) {
            const auto r = ChildProcess::Run(argv, 20s);
            EXPECT_EQ(r.status, 1) << argv[1] << " cut at " << size << ": " << r.err;
            EXPECT_EQ(r.err.rfind("bench-host: plug-in " + fs::canonical(lib).string() + " is ", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
}

}  // namespace
