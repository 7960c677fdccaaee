// Lists the published names the project's Windows headers define, as X-macro lines that
// emit_checks.cpp evaluates:
//   KV_CONSTANT(NAME)      an object-like macro whose value is an integer expression, or an
//                          enumerator
//   KV_GUID(NAME)          a DEFINE_GUID constant
//   KV_SIZE(TYPE)          a record (or type) named in a layout assert
//   KV_OFFSET(TYPE, FIELD) every field of such a record, and every field path a layout assert names
// Usage: scan_names OUTPUT HEADER...
#include <cctype>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Replaces comments with spaces, keeping line breaks and string literals.
std::string StripComments(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "//") == 0) {
            while (i < text.size() && text[i] != '\n') ++i;
            if (i < text.size()) out += '\n';
        } else if (text.compare(i, 2, "/*") == 0) {
            size_t end = text.find("*/", i + 2);
            end = end == std::string::npos ? text.size() : end + 2;
            for (; i < end; ++i) out += text[i] == '\n' ? '\n' : ' ';
            --i;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool IsIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Index just past the bracket that closes the one at `open`, or npos.
size_t MatchingClose(const std::string& text, size_t open) {
    int depth = 0;
    for (size_t i = open; i < text.size(); ++i) {
        char c = text[i];
        if (c == '(' || c == '{' || c == '[') ++depth;
        if (c == ')' || c == '}' || c == ']') {
            if (--depth == 0) return i + 1;
        }
    }
    return std::string::npos;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> Identifiers(const std::string& s) {
    std::vector<std::string> ids;
    for (size_t i = 0; i < s.size();) {
        if (IsIdentChar(s[i]) && !std::isdigit(static_cast<unsigned char>(s[i]))) {
            size_t b = i;
            while (i < s.size() && IsIdentChar(s[i])) ++i;
            ids.push_back(s.substr(b, i - b));
        } else {
            ++i;
        }
    }
    return ids;
}

// Splits `text` at `sep` where no bracket is open.
std::vector<std::string> SplitTopLevel(const std::string& text, char sep) {
    std::vector<std::string> parts;
    int depth = 0;
    std::string current;
    for (char c : text) {
        if (c == '(' || c == '{' || c == '[') ++depth;
        if (c == ')' || c == '}' || c == ']') --depth;
        if (c == sep && depth == 0) {
            parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!Trim(current).empty()) parts.push_back(current);
    return parts;
}

// The member a plain declarator names: `(*Name)(...)`, `Name[4]`, `Name = 1`; empty for a
// bit-field (offsetof cannot name one) or anything that is not a data member.
std::string DeclaratorName(std::string declarator) {
    if (declarator.find(':') != std::string::npos) return "";
    size_t pointer = declarator.find("(*");
    if (pointer != std::string::npos) {
        auto ids = Identifiers(declarator.substr(pointer + 2));
        return ids.empty() ? "" : ids.front();
    }
    if (declarator.find('(') != std::string::npos) return "";  // a member function
    declarator = declarator.substr(0, declarator.find('='));
    declarator = declarator.substr(0, declarator.find('['));
    auto ids = Identifiers(declarator);
    return ids.empty() ? "" : ids.back();
}

// Collects the data members of a record body; members of anonymous nested records belong to it.
void CollectFields(const std::string& body, std::vector<std::string>& fields) {
    static const std::regex label(R"(^\s*(public|private|protected)\s*:)");
    static const std::set<std::string> skipped = {"static_assert", "typedef", "using", "enum", "friend",
                                                   "static", "template", "virtual", "class"};
    for (std::string statement : SplitTopLevel(body, ';')) {
        statement = Trim(std::regex_replace(statement, label, ""));
        auto ids = Identifiers(statement);
        if (ids.empty() || skipped.count(ids.front())) continue;
        size_t brace = statement.find('{');
        if (brace != std::string::npos) {
            size_t close = MatchingClose(statement, brace);
            if (close == std::string::npos) continue;
            std::string after = Trim(statement.substr(close));
            if (after.empty()) {
                CollectFields(statement.substr(brace + 1, close - brace - 2), fields);
            } else {
                for (const auto& declarator : SplitTopLevel(after, ',')) {
                    std::string name = DeclaratorName(declarator);
                    if (!name.empty()) fields.push_back(name);
                }
            }
            continue;
        }
        auto declarators = SplitTopLevel(statement, ',');
        for (size_t i = 0; i < declarators.size(); ++i) {
            std::string name = DeclaratorName(declarators[i]);
            // The first declarator also carries the type: it needs a type and a name.
            if (!name.empty() && (i > 0 || Identifiers(declarators[i]).size() >= 2)) fields.push_back(name);
        }
    }
}

struct Record {
    std::set<std::string> names;  // tag and typedef names
    std::vector<std::string> fields;
};

struct Scan {
    std::vector<std::string> constants;
    std::set<std::string> constantSet;
    std::vector<std::string> guids;
    std::vector<Record> records;
    std::map<std::string, std::string> aliases;  // typedef struct TAG NAME: NAME -> TAG
    std::vector<std::string> layoutNames;        // types named in layout asserts, in order
    std::map<std::string, std::vector<std::string>> assertedPaths;

    void Header(const std::string& raw) {
        const std::string text = StripComments(raw);
        Defines(text);
        Enumerators(text);
        Guids(text);
        Records(text);
        LayoutAsserts(text);
    }

    // Object-like macros whose replacement reads as an integer expression. A lone identifier
    // counts only when it names a constant found before (it may otherwise name a type).
    void Defines(const std::string& text) {
        static const std::regex define(R"(^[ \t]*#[ \t]*define[ \t]+([A-Za-z_]\w*)([ \t]+(.*))?$)");
        static const std::regex expression(R"(^[\w\s()~+\-*/|&<>^!]+$)");
        std::istringstream lines(text);
        std::string line, joined;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\\') {
                joined += line.substr(0, line.size() - 1);
                continue;
            }
            joined += line;
            std::smatch m;
            if (std::regex_match(joined, m, define)) {
                std::string name = m[1], value = Trim(m[3]);
                bool loneIdentifier = std::regex_match(value, std::regex(R"([A-Za-z_]\w*)"));
                bool accepted = !value.empty() && std::regex_match(value, expression) &&
                                value.find("__") == std::string::npos &&  // attributes, compiler words
                                !std::regex_search(value, std::regex(R"(\w\s+\w)")) &&  // declaration words
                                (!loneIdentifier || constantSet.count(value));
                if (accepted && constantSet.insert(name).second) constants.push_back(name);
            }
            joined.clear();
        }
    }

    // Enumerators of unscoped enumerations (scoped ones are the project's own).
    void Enumerators(const std::string& text) {
        static const std::regex head(R"(\benum\b([^{;()]*)\{)");
        static const std::regex scoped(R"(^\s*(class|struct)\b)");
        for (std::sregex_iterator it(text.begin(), text.end(), head), end; it != end; ++it) {
            if (std::regex_search((*it)[1].str(), scoped)) continue;
            size_t open = it->position(0) + it->length(0) - 1;
            size_t close = MatchingClose(text, open);
            if (close == std::string::npos) break;
            for (const auto& item : SplitTopLevel(text.substr(open + 1, close - open - 2), ',')) {
                auto ids = Identifiers(item);
                if (!ids.empty() && constantSet.insert(ids.front()).second) constants.push_back(ids.front());
            }
        }
    }

    void Guids(const std::string& text) {
        static const std::regex guid(R"(\bDEFINE_GUID\s*\(\s*([A-Za-z_]\w*)\s*,)");
        for (std::sregex_iterator it(text.begin(), text.end(), guid), end; it != end; ++it) {
            // The macro's own definition names its parameter, not a GUID.
            if ((*it)[1] != "name") guids.push_back((*it)[1]);
        }
    }

    void Records(const std::string& text) {
        static const std::regex head(R"(\b(struct|union)\s+(alignas\s*\([^)]*\)\s*)?(\w+\s*)?\{)");
        static const std::regex alias(R"(\btypedef\s+(struct|union)\s+(\w+)\s+(\w+)\s*[,;])");
        for (std::sregex_iterator it(text.begin(), text.end(), alias), end; it != end; ++it) {
            aliases[(*it)[3]] = (*it)[2];
        }
        size_t resume = 0;
        for (std::sregex_iterator it(text.begin(), text.end(), head), end; it != end; ++it) {
            size_t open = it->position(0) + it->length(0) - 1;
            if (static_cast<size_t>(it->position(0)) < resume) continue;  // nested in the previous record
            size_t close = MatchingClose(text, open);
            if (close == std::string::npos) break;
            resume = close;
            Record record;
            std::string tag = Trim((*it)[3]);
            if (!tag.empty()) record.names.insert(tag);
            size_t semicolon = text.find(';', close);
            for (const auto& id : Identifiers(text.substr(close, semicolon - close))) record.names.insert(id);
            CollectFields(text.substr(open + 1, close - open - 2), record.fields);
            records.push_back(record);
        }
    }

    void LayoutAsserts(const std::string& text) {
        static const std::regex sizeOf(R"(\bsizeof\s*\(\s*(\w+)\s*\))");
        static const std::regex offsetOf(R"(\boffsetof\s*\(\s*(\w+)\s*,\s*([\w.]+)\s*\))");
        for (size_t at = text.find("static_assert"); at != std::string::npos;
             at = text.find("static_assert", at + 1)) {
            size_t open = text.find('(', at);
            size_t close = MatchingClose(text, open);
            if (close == std::string::npos) break;
            std::string condition = text.substr(open, close - open);
            for (std::sregex_iterator it(condition.begin(), condition.end(), sizeOf), end; it != end; ++it) {
                AddLayoutName((*it)[1]);
            }
            for (std::sregex_iterator it(condition.begin(), condition.end(), offsetOf), end; it != end; ++it) {
                AddLayoutName((*it)[1]);
                assertedPaths[(*it)[1]].push_back((*it)[2]);
            }
        }
    }

    void AddLayoutName(const std::string& name) {
        for (const auto& known : layoutNames) {
            if (known == name) return;
        }
        layoutNames.push_back(name);
    }

    const Record* Find(const std::string& name) const {
        auto alias = aliases.find(name);
        for (const auto& record : records) {
            if (record.names.count(name)) return &record;
            if (alias != aliases.end() && record.names.count(alias->second)) return &record;
        }
        return nullptr;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: scan_names OUTPUT HEADER...\n";
        return 2;
    }
    Scan scan;
    for (int i = 2; i < argc; ++i) {
        std::string text = ReadFile(argv[i]);
        if (text.empty()) {
            std::cerr << "scan_names: cannot read " << argv[i] << "\n";
            return 1;
        }
        scan.Header(text);
    }
    std::ostringstream out;
    out << "// Generated by scan_names from platform/include/win; do not edit.\n";
    for (const auto& name : scan.constants) out << "KV_CONSTANT(" << name << ")\n";
    for (const auto& name : scan.guids) out << "KV_GUID(" << name << ")\n";
    for (const auto& name : scan.layoutNames) {
        out << "KV_SIZE(" << name << ")\n";
        std::vector<std::string> fields;
        if (const Record* record = scan.Find(name)) fields = record->fields;
        for (const auto& path : scan.assertedPaths[name]) fields.push_back(path);
        std::set<std::string> seen;
        for (const auto& field : fields) {
            if (seen.insert(field).second) out << "KV_OFFSET(" << name << ", " << field << ")\n";
        }
    }
    std::ofstream file(argv[1]);
    file << out.str();
    return file ? 0 : 1;
}
