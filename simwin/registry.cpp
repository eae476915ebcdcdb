// The simulated machine's registry: a tree of keys under HKEY_LOCAL_MACHINE
// with the five registry functions the program calls, and its machine-file
// form, REGEDIT4 text.
//
// It behaves like the Windows registry where the program depends on it:
// key and value names compare case-insensitively and keep their case; a
// backslash separates keys and "/" is an ordinary character of a key name;
// value data of every type is kept as raw bytes, exactly as written; a
// missing key or value gives ERROR_FILE_NOT_FOUND and data larger than the
// caller's buffer ERROR_MORE_DATA with the size needed; RegCreateKeyExA makes
// every missing key on its path. Handles are real: each open or create gives
// a new one that must be closed, and a handle only allows what its access
// mask allows (KEY_QUERY_VALUE to query, KEY_SET_VALUE to set).
//
// Only HKEY_LOCAL_MACHINE exists. The other predefined roots give
// ERROR_INVALID_HANDLE, and a machine file naming another root is rejected.
//
// Machine file form: everything after the line "REGEDIT4", in the REGEDIT4
// syntax of regedit and `reg import`:
//   [HKEY_LOCAL_MACHINE\path]            a key (missing keys above it are made)
//   "Name"="text"                        REG_SZ, stored with its terminator;
//                                        \\ and \" are the only escapes
//   @="text"                             the key's default value
//   "Name"=dword:0000000e                REG_DWORD, 1 to 8 hexadecimal digits
//   "Name"=hex:01,02                     REG_BINARY
//   "Name"=hex(N):01,02                  any type N (hexadecimal), raw bytes;
//                                        hex(1) is a REG_SZ kept as given
// Hexadecimal data may go on over several lines, each but the last ending in
// a backslash. Lines starting with ';' are comments. Saving writes every key,
// sorted case-insensitively with its values sorted the same way (the default
// value first), in a text that loads back to the same registry: a REG_SZ
// whose bytes a quoted text cannot carry (no terminator, an inner zero, a
// line break) is written as hex(1).
#include "simwin/sim.h"
#include "simwin/simctl_registry.h"

#include <cstdio>
#include <map>
#include <memory>

#ifndef ERROR_BAD_PATHNAME
#define ERROR_BAD_PATHNAME 161L
#endif
#ifndef ERROR_NOACCESS
#define ERROR_NOACCESS 998L
#endif

namespace {

const char kRootName[] = "HKEY_LOCAL_MACHINE";

// Generic and maximum rights as Windows maps them for keys.
const REGSAM kMaximumAllowed = 0x02000000;
const REGSAM kGenericAll = 0x10000000;
const REGSAM kGenericExecute = 0x20000000;
const REGSAM kGenericWrite = 0x40000000;
const REGSAM kGenericRead = 0x80000000;

struct Value {
    std::string name; // as created
    DWORD type;
    std::string data;
};

struct Key {
    std::string name; // as created
    std::map<std::string, std::unique_ptr<Key>> children; // by lower-case name
    std::map<std::string, Value> values;                  // by lower-case name
};

struct Handle {
    Key* key;
    REGSAM access;
};

struct RegistryState {
    std::unique_ptr<Key> root{new Key{kRootName, {}, {}}};
    std::map<uintptr_t, Handle> handles;
    uintptr_t nextHandle = 0x1000;
};

RegistryState& Registry() {
    static RegistryState state;
    return state;
}

std::string HexNumber(uintptr_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%lX", static_cast<unsigned long>(v));
    return buf;
}

std::string HandleName(HKEY h) {
    if (h == HKEY_LOCAL_MACHINE) {
        return kRootName;
    }
    if (h == HKEY_CLASSES_ROOT) {
        return "HKEY_CLASSES_ROOT";
    }
    if (h == HKEY_CURRENT_USER) {
        return "HKEY_CURRENT_USER";
    }
    if (h == HKEY_USERS) {
        return "HKEY_USERS";
    }
    return HexNumber(reinterpret_cast<uintptr_t>(h));
}

std::string Quoted(const char* s) { return s ? "\"" + std::string(s) + "\"" : "(null)"; }

REGSAM MapAccess(REGSAM access) {
    if (access & (kMaximumAllowed | kGenericAll)) {
        access |= KEY_ALL_ACCESS;
    }
    if (access & (kGenericRead | kGenericExecute)) {
        access |= KEY_READ;
    }
    if (access & kGenericWrite) {
        access |= KEY_WRITE;
    }
    return access;
}

// The key an open handle or a predefined root stands for, with the rights
// the handle carries; null for an unknown or closed handle.
Key* KeyOfHandle(HKEY h, REGSAM* access) {
    RegistryState& r = Registry();
    if (h == HKEY_LOCAL_MACHINE) {
        *access = KEY_ALL_ACCESS;
        return r.root.get();
    }
    auto it = r.handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == r.handles.end()) {
        return nullptr;
    }
    *access = it->second.access;
    return it->second.key;
}

