// kvpecheck: checks a Windows x64 image built by ./kv windows.
//   kvpecheck sys|dll IMAGE --libs DIR [--def MODULE=FILE.def]... [--export NAME]... [--objdump PROG] [--nm PROG]
// sys: a native-subsystem WDM driver that imports only from the kernel's modules, exports nothing
// and holds no x87, MMX or AVX instruction. dll: a Windows-subsystem DLL exporting exactly the
// --export names. Both: 64-bit image, NX and dynamic base, no writable code, 64-bit relocations
// only, a valid checksum, and every import named in its module's export list (mingw-w64's import
// library lib<module>.a in --libs, or a .def given with --def).
// Prints one line per finding and exits 1 when there is any.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_findings;
void Finding(const std::string& text) { g_findings.push_back(text); }

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Hex(uint64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
    return b;
}

std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (pclose(p) != 0) Finding("command failed: " + command);
    return out;
}

// ---------------------------------------------------------------------------------------------
// The image

struct Section {
    std::string name;
    uint32_t rva, virtualSize, rawOffset, rawSize, flags;
};

class Image {
public:
    explicit Image(std::vector<uint8_t> bytes) : b_(std::move(bytes)) {}

    bool Parse() {
        if (b_.size() < 0x40 || U16(0) != 0x5A4D) return Fail("no MZ header");
        pe_ = U32(0x3C);
        if (pe_ + 24 > b_.size() || U32(pe_) != 0x4550) return Fail("no PE signature");
        machine = U16(pe_ + 4);
        uint16_t sections = U16(pe_ + 6);
        characteristics = U16(pe_ + 22);
        opt_ = pe_ + 24;
        uint16_t optSize = U16(pe_ + 20);
        if (opt_ + optSize > b_.size() || U16(opt_) != 0x20B) return Fail("not a PE32+ image");
        entry = U32(opt_ + 16);
        subsystem = U16(opt_ + 68);
        dllCharacteristics = U16(opt_ + 70);
        checksumOffset = opt_ + 64;
        checksum = U32(checksumOffset);
        uint32_t dirs = U32(opt_ + 108);
        for (uint32_t i = 0; i < dirs && i < 16; ++i) dir_[i] = {U32(opt_ + 112 + 8 * i), U32(opt_ + 116 + 8 * i)};
        size_t sh = opt_ + optSize;
        for (uint16_t i = 0; i < sections; ++i, sh += 40) {
            if (sh + 40 > b_.size()) return Fail("section table cut");
            Section s;
            s.name.assign(reinterpret_cast<const char*>(&b_[sh]), strnlen(reinterpret_cast<const char*>(&b_[sh]), 8));
            s.virtualSize = U32(sh + 8);
            s.rva = U32(sh + 12);
            s.rawSize = U32(sh + 16);
            s.rawOffset = U32(sh + 20);
            s.flags = U32(sh + 36);
            this->sections.push_back(s);
        }
        return true;
    }

    // File offset of an RVA, or 0 when no section holds it.
    size_t Offset(uint32_t rva) const {
        for (const Section& s : sections) {
            if (rva >= s.rva && rva < s.rva + std::max(s.virtualSize, s.rawSize) && rva - s.rva < s.rawSize)
                return s.rawOffset + (rva - s.rva);
        }
        return 0;
    }
    const Section* SectionOf(uint32_t rva) const {
        for (const Section& s : sections)
            if (rva >= s.rva && rva < s.rva + std::max(s.virtualSize, s.rawSize)) return &s;
        return nullptr;
    }
    std::string String(uint32_t rva) const {
        size_t o = Offset(rva);
        std::string s;
        while (o != 0 && o < b_.size() && b_[o] != 0) s += static_cast<char>(b_[o++]);
        return s;
    }
    uint16_t U16(size_t o) const { return o + 2 <= b_.size() ? static_cast<uint16_t>(b_[o] | b_[o + 1] << 8) : 0; }
    uint32_t U32(size_t o) const { return o + 4 <= b_.size() ? U16(o) | static_cast<uint32_t>(U16(o + 2)) << 16 : 0; }
    uint64_t U64(size_t o) const { return U32(o) | static_cast<uint64_t>(U32(o + 4)) << 32; }
    struct Dir {
        uint32_t rva = 0, size = 0;
    };
    Dir Directory(int i) const { return dir_[i]; }

