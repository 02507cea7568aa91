#include "settings/settings_command.h"

#include <algorithm>
#include <cctype>
#include <ostream>

#include "config/product_key.h"
#include "config/registry.h"
#include "settings/setting_table.h"

namespace settings {

namespace {

const char kUsage[] =
    "usage: velkaris-settings [list]                  every setting: value, type, default, meaning\n"
    "       velkaris-settings get [VOLUME] NAME       the value the service uses\n"
    "       velkaris-settings set [VOLUME] NAME VALUE\n"
    "       velkaris-settings unset [VOLUME] NAME     remove the value, so that its default applies\n"
    "VOLUME is a drive letter and a colon (C:) for the settings of one volume.\n"
    "Examples: velkaris-settings set makeDump 1\n"
    "          velkaris-settings set C: enabled 0\n"
    "Exit codes: 0 done, 1 refused or the registry could not be used, 2 wrong command line.\n";

const char kTool[] = "velkaris-settings: ";

struct Request {
    std::string command = "list";
    std::string volume;  // "C:" or empty for a global setting
    std::string name;
    std::string value;
};

bool isVolume(const std::string& text) {
    return text.size() == 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0]));
}

bool parse(const std::vector<std::string>& args, Request& r) {
    if (args.empty()) return true;
    r.command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (!rest.empty() && isVolume(rest[0])) {
        r.volume = {static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0][0]))), ':'};
        rest.erase(rest.begin());
    }
    size_t wanted = r.command == "set" ? 2 : 1;
    if (r.command == "list") return rest.empty() && r.volume.empty();
    if (r.command != "get" && r.command != "set" && r.command != "unset") return false;
    if (rest.size() != wanted) return false;
    r.name = rest[0];
    if (r.command == "set") r.value = rest[1];
    return true;
}

std::string typeName(SettingType t) { return t == SettingType::Dword ? "DWORD" : "string"; }

std::string defaultText(const SettingInfo& s) {
    return s.type == SettingType::Dword ? std::to_string(s.defaultNumber) : platform::utf16ToUtf8(s.defaultText);
}

// The stored value as text; false when it is missing or of another type (then `note` says which).
bool storedText(const CRegistryKey& key, const SettingInfo& s, std::string& text, std::string& note) {
    const WString name = platform::utf8ToUtf16(s.name);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!key.isValid() || !key.queryRaw(name, type, data)) {
        note = "(not set)";
        return false;
    }
    if (s.type == SettingType::Dword) {
        uint32_t v = 0;
        if (key.queryDword(name, v, 0)) {
            text = std::to_string(v);
            return true;
        }
    } else {
        WString v;
        if (key.queryString(name, v, WString())) {
            text = platform::utf16ToUtf8(v);
            return true;
        }
    }
    note = "(wrong type, default applies)";
    return false;
}

// Parses a DWORD written in decimal or as 0x hex. False with a reason for anything else.
bool parseNumber(const SettingInfo& s, const std::string& text, uint32_t& value, std::string& reason) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos) {
        reason = std::string(s.name) + " takes a number, not \"" + text + "\"";
        return false;
    }
    uint64_t v = 0;
    for (char c : digits) {
        uint64_t digit = std::isdigit(static_cast<unsigned char>(c)) ? static_cast<uint64_t>(c - '0')
                                                                      : static_cast<uint64_t>(std::tolower(c) - 'a' + 10);
        v = std::min<uint64_t>(v * (hex ? 16 : 10) + digit, 0x100000000ull);  // saturates past 32 bits
    }
    if (v < s.minimum || v > s.maximum) {
        reason = std::string(s.name) + " must be from " + std::to_string(s.minimum) + " to " + std::to_string(s.maximum) +
                 ", not " + text;
        return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

// Rows of text, in columns two blanks apart.
void printTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width;
    for (const auto& r : rows)
        for (size_t c = 0; c < r.size(); ++c) {
            if (width.size() <= c) width.push_back(0);
            width[c] = std::max(width[c], r[c].size());
        }
    for (const auto& r : rows) {
        std::string line;
        for (size_t c = 0; c < r.size(); ++c)
            line += c + 1 < r.size() ? r[c] + std::string(width[c] - r[c].size() + 2, ' ') : r[c];
        out << line << "\n";
    }
}

std::vector<std::string> row(const CRegistryKey& key, const std::string& prefix, const SettingInfo& s) {
    std::string text, note;
    std::string value = storedText(key, s, text, note) ? text : note;
    std::string meaning = s.meaning;
    if (s.readAtStart) meaning += " (read when the service starts)";
    return {prefix + s.name, value, typeName(s.type), defaultText(s), meaning};
}