HKEY NewHandle(Key* key, REGSAM access) {
    RegistryState& r = Registry();
    uintptr_t id = r.nextHandle;
    r.nextHandle += 4;
    r.handles[id] = Handle{key, MapAccess(access)};
    return reinterpret_cast<HKEY>(id);
}

// Splits a subkey path into its key names. An empty or null path names the
// key itself; one trailing backslash is allowed; a leading backslash or an
// empty name inside gives ERROR_BAD_PATHNAME.
LONG SplitPath(const char* path, std::vector<std::string>* names) {
    names->clear();
    if (path == nullptr || *path == '\0') {
        return ERROR_SUCCESS;
    }
    std::string current;
    const char* p = path;
    for (;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (current.empty()) {
                if (*p == '\0' && p != path) {
                    break; // one trailing backslash
                }
                return ERROR_BAD_PATHNAME;
            }
            names->push_back(current);
            current.clear();
            if (*p == '\0') {
                break;
            }
        } else {
            current += *p;
        }
    }
    return ERROR_SUCCESS;
}

Key* FindChild(Key* key, const std::string& name) {
    auto it = key->children.find(sim::Lower(name));
    return it == key->children.end() ? nullptr : it->second.get();
}

// The child `name` of `key`, made when missing; `created` tells which.
Key* MakeChild(Key* key, const std::string& name, bool* created) {
    std::unique_ptr<Key>& slot = key->children[sim::Lower(name)];
    *created = !slot;
    if (!slot) {
        slot.reset(new Key{name, {}, {}});
    }
    return slot.get();
}

Key* FindPath(Key* key, const std::vector<std::string>& names) {
    for (const std::string& n : names) {
        key = FindChild(key, n);
        if (key == nullptr) {
            return nullptr;
        }
    }
    return key;
}

Key* MakePath(Key* key, const std::vector<std::string>& names, bool* createdLast) {
    bool created = false;
    for (const std::string& n : names) {
        key = MakeChild(key, n, &created);
    }
    *createdLast = created;
    return key;
}

// Test-control paths are relative to HKEY_LOCAL_MACHINE.
Key* ControlPath(const std::string& path, bool make) {
    std::vector<std::string> names;
    if (SplitPath(path.c_str(), &names) != ERROR_SUCCESS) {
        return nullptr;
    }
    bool created = false;
    Key* root = Registry().root.get();
    return make ? MakePath(root, names, &created) : FindPath(root, names);
}

void PutValue(Key* key, const std::string& name, DWORD type, const std::string& data) {
    Value& v = key->values[sim::Lower(name)];
    if (v.name.empty()) {
        v.name = name;
    }
    v.type = type;
    v.data = data;
}

// ---- machine file: loading ----------------------------------------------

std::string LineError(int line, const std::string& message) {
    return "line " + std::to_string(line) + ": " + message;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Reads a quoted text at s[*at] (the opening quote) with the escapes \\ and
// \"; leaves *at after the closing quote.
bool ReadQuoted(const std::string& s, size_t* at, std::string* out, std::string* message) {
    size_t i = *at + 1;
    out->clear();
    while (i < s.size() && s[i] != '"') {
        if (s[i] == '\\') {
            if (i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
                *out += s[i + 1];
                i += 2;
                continue;
            }
            *message = "a backslash in a quoted text must be followed by \\ or \"";
            return false;
        }
        *out += s[i++];
    }
    if (i >= s.size()) {
        *message = "missing closing quote";
        return false;
    }
    *at = i + 1;
    return true;
}

bool ParseHexNumber(const std::string& s, int maxDigits, DWORD* value) {
    if (s.empty() || static_cast<int>(s.size()) > maxDigits) {
        return false;
    }
    DWORD v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        v = v * 16 + static_cast<DWORD>(d);
    }
    *value = v;
    return true;
}