    // The PE checksum: 16-bit one's-complement-style sum of the file without its checksum
    // field, folded, plus the file's length.
    uint32_t ComputeChecksum() const {
        uint64_t sum = 0;
        for (size_t i = 0; i + 1 < b_.size() + 1; i += 2) {
            if (i == checksumOffset || i == checksumOffset + 2) continue;
            uint32_t word = b_[i] | (i + 1 < b_.size() ? b_[i + 1] << 8 : 0);
            sum += word;
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
        sum = (sum & 0xFFFF) + (sum >> 16);
        return static_cast<uint32_t>(sum + b_.size());
    }

    uint16_t machine = 0, characteristics = 0, subsystem = 0, dllCharacteristics = 0;
    uint32_t entry = 0, checksum = 0;
    size_t checksumOffset = 0;
    std::vector<Section> sections;

private:
    bool Fail(const char* why) {
        Finding(why);
        return false;
    }
    std::vector<uint8_t> b_;
    size_t pe_ = 0, opt_ = 0;
    Dir dir_[16];
};

constexpr uint32_t kScnCode = 0x20, kScnExecute = 0x20000000, kScnWrite = 0x80000000;

std::set<std::string> Exports(const Image& img) {
    std::set<std::string> names;
    auto d = img.Directory(0);
    if (d.rva == 0) return names;
    size_t o = img.Offset(d.rva);
    uint32_t count = img.U32(o + 24), namesRva = img.U32(o + 32);
    for (uint32_t i = 0; i < count; ++i) names.insert(img.String(img.U32(img.Offset(namesRva) + 4 * i)));
    return names;
}

// Module (lower case) to imported names.
std::map<std::string, std::set<std::string>> Imports(const Image& img) {
    std::map<std::string, std::set<std::string>> out;
    auto d = img.Directory(1);
    if (d.rva == 0) return out;
    for (size_t o = img.Offset(d.rva);; o += 20) {
        uint32_t lookup = img.U32(o), nameRva = img.U32(o + 12), iat = img.U32(o + 16);
        if (nameRva == 0) break;
        std::string module = Lower(img.String(nameRva));
        auto& names = out[module];
        size_t t = img.Offset(lookup != 0 ? lookup : iat);
        for (;; t += 8) {
            uint64_t entry = img.U64(t);
            if (entry == 0) break;
            if (entry >> 63) {
                Finding("import by ordinal from " + module);
                continue;
            }
            names.insert(img.String(static_cast<uint32_t>(entry) + 2));
        }
    }
    return out;
}

void CheckRelocations(const Image& img) {
    auto d = img.Directory(5);
    if (d.rva == 0 || d.size == 0) {
        Finding("no base relocations: the image cannot move");
        return;
    }
    size_t o = img.Offset(d.rva), end = o + d.size;
    while (o + 8 <= end) {
        uint32_t blockSize = img.U32(o + 4);
        if (blockSize < 8) break;
        for (size_t e = o + 8; e + 2 <= o + blockSize; e += 2) {
            int type = img.U16(e) >> 12;
            if (type != 0 && type != 10) Finding("relocation of type " + std::to_string(type) + " (only 64-bit ones expected)");
        }
        o += blockSize;
    }
}

// Names a module exports: from a .def (EXPORTS section) or from mingw-w64's import library.
std::set<std::string> ModuleExports(const std::string& module, const std::map<std::string, std::string>& defs,
                                    const std::string& libDir, const std::string& nm) {
    std::set<std::string> names;
    std::string base = module.substr(0, module.find('.'));
    auto def = defs.find(module);
    if (def != defs.end()) {
        std::ifstream in(def->second);
        std::string line;
        bool exports = false;
        while (std::getline(in, line)) {
            line = line.substr(0, line.find(';'));
            std::istringstream words(line);
            std::string word;
            if (!(words >> word)) continue;
            if (word == "EXPORTS") exports = true;
            else if (exports) names.insert(word);
        }
        return names;
    }
    std::string lib = libDir + "/lib" + base + ".a";
    if (!std::ifstream(lib)) {
        Finding("no export list for " + module + " (" + lib + ")");
        return names;
    }
    std::istringstream out(RunCommand(nm + " -P --defined-only " + lib + " 2>/dev/null"));
    std::string line;
    while (std::getline(out, line)) {
        std::string symbol = line.substr(0, line.find(' '));
        if (symbol.rfind("__imp_", 0) == 0) names.insert(symbol.substr(6));
    }
    return names;
}

// x87, MMX and AVX instructions in the code sections, by mnemonic and register.
void CheckInstructions(const std::string& objdump, const std::string& image) {
    std::istringstream out(RunCommand(objdump + " -d --no-show-raw-insn " + image));
    std::string line;
    int found = 0;
    while (std::getline(out, line)) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos || line.find(':') > tab) continue;
        std::istringstream words(line.substr(tab + 1));
        std::string mnemonic, operands;
        words >> mnemonic;
        std::getline(words, operands);
        if (mnemonic == "rex" || mnemonic == "lock" || mnemonic == "rep" || mnemonic == "repz" || mnemonic == "repnz")
            words >> mnemonic;
        bool x87 = !mnemonic.empty() && mnemonic[0] == 'f' && mnemonic.rfind("fxsave", 0) != 0;
        bool mmx = operands.find("%mm") != std::string::npos;
        bool avx = (!mnemonic.empty() && mnemonic[0] == 'v') || operands.find("%ymm") != std::string::npos ||
                   operands.find("%zmm") != std::string::npos;
        if ((x87 || mmx || avx) && found++ < 20) Finding(std::string(x87 ? "x87" : mmx ? "MMX" : "AVX") + " instruction: " + line);
    }
}

