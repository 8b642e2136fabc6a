#pragma once
// A host that localises its screens with a named locale: digits grouped, a
// decimal comma.  std::locale::global with a named locale sets the C
// library's locale too, so atof, printf and every stream made afterwards
// follow it.  The locale is compiled here with localedef into a folder of
// the test's own (LOCPATH), since a machine need not have it installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <locale>
#include <stdexcept>
#include <string>

class NamedLocale {
public:
    // Sets the global locale for as long as it lives; throws when the locale
    // cannot be made on this machine.
    NamedLocale() : old_(std::locale()) {
        static const std::string dir = Compile();
        if (dir.empty()) throw std::runtime_error("localedef could not make de_DE.UTF-8 here");
        ::setenv("LOCPATH", dir.c_str(), 1);
        try {
            std::locale::global(std::locale(kName));
        } catch (...) {
            ::unsetenv("LOCPATH");
            throw std::runtime_error("de_DE.UTF-8 made by localedef cannot be loaded here");
        }
    }
    ~NamedLocale() {
        std::locale::global(old_);
        std::setlocale(LC_ALL, "C");
        ::unsetenv("LOCPATH");
    }

    static constexpr const char* kName = "de_DE.UTF-8";

private:
    static std::string Compile() {
        const std::string dir = ::testing::TempDir() + "/locales_" + std::to_string(::getpid());
        const std::string cmd =
            "mkdir -p '" + dir + "' && localedef -i de_DE -f UTF-8 '" + dir + "/" + kName + "' >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0 ? dir : std::string();
    }
    std::locale old_;
};