int list(const CRegistryKey& settingsKey, std::ostream& out) {
    std::vector<std::vector<std::string>> rows{{"setting", "value", "type", "default", "meaning"}};
    for (const SettingInfo& s : settingTable())
        if (s.scope == SettingScope::Global) rows.push_back(row(settingsKey, "", s));
    for (uint32_t i = 0; settingsKey.isValid(); ++i) {
        CRegistryKey volumeKey = settingsKey.openSubKeyByIndex(i, kRegKeyRead);
        if (!volumeKey.isValid()) break;
        for (const SettingInfo& s : settingTable())
            if (s.scope == SettingScope::Volume) rows.push_back(row(volumeKey, volumeKey.keyName() + " ", s));
    }
    printTable(out, rows);
    return 0;
}

// The setting a request names, or nullptr after the complaint.
const SettingInfo* lookUp(const Request& r, std::ostream& err) {
    SettingScope scope = r.volume.empty() ? SettingScope::Global : SettingScope::Volume;
    if (const SettingInfo* s = findSetting(r.name, scope)) return s;
    if (findSetting(r.name, SettingScope::Global))
        err << kTool << r.name << " is a global setting; leave out the volume\n";
    else if (findSetting(r.name, SettingScope::Volume))
        err << kTool << r.name << " is a setting of a volume: velkaris-settings " << r.command << " C: " << r.name
            << (r.command == "set" ? " VALUE" : "") << "\n";
    else
        err << kTool << "unknown setting " << r.name << " (velkaris-settings list shows them all)\n";
    return nullptr;
}

int change(CRegistry& registry, const Request& r, const SettingInfo& s, std::ostream& out, std::ostream& err) {
    if (!s.writable) {
        err << kTool << s.name << " is written by the service itself\n";
        return 1;
    }
    uint32_t number = 0;
    WString text = platform::utf8ToUtf16(r.value);
    if (r.command == "set") {
        std::string reason;
        if (s.type == SettingType::Dword && !parseNumber(s, r.value, number, reason)) {
            err << kTool << reason << "\n";
            return 1;
        }
        if (s.type == SettingType::String && text.size() < s.minimum) {
            err << kTool << s.name << " must not be empty\n";
            return 1;
        }
    }
    CRegistryKey key;
    const std::string settingsPath = productKeyPath() + "\\settings";
    bool opened = r.volume.empty() ? registry.openKey(settingsPath, kRegKeyAllAccess, nullptr, true, key)
                                   : registry.openKey(settingsPath + "\\" + r.volume, kRegKeyAllAccess, nullptr, false, key);
    if (!opened) {
        if (!r.volume.empty() && registry.openKey(settingsPath, kRegKeyRead, nullptr, false, key))
            err << kTool << "no volume " << r.volume << " in the settings (the service adds every fixed drive when it starts)\n";
        else
            err << kTool << "cannot open the settings for writing (administrator rights are needed)\n";
        return 1;
    }
    const WString name = platform::utf8ToUtf16(s.name);
    bool done;
    if (r.command == "unset") {
        uint32_t type = 0;
        std::vector<uint8_t> data;
        done = key.deleteValue(name) || !key.queryRaw(name, type, data);
    } else {
        done = s.type == SettingType::Dword ? key.setDword(name, number) : key.setString(name, text);
    }
    if (!done) {
        err << kTool << "cannot write " << s.name << " (administrator rights are needed)\n";
        return 1;
    }
    if (s.readAtStart)
        out << s.name << " applies from the service's next start (or a restart of its work with -control 220)\n";
    return 0;
}

}  // namespace

int runSettings(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    for (const std::string& a : args)
        if (a == "-h" || a == "--help") {
            out << kUsage;
            return 0;
        }
    Request r;
    if (!parse(args, r)) {
        err << kUsage;
        return 2;
    }
    CRegistry registry;
    if (r.command == "list") {
        CRegistryKey settingsKey;
        registry.openKey(productKeyPath() + "\\settings", kRegKeyRead, nullptr, false, settingsKey);
        return list(settingsKey, out);
    }
    const SettingInfo* s = lookUp(r, err);
    if (!s) return 1;
    if (r.command != "get") return change(registry, r, *s, out, err);

    CRegistryKey key;
    std::string path = productKeyPath() + "\\settings" + (r.volume.empty() ? "" : "\\" + r.volume);
    if (!registry.openKey(path, kRegKeyRead, nullptr, false, key) && !r.volume.empty()) {
        err << kTool << "no volume " << r.volume << " in the settings\n";
        return 1;
    }
    std::string text, note;
    out << (storedText(key, *s, text, note) ? text : defaultText(*s)) << "\n";
    return 0;
}

}  // namespace settings
