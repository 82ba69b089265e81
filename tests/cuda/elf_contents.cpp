// Reads what a GPU build put into an executable, without the toolkit's binary utilities:
//   elf_contents fatbin FILE [code:NN | ptx:NN]...   lists the embedded device code and checks
//                                                    that each named entry is there
//   elf_contents export FILE NAME                     checks that NAME is a defined 4-byte object
//                                                    in the dynamic symbol table
//   elf_contents rodata FILE TEXT...                  checks that each TEXT ends a string in
//                                                    .rodata (as the runtime registration of a
//                                                    kernel names it)
//   elf_contents modules FILE N                       checks that the executable registers
//                                                    exactly N device-code modules
//   elf_contents machine-code FILE NN                 checks that every module with device code
//                                                    carries machine code for compute capability NN
//   elf_contents ptx-only FILE NN                     checks that no module carries machine code
//                                                    for NN and each carries PTX that the driver can
//                                                    compile for it (PTX for NN or older)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> image;

template <class T> T read(std::size_t offset)
{
    T value{};
    if (offset + sizeof(T) > image.size()) {
        throw std::out_of_range("read past the end of the file");
    }
    std::memcpy(&value, image.data() + offset, sizeof(T));
    return value;
}

struct section {
    std::string name;
    std::uint32_t type;
    std::uint64_t offset;
    std::uint64_t size;
    std::uint32_t link;
};

std::vector<section> sections()
{
    if (image.size() < 64 || std::memcmp(image.data(),
                                         "\x7f"
                                         "ELF\x02",
                                         5) != 0) {
        throw std::runtime_error("not a 64-bit ELF file");
    }
    const auto table = read<std::uint64_t>(0x28);
    const auto entry = read<std::uint16_t>(0x3A);
    const auto count = read<std::uint16_t>(0x3C);
    const auto names = read<std::uint16_t>(0x3E);
    std::vector<section> found;
    for (std::uint16_t k = 0; k < count; ++k) {
        const std::size_t at = table + static_cast<std::size_t>(k) * entry;
        found.push_back({std::to_string(read<std::uint32_t>(at)), read<std::uint32_t>(at + 4),
                         read<std::uint64_t>(at + 0x18), read<std::uint64_t>(at + 0x20),
                         read<std::uint32_t>(at + 0x28)});
    }
    const std::uint64_t strings = found.at(names).offset;
    for (auto& s : found) {
        s.name = reinterpret_cast<const char*>(image.data() + strings + std::stoul(s.name));
    }
    return found;
}

// The entries ("code:NN" for machine code, "ptx:NN" for PTX) of each fat binary in the section:
// one set for each source's device-code module.
std::vector<std::set<std::string>> fatbin_modules(const section& s)
{
    std::vector<std::set<std::string>> modules;
    std::size_t at = s.offset;
    const std::size_t end = s.offset + s.size;
    while (at + 16 <= end) {
        if (read<std::uint32_t>(at) != 0xBA55ED50u) {
            at += 8;  // zero padding between the fat binaries of separate objects
            continue;
        }
        const std::size_t first = at + read<std::uint16_t>(at + 6);
        const std::size_t last = first + read<std::uint64_t>(at + 8);
        auto& entries = modules.emplace_back();
        for (std::size_t e = first; e < last;) {
            const auto kind = read<std::uint16_t>(e);
            const auto arch = read<std::uint32_t>(e + 28);
            entries.insert((kind == 1   ? "ptx:"
                            : kind == 2 ? "code:"
                                        : "kind" + std::to_string(kind) + ":") +
                           std::to_string(arch));
            e += read<std::uint32_t>(e + 4) + read<std::uint64_t>(e + 8);
        }
        at = (last + 7) / 8 * 8;
    }
    return modules;
}

// The entries of all the fat binaries in the section together.
std::set<std::string> fatbin_entries(const section& s)
{
    std::set<std::string> entries;
    for (const auto& module : fatbin_modules(s)) {
        entries.insert(module.begin(), module.end());
    }
    return entries;
}

// The number of an entry of the given kind ("ptx:75" is PTX for 75), or -1 for another kind.
int entry_arch(const std::string& entry, const std::string& kind)
{
    return entry.rfind(kind, 0) == 0 ? std::stoi(entry.substr(kind.size())) : -1;
}

