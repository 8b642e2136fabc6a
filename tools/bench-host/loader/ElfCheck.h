#pragma once
// The checks a shared library must pass before dlopen maps it.  dlopen
// trusts the file's headers: a library cut short (an interrupted copy) is
// mapped past its end, and the first touch of a missing page kills the
// process with a bus error and no message.  A library built for another
// machine (the controller's mipsel build on a PC) is refused by dlopen too,
// but in words that do not say so.  Reading the headers first turns both
// into one line that names the file and what is wrong.
#include <string>

class ElfCheck {
public:
    // "" when the file is a whole ELF shared object this program can load:
    // the ELF header, the program headers, the segments they map and the
    // section headers and sections all lie within the file, and its class,
    // byte order and machine are this program's.  Otherwise what is wrong,
    // e.g. "is cut short: 40960 bytes, its section headers end at 98304".
    static std::string Problem(const std::string& path);
};
