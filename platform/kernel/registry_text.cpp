// The registry's text file: what a simulated machine keeps across runs.
//
//   ; comment
//   [\Registry\Machine\SOFTWARE\Vendor]
//   class="text"
//   "Name"=sz:"text\0"
//   "Count"=dword:0x0000002A
//   "Data"=binary:01,02,ff
//   ""=qword:0x0000000100000000
//
// A key line names the key's full path; characters outside printable ASCII and '%' are written
// as %XXXX (one UTF-16 code unit). Value lines belong to the key above them. The type is a name or
// a decimal number; the data is one of three forms, whatever the type: a quoted string of 16-bit
// code units (the exact data, terminators written as \0), 0x with 8 or 16 hex digits (a 4- or
// 8-byte little-endian number), or comma-separated hex bytes (possibly none). Quoted text escapes
// \\ \" \0 \t \n \r and \uXXXX. Every type, length and byte survives a save and load.
#include "registry_store.h"

#include <algorithm>
#include <cstdio>

namespace sim::registry {
namespace {

struct TypeName {
    ULONG type;
    const char* name;
};
const TypeName kTypeNames[] = {
    {REG_NONE, "none"},
    {REG_SZ, "sz"},
    {REG_EXPAND_SZ, "expand_sz"},
    {REG_BINARY, "binary"},
    {REG_DWORD, "dword"},
    {REG_DWORD_BIG_ENDIAN, "dword_big_endian"},
    {REG_LINK, "link"},
    {REG_MULTI_SZ, "multi_sz"},
    {REG_RESOURCE_LIST, "resource_list"},
    {REG_FULL_RESOURCE_DESCRIPTOR, "full_resource_descriptor"},
    {REG_RESOURCE_REQUIREMENTS_LIST, "resource_requirements_list"},
    {REG_QWORD, "qword"},
};

bool IsTextType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_LINK || type == REG_MULTI_SZ;
}

void AppendHex(std::string& out, uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof(text), "%0*llX", digits, static_cast<unsigned long long>(value));
    out += text;
}

void AppendQuoted(std::string& out, std::u16string_view text) {
    out += '"';
    for (char16_t c : text) {
        switch (c) {
            case u'\\': out += "\\\\"; break;
            case u'"': out += "\\\""; break;
            case 0: out += "\\0"; break;
            case u'\t': out += "\\t"; break;
            case u'\n': out += "\\n"; break;
            case u'\r': out += "\\r"; break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    out += static_cast<char>(c);
                } else {
                    out += "\\u";
                    AppendHex(out, c, 4);
                }
        }
    }
    out += '"';
}

void AppendKeyName(std::string& out, std::u16string_view name) {
    for (char16_t c : name) {
        if (c >= 0x20 && c < 0x7F && c != u'%') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            AppendHex(out, c, 4);
        }
    }
}

void AppendValue(std::string& out, const ValueEntry& value) {
    AppendQuoted(out, value.name);
    out += '=';
    const char* typeName = nullptr;
    for (const TypeName& t : kTypeNames) {
        if (t.type == value.type) typeName = t.name;
    }
    out += typeName != nullptr ? std::string(typeName) : std::to_string(value.type);
    out += ':';
    const std::vector<UCHAR>& data = value.data;
    if (IsTextType(value.type) && data.size() % 2 == 0) {
        std::u16string text(data.size() / 2, u'\0');
        if (!data.empty()) std::memcpy(text.data(), data.data(), data.size());
        AppendQuoted(out, text);
    } else if ((value.type == REG_DWORD && data.size() == 4) || (value.type == REG_QWORD && data.size() == 8)) {
        uint64_t number = 0;
        for (size_t i = data.size(); i-- > 0;) number = (number << 8) | data[i];
        out += "0x";
        AppendHex(out, number, static_cast<int>(data.size() * 2));
    } else {
        for (size_t i = 0; i < data.size(); ++i) {
            if (i > 0) out += ',';
            char byte[3];
            std::snprintf(byte, sizeof(byte), "%02x", data[i]);
            out += byte;
        }
    }
    out += '\n';
}