// What the driver has to run on a GPU of compute capability `arch` ("90"), module by module.
// "machine-code": every module carries machine code for it, so the driver compiles nothing.
// "ptx-only": none does and each carries PTX for it or an older architecture, so what runs is the
// driver's JIT compilation of that PTX. Lists the modules, then one line with the finding.
int check_for_gpu(const std::vector<section>& all, const std::string& mode, const std::string& arch)
{
    if (arch.empty() || arch.find_first_not_of("0123456789") != std::string::npos) {
        throw std::runtime_error("not a compute capability such as 90: " + arch);
    }
    const int gpu = std::stoi(arch);
    std::size_t modules = 0;
    std::size_t with_code = 0;
    std::size_t with_ptx = 0;
    std::set<int> ptx_archs;
    for (const auto& s : all) {
        if (s.name != ".nv_fatbin") {
            continue;
        }
        for (const auto& module : fatbin_modules(s)) {
            std::printf("module %zu:", ++modules);
            bool ptx = false;
            for (const auto& e : module) {
                std::printf(" %s", e.c_str());
                const int ptx_arch = entry_arch(e, "ptx:");
                if (ptx_arch >= 0 && ptx_arch <= gpu) {
                    ptx = true;
                    ptx_archs.insert(ptx_arch);
                }
            }
            std::printf("\n");
            with_code += module.count("code:" + arch);
            with_ptx += ptx ? 1 : 0;
        }
    }
    if (mode == "machine-code") {
        std::printf("sm_%s machine code in %zu of %zu modules\n", arch.c_str(), with_code, modules);
        return modules > 0 && with_code == modules ? 0 : 1;
    }
    std::string archs;
    for (const int a : ptx_archs) {
        archs += (archs.empty() ? "compute_" : ", compute_") + std::to_string(a);
    }
    const bool jit = modules > 0 && with_code == 0 && with_ptx == modules;
    std::printf("sm_%s machine code in %zu of %zu modules, PTX for it (%s) in %zu: %s\n", arch.c_str(), with_code,
                modules, archs.empty() ? "none" : archs.c_str(), with_ptx,
                jit ? "the driver JIT-compiles what runs" : "what runs is not the driver's JIT compilation");
    return jit ? 0 : 1;
}

int check_fatbin(const std::vector<section>& all, int argc, char** argv)
{
    for (const auto& s : all) {
        if (s.name != ".nv_fatbin") {
            continue;
        }
        const auto entries = fatbin_entries(s);
        for (const auto& e : entries) {
            std::printf("%s\n", e.c_str());
        }
        int missing = 0;
        for (int k = 3; k < argc; ++k) {
            if (entries.count(argv[k]) == 0) {
                std::printf("missing %s\n", argv[k]);
                ++missing;
            }
        }
        return missing == 0 ? 0 : 1;
    }
    std::printf("no .nv_fatbin section\n");
    return 1;
}

int check_export(const std::vector<section>& all, const std::string& name)
{
    for (const auto& s : all) {
        if (s.type != 11) {  // SHT_DYNSYM
            continue;
        }
        const std::uint64_t strings = all.at(s.link).offset;
        for (std::uint64_t at = s.offset; at + 24 <= s.offset + s.size; at += 24) {
            const char* symbol =
                reinterpret_cast<const char*>(image.data() + strings + read<std::uint32_t>(at));
            if (name == symbol) {
                const bool global_object =
                    (read<std::uint8_t>(at + 4) >> 4) == 1 && (read<std::uint8_t>(at + 4) & 0xF) == 1;
                const bool defined = read<std::uint16_t>(at + 6) != 0;
                const bool four_bytes = read<std::uint64_t>(at + 16) == 4;
                std::printf("%s: global object %d, defined %d, 4 bytes %d\n", symbol, global_object, defined,
                            four_bytes);
                return global_object && defined && four_bytes ? 0 : 1;
            }
        }
    }
    std::printf("%s is not in the dynamic symbol table\n", name.c_str());
    return 1;
}

int check_rodata(const std::vector<section>& all, int argc, char** argv)
{
    for (const auto& s : all) {
        if (s.name != ".rodata") {
            continue;
        }
        const std::string data(reinterpret_cast<const char*>(image.data() + s.offset), s.size);
        int missing = 0;
        for (int k = 3; k < argc; ++k) {
            const std::string text = std::string(argv[k]) + '\0';
            if (data.find(text) == std::string::npos) {
                std::printf("missing %s\n", argv[k]);
                ++missing;
            }
        }
        return missing == 0 ? 0 : 1;
    }
    std::printf("no .rodata section\n");
    return 1;
}

// Each device-code module the executable registers at start-up has a 24-byte record in
// .nvFatBinSegment: magic 0x466243B1, version, the address of its fat binary, and a null.
int check_modules(const std::vector<section>& all, const std::string& expected)
{
    std::size_t modules = 0;
    for (const auto& s : all) {
        if (s.name != ".nvFatBinSegment") {
            continue;
        }
        for (std::uint64_t at = s.offset; at + 24 <= s.offset + s.size; at += 24) {
            if (read<std::uint32_t>(at) != 0x466243B1u) {
                std::printf("a record at offset %llu has no fat-binary magic\n",
                            static_cast<unsigned long long>(at - s.offset));
                return 1;
            }
            ++modules;
        }
    }
    std::printf("%zu device-code modules\n", modules);
    return std::to_string(modules) == expected ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: elf_contents fatbin FILE [code:NN|ptx:NN]... | export FILE NAME | rodata FILE TEXT... | "
            "modules FILE N | machine-code FILE NN | ptx-only FILE NN\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), {});
    try {
        const auto all = sections();
        const std::string command = argv[1];
        if (command == "fatbin") {
            return check_fatbin(all, argc, argv);
        }
        if (command == "rodata") {
            return check_rodata(all, argc, argv);
        }
        if (command == "modules" && argc == 4) {
            return check_modules(all, argv[3]);
        }
        if ((command == "machine-code" || command == "ptx-only") && argc == 4) {
            return check_for_gpu(all, command, argv[3]);
        }
        if (command == "export" && argc == 4) {
            return check_export(all, argv[3]);
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "elf_contents: %s: %s\n", argv[2], failure.what());
        return 1;
    }
    std::fprintf(stderr, "elf_contents: unknown command\n");
    return 2;
}