// One piece of hexadecimal data with the line it stands on.
struct HexPiece {
    int line;
    std::string text;
};

// Turns "01,02,ff" pieces into bytes; a comma may end the data.
bool ParseHexBytes(const std::vector<HexPiece>& pieces, std::string* out, std::string* error) {
    out->clear();
    std::string all;
    std::vector<int> lineAt; // line of every character of `all`
    for (const HexPiece& p : pieces) {
        all += p.text;
        lineAt.insert(lineAt.end(), p.text.size(), p.line);
    }
    int lastLine = pieces.back().line;
    size_t i = 0;
    while (i < all.size()) {
        size_t comma = all.find(',', i);
        size_t end = comma == std::string::npos ? all.size() : comma;
        std::string token = sim::Trim(all.substr(i, end - i));
        DWORD byte = 0;
        if (token.empty() && comma == std::string::npos) {
            break; // after a final comma
        }
        if (!ParseHexNumber(token, 2, &byte)) {
            int line = i < lineAt.size() ? lineAt[i] : lastLine;
            *error = LineError(line, "expected a byte of one or two hexadecimal digits, found \"" +
                                         token + "\"");
            return false;
        }
        *out += static_cast<char>(byte);
        i = comma == std::string::npos ? all.size() : comma + 1;
    }
    return true;
}

class RegistryLoader {
public:
    RegistryLoader(const std::vector<sim::Line>& lines, std::string* error)
        : lines_(lines), error_(error) {}

