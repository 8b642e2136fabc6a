#include "loader/ElfCheck.h"

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>

namespace {

// The header fields the checks use, of a 32- or a 64-bit file alike.
struct Header {
    unsigned char ident[EI_NIDENT];
    uint16_t type = 0;
    uint16_t machine = 0;
    uint64_t phoff = 0, shoff = 0;
    uint16_t phentsize = 0, phnum = 0, shentsize = 0, shnum = 0;
};

// The names a user knows machines by, for the ones this plug-in is built
// for and a few a bench is likely to see.
std::string MachineName(uint16_t machine) {
    switch (machine) {
        case EM_386: return "x86 (32-bit)";
        case EM_X86_64: return "x86-64";
        case EM_MIPS: return "MIPS";
        case EM_ARM: return "ARM (32-bit)";
        case EM_AARCH64: return "ARM64";
        case EM_RISCV: return "RISC-V";
        case EM_PPC: return "PowerPC";
        case EM_PPC64: return "PowerPC 64";
        default: return "machine " + std::to_string(machine);
    }
}

std::string Describe(const unsigned char* ident, uint16_t machine) {
    return MachineName(machine) + (ident[EI_CLASS] == ELFCLASS64 ? ", 64-bit" : ", 32-bit") +
           (ident[EI_DATA] == ELFDATA2LSB ? ", little-endian" : ", big-endian");
}

template <typename Ehdr>
Header Widen(const Ehdr& e) {
    Header h;
    std::memcpy(h.ident, e.e_ident, EI_NIDENT);
    h.type = e.e_type;
    h.machine = e.e_machine;
    h.phoff = e.e_phoff;
    h.shoff = e.e_shoff;
    h.phentsize = e.e_phentsize;
    h.phnum = e.e_phnum;
    h.shentsize = e.e_shentsize;
    h.shnum = e.e_shnum;
    return h;
}

// The end of [offset, offset + count * size), or UINT64_MAX when that
// overflows (a corrupt header must not wrap into a small number).
uint64_t End(uint64_t offset, uint64_t count, uint64_t size) {
    if (size != 0 && count > (UINT64_MAX - offset) / size) return UINT64_MAX;
    return offset + count * size;
}

std::string CutShort(uint64_t size, const char* what, uint64_t end) {
    return "is cut short: " + std::to_string(size) + " bytes, " + what + " end at " +
           (end == UINT64_MAX ? std::string("an impossible offset") : std::to_string(end));
}

// The bytes [offset, offset + size) of the file, which the caller has
// checked lie within it.
template <typename T>
T ReadAt(std::ifstream& in, uint64_t offset) {
    T t{};
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(&t), sizeof t);
    return t;
}

// The program headers' segments and the sections, each within the file.
// Only the headers are read: a library is megabytes, its headers a few
// kilobytes.
template <typename Phdr, typename Shdr>
std::string Extents(std::ifstream& in, uint64_t size, const Header& h) {
    for (uint16_t i = 0; i < h.phnum; ++i) {
        const Phdr p = ReadAt<Phdr>(in, h.phoff + uint64_t(i) * h.phentsize);
        const uint64_t end = End(p.p_offset, 1, p.p_filesz);
        if (end > size) return CutShort(size, "its segments", end);
    }
    for (uint16_t i = 0; i < h.shnum; ++i) {
        const Shdr s = ReadAt<Shdr>(in, h.shoff + uint64_t(i) * h.shentsize);
        if (s.sh_type == SHT_NOBITS) continue;
        const uint64_t end = End(s.sh_offset, 1, s.sh_size);
        if (end > size) return CutShort(size, "its sections", end);
    }
    return {};
}

// This program's own header: the class, byte order and machine a library
// must have to be loaded into it.
const Header& Self() {
    static const Header self = [] {
        Header h;
        std::ifstream in("/proc/self/exe", std::ios::binary);
        in.read(reinterpret_cast<char*>(h.ident), EI_NIDENT);
        if (h.ident[EI_CLASS] == ELFCLASS64) {
            Elf64_Ehdr e{};
            in.seekg(0);
            in.read(reinterpret_cast<char*>(&e), sizeof e);
            h = Widen(e);
        } else {
            Elf32_Ehdr e{};
            in.seekg(0);
            in.read(reinterpret_cast<char*>(&e), sizeof e);
            h = Widen(e);
        }
        return h;
    }();
    return self;
}

}  // namespace

std::string ElfCheck::Problem(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot be read";
    in.seekg(0, std::ios::end);
    const uint64_t size = static_cast<uint64_t>(in.tellg());
    in.seekg(0);
    if (size == 0) return "is empty";
    unsigned char ident[EI_NIDENT] = {};
    in.read(reinterpret_cast<char*>(ident), EI_NIDENT);
    if (size < EI_NIDENT || std::memcmp(ident, ELFMAG, SELFMAG) != 0) return "is not a shared library (no ELF header)";
    const unsigned char cls = ident[EI_CLASS];
    if (cls != ELFCLASS32 && cls != ELFCLASS64) return "is not a shared library (unknown ELF class)";
    const std::size_t ehdr = cls == ELFCLASS64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
    if (size < ehdr) return CutShort(size, "its ELF header would", ehdr);
    const Header h = cls == ELFCLASS64 ? Widen(ReadAt<Elf64_Ehdr>(in, 0)) : Widen(ReadAt<Elf32_Ehdr>(in, 0));
    // Foreign first: the fields of a big-endian file read wrong here, so
    // its extents mean nothing until the byte order is known to match.
    const Header& self = Self();
    if (h.ident[EI_CLASS] != self.ident[EI_CLASS] || h.ident[EI_DATA] != self.ident[EI_DATA] ||
        h.machine != self.machine)
        return "is not for this machine: built for " + Describe(h.ident, h.machine) + ", this program is " +
               Describe(self.ident, self.machine);
    if (h.type != ET_DYN) return "is not a shared library (ELF type " + std::to_string(h.type) + ")";
    const std::size_t phdr = cls == ELFCLASS64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
    const std::size_t shdr = cls == ELFCLASS64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
    if (h.phnum == 0 || h.phentsize < phdr) return "is not a shared library (no program headers)";
    if (h.shnum != 0 && h.shentsize < shdr) return "is damaged: section header size " + std::to_string(h.shentsize);
    const uint64_t ph_end = End(h.phoff, h.phnum, h.phentsize);
    if (ph_end > size) return CutShort(size, "its program headers", ph_end);
    const uint64_t sh_end = End(h.shoff, h.shnum, h.shentsize);
    if (sh_end > size) return CutShort(size, "its section headers", sh_end);
    return cls == ELFCLASS64 ? Extents<Elf64_Phdr, Elf64_Shdr>(in, size, h) : Extents<Elf32_Phdr, Elf32_Shdr>(in, size, h);
}