void AppendKey(std::string& out, const KeyNode& key, std::u16string& path) {
    if (key.isVolatile) return;
    size_t mark = path.size();
    path += u'\\';
    path += key.name;
    out += '[';
    AppendKeyName(out, path);
    out += "]\n";
    if (!key.className.empty()) {
        out += "class=";
        AppendQuoted(out, key.className);
        out += '\n';
    }
    for (const ValueEntry& value : key.values) AppendValue(out, value);
    for (const KeyRef& child : key.subkeys) AppendKey(out, *child, path);
    path.resize(mark);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHex(std::string_view text, uint64_t* value) {
    if (text.empty() || text.size() > 16) return false;
    uint64_t v = 0;
    for (char c : text) {
        int d = HexValue(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    *value = v;
    return true;
}

// Reads a quoted string at the start of text; rest is what follows the closing quote.
bool ParseQuoted(std::string_view text, std::u16string* out, std::string_view* rest) {
    if (text.empty() || text[0] != '"') return false;
    out->clear();
    size_t i = 1;
    while (i < text.size() && text[i] != '"') {
        char c = text[i++];
        if (c != '\\') {
            out->push_back(static_cast<unsigned char>(c));
            continue;
        }
        if (i == text.size()) return false;
        char e = text[i++];
        uint64_t unit = 0;
        switch (e) {
            case '\\': out->push_back(u'\\'); break;
            case '"': out->push_back(u'"'); break;
            case '0': out->push_back(0); break;
            case 't': out->push_back(u'\t'); break;
            case 'n': out->push_back(u'\n'); break;
            case 'r': out->push_back(u'\r'); break;
            case 'u':
                if (i + 4 > text.size() || !ParseHex(text.substr(i, 4), &unit)) return false;
                out->push_back(static_cast<char16_t>(unit));
                i += 4;
                break;
            default: return false;
        }
    }
    if (i == text.size()) return false;
    *rest = text.substr(i + 1);
    return true;
}

bool ParseKeyPath(std::string_view text, std::u16string* path) {
    path->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            path->push_back(static_cast<unsigned char>(text[i]));
            continue;
        }
        uint64_t unit = 0;
        if (i + 5 > text.size() || !ParseHex(text.substr(i + 1, 4), &unit)) return false;
        path->push_back(static_cast<char16_t>(unit));
        i += 4;
    }
    return true;
}

bool ParseType(std::string_view text, ULONG* type) {
    for (const TypeName& t : kTypeNames) {
        if (text == t.name) {
            *type = t.type;
            return true;
        }
    }
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > MAXULONG) return false;
    *type = static_cast<ULONG>(v);
    return true;
}

bool ParseData(std::string_view text, std::vector<UCHAR>* data) {
    data->clear();
    if (!text.empty() && text[0] == '"') {
        std::u16string units;
        std::string_view rest;
        if (!ParseQuoted(text, &units, &rest) || !rest.empty()) return false;
        data->resize(units.size() * 2);
        if (!units.empty()) std::memcpy(data->data(), units.data(), data->size());
        return true;
    }
    if (text.size() > 2 && text[0] == '0' && text[1] == 'x') {
        std::string_view digits = text.substr(2);
        uint64_t number = 0;
        if ((digits.size() != 8 && digits.size() != 16) || !ParseHex(digits, &number)) return false;
        for (size_t i = 0; i < digits.size() / 2; ++i) data->push_back(static_cast<UCHAR>(number >> (8 * i)));
        return true;
    }
    for (size_t i = 0; i < text.size(); i += 3) {
        uint64_t byte = 0;
        if (i + 2 > text.size() || !ParseHex(text.substr(i, 2), &byte)) return false;
        if (i + 2 < text.size() && text[i + 2] != ',') return false;
        if (i + 2 == text.size() - 1) return false;  // a trailing comma
        data->push_back(static_cast<UCHAR>(byte));
    }
    return true;
}

}  // namespace

std::string Store::SaveText() {
    std::lock_guard<std::mutex> guard(lock_);
    std::string out = "; simulated registry\n";
    std::u16string path;
    AppendKey(out, *root_, path);
    return out;
}

bool Store::LoadText(std::string_view text, std::string* error) {
    KeyRef root = NewRoot();
    KeyNode* current = nullptr;
    size_t lineNumber = 0;
    auto fail = [&](const char* message) {
        if (error != nullptr) *error = "line " + std::to_string(lineNumber) + ": " + message;
        return false;
    };
    while (!text.empty()) {
        ++lineNumber;
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;

        if (line[0] == '[') {
            std::u16string path;
            std::vector<std::u16string_view> parts;
            if (line.back() != ']' || !ParseKeyPath(line.substr(1, line.size() - 2), &path)) {
                return fail("malformed key line");
            }
            if (path.empty() || path[0] != u'\\' || !NT_SUCCESS(SplitPath(std::u16string_view(path).substr(1), &parts)) ||
                !NamesEqual(parts[0], u"Registry")) {
                return fail("key path is not below \\Registry");
            }
            current = root.get();
            for (size_t i = 1; i < parts.size(); ++i) {
                KeyRef child = FindChild(*current, parts[i]);
                current = child != nullptr ? child.get() : AddChild(*current, parts[i], false).get();
            }
            continue;
        }
        if (current == nullptr) return fail("a value or class before the first key");
        if (line.substr(0, 6) == "class=") {
            std::string_view rest;
            if (!ParseQuoted(line.substr(6), &current->className, &rest) || !rest.empty()) {
                return fail("malformed class");
            }
            continue;
        }
        ValueEntry value;
        std::string_view rest;
        if (!ParseQuoted(line, &value.name, &rest)) return fail("malformed value name");
        if (value.name.size() > kMaxValueNameChars) return fail("value name too long");
        size_t colon = rest.find(':');
        if (rest.empty() || rest[0] != '=' || colon == std::string_view::npos) return fail("expected =type:data");
        if (!ParseType(rest.substr(1, colon - 1), &value.type)) return fail("unknown value type");
        if (!ParseData(rest.substr(colon + 1), &value.data)) return fail("malformed value data");
        auto it = std::find_if(current->values.begin(), current->values.end(),
                               [&](const ValueEntry& v) { return NamesEqual(v.name, value.name); });
        if (it != current->values.end()) {
            *it = std::move(value);
        } else {
            current->values.push_back(std::move(value));
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    MarkDeleted(*root_);
    root_ = root;
    return true;
}

}  // namespace sim::registry