    bool Run() {
        size_t i = 0;
        // SimLoadMachineText hands over the lines from "REGEDIT4" on.
        if (!lines_.empty() && sim::Trim(lines_[0].text) == "REGEDIT4") {
            i = 1;
        }
        for (; i < lines_.size(); ++i) {
            const sim::Line& l = lines_[i];
            std::string t = sim::Trim(l.text);
            if (t.empty() || t[0] == ';') {
                continue;
            }
            bool ok = false;
            if (t[0] == '[') {
                ok = Header(l.number, t);
            } else if (t[0] == '"' || t[0] == '@') {
                ok = ValueLine(&i, t);
            } else {
                *error_ = LineError(l.number, "expected [key], \"Name\"=data, @=data or a ;comment");
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

private:
    bool Header(int line, const std::string& t) {
        if (t.back() != ']') {
            *error_ = LineError(line, "a key header must end with ]");
            return false;
        }
        std::string path = t.substr(1, t.size() - 2);
        if (!path.empty() && path[0] == '-') {
            *error_ = LineError(line, "deleting a key is not supported in a machine file");
            return false;
        }
        size_t slash = path.find('\\');
        std::string root = path.substr(0, slash);
        if (!sim::EqualNoCase(root, kRootName)) {
            *error_ = LineError(line, "only keys under HKEY_LOCAL_MACHINE are supported, not \"" +
                                          root + "\"");
            return false;
        }
        std::vector<std::string> names;
        if (slash != std::string::npos) {
            std::string rest = path.substr(slash + 1);
            if (rest.empty() || SplitPath(rest.c_str(), &names) != ERROR_SUCCESS ||
                rest.back() == '\\') {
                *error_ = LineError(line, "empty key name in [" + path + "]");
                return false;
            }
        }
        bool created = false;
        key_ = MakePath(Registry().root.get(), names, &created);
        return true;
    }

    bool ValueLine(size_t* index, const std::string& t) {
        int line = lines_[*index].number;
        if (key_ == nullptr) {
            *error_ = LineError(line, "a value before the first [key] header");
            return false;
        }
        std::string name;
        std::string message;
        size_t at = 0;
        if (t[0] == '@') {
            at = 1;
        } else if (!ReadQuoted(t, &at, &name, &message)) {
            *error_ = LineError(line, "value name: " + message);
            return false;
        }
        while (at < t.size() && IsBlank(t[at])) {
            ++at;
        }
        if (at >= t.size() || t[at] != '=') {
            *error_ = LineError(line, "expected = after the value name");
            return false;
        }
        ++at;
        while (at < t.size() && IsBlank(t[at])) {
            ++at;
        }
        std::string rest = t.substr(at);
        std::string data;
        DWORD type = REG_SZ;
        if (!rest.empty() && rest[0] == '"') {
            size_t end = 0;
            if (!ReadQuoted(rest, &end, &data, &message)) {
                *error_ = LineError(line, "value data: " + message);
                return false;
            }
            if (!sim::Trim(rest.substr(end)).empty()) {
                *error_ = LineError(line, "unexpected text after the closing quote");
                return false;
            }
            data += '\0';
        } else if (sim::Lower(rest.substr(0, 6)) == "dword:") {
            DWORD v = 0;
            if (!ParseHexNumber(sim::Trim(rest.substr(6)), 8, &v)) {
                *error_ = LineError(line, "dword: takes 1 to 8 hexadecimal digits");
                return false;
            }
            type = REG_DWORD;
            for (int b = 0; b < 4; ++b) {
                data += static_cast<char>((v >> (8 * b)) & 0xFF);
            }
        } else if (sim::Lower(rest.substr(0, 3)) == "hex") {
            if (!HexValue(index, rest, &type, &data)) {
                return false;
            }
        } else if (rest == "-") {
            *error_ = LineError(line, "deleting a value is not supported in a machine file");
            return false;
        } else {
            *error_ = LineError(line, "expected \"text\", dword:, hex: or hex(N): after =");
            return false;
        }
        PutValue(key_, name, type, data);
        return true;
    }

    bool HexValue(size_t* index, const std::string& rest, DWORD* type, std::string* data) {
        int line = lines_[*index].number;
        size_t colon = rest.find(':');
        std::string kind = sim::Lower(rest.substr(0, colon));
        if (colon == std::string::npos) {
            *error_ = LineError(line, "expected hex: or hex(N):");
            return false;
        }
        if (kind == "hex") {
            *type = REG_BINARY;
        } else if (kind.size() > 5 && kind.compare(0, 4, "hex(") == 0 && kind.back() == ')') {
            if (!ParseHexNumber(kind.substr(4, kind.size() - 5), 8, type)) {
                *error_ = LineError(line, "hex(N): takes a type of 1 to 8 hexadecimal digits");
                return false;
            }
        } else {
            *error_ = LineError(line, "expected hex: or hex(N):");
            return false;
        }
        std::vector<HexPiece> pieces;
        std::string piece = rest.substr(colon + 1);
        for (;;) {
            bool more = !piece.empty() && piece.back() == '\\';
            if (more) {
                piece.pop_back();
            }
            pieces.push_back(HexPiece{lines_[*index].number, piece});
            if (!more) {
                break;
            }
            if (*index + 1 >= lines_.size()) {
                *error_ = LineError(lines_[*index].number,
                                    "the data goes on past the end of the file");
                return false;
            }
            ++*index;
            piece = sim::Trim(lines_[*index].text);
        }
        return ParseHexBytes(pieces, data, error_);
    }

    const std::vector<sim::Line>& lines_;
    std::string* error_;
    Key* key_ = nullptr;
};

// ---- machine file: saving -----------------------------------------------

std::string Escape(const std::string& s) {
    std::string r;
    r.reserve(s.size() + 2);
    for (char c : s) {
        if (c == '\\' || c == '"') {
            r += '\\';
        }
        r += c;
    }
    return r;
}

// A REG_SZ is written as a quoted text only when that loads back the same
// bytes: one terminator at the end, no other zero, no line break.
bool QuotableString(const std::string& data) {
    if (data.empty() || data.back() != '\0') {
        return false;
    }
    for (size_t i = 0; i + 1 < data.size(); ++i) {
        char c = data[i];
        if (c == '\0' || c == '\n' || c == '\r') {
            return false;
        }
    }
    return true;
}

void SaveValue(const Value& v, std::string& out) {
    static const char kDigits[] = "0123456789abcdef";
    size_t lineStart = out.size();
    out += v.name.empty() ? "@" : "\"" + Escape(v.name) + "\"";
    out += '=';
    if (v.type == REG_SZ && QuotableString(v.data)) {
        out += '"';
        out += Escape(v.data.substr(0, v.data.size() - 1));
        out += "\"\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        DWORD d = 0;
        for (int b = 3; b >= 0; --b) {
            d = (d << 8) | static_cast<unsigned char>(v.data[static_cast<size_t>(b)]);
        }
        std::snprintf(buf, sizeof buf, "dword:%08x\n", static_cast<unsigned>(d));
        out += buf;
        return;
    }
    if (v.type == REG_BINARY) {
        out += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        out += buf;
    }
    // Lines of at most 80 characters, as regedit writes them.
    for (size_t i = 0; i < v.data.size(); ++i) {
        if (i > 0) {
            out += ',';
            if (out.size() - lineStart > 76) {
                out += "\\\n  ";
                lineStart = out.size() - 2;
            }
        }
        unsigned char b = static_cast<unsigned char>(v.data[i]);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    out += '\n';
}

void SaveKey(const Key& key, bool isRoot, std::string& path, std::string& out) {
    if (!isRoot || !key.values.empty()) {
        out += "\n[";
        out += path;
        out += "]\n";
        for (const auto& v : key.values) {
            SaveValue(v.second, out);
        }
    }
    for (const auto& c : key.children) {
        size_t length = path.size();
        path += '\\';
        path += c.second->name;
        SaveKey(*c.second, false, path, out);
        path.resize(length);
    }
}

int CountKeys(const Key& key) {
    int n = 0;
    for (const auto& c : key.children) {
        n += 1 + CountKeys(*c.second);
    }
    return n;
}

} // namespace

// ---- machine-wide entry points ---------------------------------------------

void sim::ResetRegistry() { Registry() = RegistryState(); }

bool sim::LoadRegistry(const std::vector<Line>& lines, std::string* error) {
    return RegistryLoader(lines, error).Run();
}

void sim::SaveRegistry(std::string& out) {
    std::string path = kRootName;
    SaveKey(*Registry().root, true, path, out);
}

// ---- test controls ------------------------------------------------------------

int SimOpenKeyCount() { return static_cast<int>(Registry().handles.size()); }

void SimRegSetValue(const std::string& path, const std::string& name, DWORD type,
                    const std::string& data) {
    Key* key = ControlPath(path, true);
    if (key != nullptr) {
        PutValue(key, name, type, data);
    }
}

void SimRegSetString(const std::string& path, const std::string& name, const std::string& text) {
    SimRegSetValue(path, name, REG_SZ, text + '\0');
}

void SimRegSetDword(const std::string& path, const std::string& name, DWORD value) {
    std::string data;
    for (int b = 0; b < 4; ++b) {
        data += static_cast<char>((value >> (8 * b)) & 0xFF);
    }
    SimRegSetValue(path, name, REG_DWORD, data);
}

void SimRegCreateKey(const std::string& path) { ControlPath(path, true); }

bool SimRegKeyExists(const std::string& path) { return ControlPath(path, false) != nullptr; }

bool SimRegGetValue(const std::string& path, const std::string& name, DWORD* type,
                    std::string* data) {
    Key* key = ControlPath(path, false);
    if (key == nullptr) {
        return false;
    }
    auto it = key->values.find(sim::Lower(name));
    if (it == key->values.end()) {
        return false;
    }
    if (type != nullptr) {
        *type = it->second.type;
    }
    if (data != nullptr) {
        *data = it->second.data;
    }
    return true;
}

int SimRegKeyCount() { return CountKeys(*Registry().root); }

std::string SimRegExportText() {
    std::string out;
    sim::SaveRegistry(out);
    return out;
}

// ---- simulated platform functions ---------------------------------------------

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
    LONG fail = static_cast<LONG>(
        sim::BeginCall("RegOpenKeyExA", HandleName(hKey) + "\\" + (lpSubKey ? lpSubKey : "(null)") +
                                            " options=" + HexNumber(ulOptions) +
                                            " access=" + HexNumber(samDesired)));
    if (fail != 0) {
        return fail;
    }
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    REGSAM parentAccess = 0;
    Key* parent = KeyOfHandle(hKey, &parentAccess);
    if (parent == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    std::vector<std::string> names;
    LONG error = SplitPath(lpSubKey, &names);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    Key* key = FindPath(parent, names);
    if (key == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    *phkResult = NewHandle(key, samDesired);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
    (void)lpClass;
    (void)lpSecurityAttributes;
    LONG fail = static_cast<LONG>(sim::BeginCall(
        "RegCreateKeyExA", HandleName(hKey) + "\\" + (lpSubKey ? lpSubKey : "(null)") +
                               " options=" + HexNumber(dwOptions) +
                               " access=" + HexNumber(samDesired)));
    if (fail != 0) {
        return fail;
    }
    // Only persistent keys exist on this machine: options other than
    // REG_OPTION_NON_VOLATILE are refused rather than silently ignored.
    if (phkResult == nullptr || lpSubKey == nullptr || Reserved != 0 ||
        dwOptions != REG_OPTION_NON_VOLATILE) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    REGSAM parentAccess = 0;
    Key* parent = KeyOfHandle(hKey, &parentAccess);
    if (parent == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    std::vector<std::string> names;
    LONG error = SplitPath(lpSubKey, &names);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (FindPath(parent, names) == nullptr && (parentAccess & KEY_CREATE_SUB_KEY) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    bool created = false;
    Key* key = MakePath(parent, names, &created);
    *phkResult = NewHandle(key, samDesired);
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    LONG fail = static_cast<LONG>(sim::BeginCall(
        "RegQueryValueExA", HandleName(hKey) + " " + Quoted(lpValueName) + " size=" +
                                (lpcbData ? std::to_string(*lpcbData) : std::string("NULL")) +
                                " data=" + (lpData ? "yes" : "NULL")));
    if (fail != 0) {
        return fail;
    }
    REGSAM access = 0;
    Key* key = KeyOfHandle(hKey, &access);
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    auto it = key->values.find(sim::Lower(lpValueName ? lpValueName : ""));
    if (it == key->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const Value& v = it->second;
    DWORD size = static_cast<DWORD>(v.data.size());
    if (lpType != nullptr) {
        *lpType = v.type;
    }
    if (lpcbData == nullptr) {
        return ERROR_SUCCESS;
    }
    if (lpData == nullptr) {
        *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (size > *lpcbData) {
        // Windows leaves the buffer undefined here. Filling it with the start
        // of the data shows up any caller that uses it after this failure.
        v.data.copy(reinterpret_cast<char*>(lpData), *lpcbData);
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    v.data.copy(reinterpret_cast<char*>(lpData), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
    (void)Reserved;
    LONG fail = static_cast<LONG>(sim::BeginCall(
        "RegSetValueExA", HandleName(hKey) + " " + Quoted(lpValueName) +
                              " type=" + std::to_string(dwType) + " size=" + std::to_string(cbData)));
    if (fail != 0) {
        return fail;
    }
    REGSAM access = 0;
    Key* key = KeyOfHandle(hKey, &access);
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (lpData == nullptr && cbData != 0) {
        return ERROR_NOACCESS;
    }
    std::string data;
    if (lpData != nullptr) {
        data.assign(reinterpret_cast<const char*>(lpData), cbData);
    }
    PutValue(key, lpValueName ? lpValueName : "", dwType, data);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    LONG fail = static_cast<LONG>(sim::BeginCall("RegCloseKey", HandleName(hKey)));
    if (fail != 0) {
        return fail;
    }
    if (hKey == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS; // closing a predefined key does nothing
    }
    RegistryState& r = Registry();
    auto it = r.handles.find(reinterpret_cast<uintptr_t>(hKey));
    if (it == r.handles.end()) {
        return ERROR_INVALID_HANDLE;
    }
    r.handles.erase(it);
    return ERROR_SUCCESS;
}

} // extern "C"