int Usage() {
    std::fprintf(stderr, "usage: kvpecheck sys|dll IMAGE --libs DIR [--def MODULE=FILE]... [--export NAME]... "
                         "[--objdump PROG] [--nm PROG]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    std::string kind = argv[1], path = argv[2], libDir, objdump = "x86_64-w64-mingw32-objdump",
                nm = "x86_64-w64-mingw32-nm";
    if (kind != "sys" && kind != "dll") return Usage();
    std::map<std::string, std::string> defs;
    std::set<std::string> wantedExports;
    for (int i = 3; i + 1 < argc; i += 2) {
        std::string opt = argv[i], value = argv[i + 1];
        if (opt == "--libs") libDir = value;
        else if (opt == "--objdump") objdump = value;
        else if (opt == "--nm") nm = value;
        else if (opt == "--export") wantedExports.insert(value);
        else if (opt == "--def" && value.find('=') != std::string::npos)
            defs[Lower(value.substr(0, value.find('=')))] = value.substr(value.find('=') + 1);
        else return Usage();
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "kvpecheck: cannot read %s\n", path.c_str());
        return 2;
    }
    Image img(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
    const bool sys = kind == "sys";
    if (img.Parse()) {
        if (img.machine != 0x8664) Finding("machine " + Hex(img.machine) + ", not x64");
        const uint16_t wantSubsystem = sys ? 1 : 2;  // native, Windows GUI
        if (img.subsystem != wantSubsystem) Finding("subsystem " + std::to_string(img.subsystem));
        const Section* entry = img.SectionOf(img.entry);
        if (img.entry == 0 || entry == nullptr || !(entry->flags & kScnExecute)) Finding("entry point " + Hex(img.entry) + " not in code");
        // Executable image; a DLL for the library only; relocations kept; large addresses.
        if (!(img.characteristics & 0x0002)) Finding("not marked executable");
        if (((img.characteristics & 0x2000) != 0) == sys) Finding("DLL flag " + std::string(sys ? "set" : "missing"));
        if (img.characteristics & 0x0001) Finding("relocations stripped");
        if (!(img.characteristics & 0x0020)) Finding("not large-address aware");
        const uint16_t dc = img.dllCharacteristics;
        if (!(dc & 0x0040)) Finding("no dynamic base");
        if (!(dc & 0x0100)) Finding("not NX compatible");
        if (((dc & 0x2000) != 0) != sys) Finding("WDM driver flag " + std::string(sys ? "missing" : "set"));
        for (const Section& s : img.sections) {
            if ((s.flags & kScnWrite) && (s.flags & (kScnExecute | kScnCode))) Finding("writable code section " + s.name);
        }
        CheckRelocations(img);
        uint32_t sum = img.ComputeChecksum();
        if (img.checksum != sum) Finding("checksum " + Hex(img.checksum) + ", computed " + Hex(sum));
        std::set<std::string> exports = Exports(img);
        if (exports != wantedExports) {
            std::string list;
            for (const std::string& e : exports) list += " " + e;
            Finding("exports:" + (list.empty() ? std::string(" none") : list));
        }
        const std::set<std::string> kernelModules = {"ntoskrnl.exe", "hal.dll", "portcls.sys", "ks.sys", "usbd.sys", "ksecdd.sys"};
        size_t importCount = 0;
        for (const auto& [module, names] : Imports(img)) {
            if (sys && !kernelModules.count(module)) Finding("import from " + module + ", not a kernel module");
            std::set<std::string> available = ModuleExports(module, defs, libDir, nm);
            for (const std::string& name : names) {
                ++importCount;
                if (!available.count(name)) Finding("import " + module + "!" + name + " is not among its exports");
            }
        }
        if (sys) CheckInstructions(objdump, path);
        std::printf("kvpecheck: %s: %zu sections, %zu imports, %zu exports, checksum %s\n", path.c_str(),
                    img.sections.size(), importCount, exports.size(), Hex(img.checksum).c_str());
    }
    for (const std::string& f : g_findings) std::printf("kvpecheck: %s: %s\n", path.c_str(), f.c_str());
    return g_findings.empty() ? 0 : 1;
}
