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
// Subkey paths follow Windows' rules, as Wine's advapi32 registry tests
// record them on real Windows (test_reg_open_key, test_reg_create_key):
// trailing backslashes are taken ("Software\Wine\Test\\" opens, "Subkey4\\"
// creates Subkey4), and a leading backslash gives ERROR_BAD_PATHNAME on the
// NT line but is taken on the Windows 95 line. An empty name between two
// backslashes is skipped like the trailing ones: the NT registry's name
// parser skips every run of separators.
//
// Write failures a machine file can ask for, in its [RegistryFaults] section:
//   DenyWrites=HKEY_LOCAL_MACHINE\path        the key refuses writing, as a
//       key whose access list grants only reading: opening or creating it
//       with any right beyond reading, and creating a new key right below
//       it, fail with ERROR_ACCESS_DENIED; reading it, and keys below it
//       that exist, go on as before
//   CannotCreate=HKEY_LOCAL_MACHINE\path "Name" the value Name of that key
//       cannot be created: RegSetValueExA fails with
//       ERROR_NO_SYSTEM_RESOURCES while it does not exist (an existing one
//       can be set)
//   Grants=HKEY_LOCAL_MACHINE\path RIGHT|RIGHT...  on the NT line, the rights
//       the key's access list gives the program (a key without such a line
//       gives every right): opening the key, or creating it when it exists,
//       with a right it does not give fails with ERROR_ACCESS_DENIED, and so
//       does creating a new key right below it unless it gives
//       KEY_CREATE_SUB_KEY. The program gets the rights it asks for on a key
//       it creates, as the creator of a key does on NT. The Windows 95 line
//       has no access checks and ignores these lines.
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
#ifndef ERROR_NO_SYSTEM_RESOURCES
#define ERROR_NO_SYSTEM_RESOURCES 1450L
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
const REGSAM kGenericRights = kGenericAll | kGenericExecute | kGenericWrite | kGenericRead;
// What a key gives when no line limits it.
const REGSAM kEveryRight = ~static_cast<REGSAM>(0);

struct Value {
    std::string name; // as created
    DWORD type = REG_NONE;
    std::string data;
};

struct Key {
    std::string name;                                     // as created
    std::map<std::string, std::unique_ptr<Key>> children; // by lower-case name
    std::map<std::string, Value> values;                  // by lower-case name
};

struct Handle {
    Key* key;
    REGSAM access;
    std::string path; // below HKEY_LOCAL_MACHINE, lower case, "a\\b"
};

struct RegistryState {
    std::unique_ptr<Key> root{new Key{kRootName, {}, {}}};
    std::map<uintptr_t, Handle> handles;
    uintptr_t nextHandle = 0x1000;
    // [RegistryFaults]: paths as above; the lines as given, for saving.
    std::vector<std::string> deniedPaths;
    std::vector<std::pair<std::string, std::string>> uncreatable; // path, lower value name
    std::vector<std::pair<std::string, REGSAM>> grants;           // path, rights it gives
    std::vector<std::string> faultLines;
};

RegistryState& Registry() {
    static RegistryState state;
    return state;
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
    return sim::Hex(reinterpret_cast<uintptr_t>(h));
}

std::string Quoted(const char* s) {
    return s ? "\"" + std::string(s) + "\"" : "(null)";
}

// The call log entry of an open or a create.
SimCall OpenCall(const char* function, HKEY parent, LPCSTR subKey, DWORD options, REGSAM access) {
    return {function,
            HandleName(parent) + "\\" + (subKey ? subKey : "(null)") +
                " options=" + sim::Hex(options) + " access=" + sim::Hex(access),
            subKey ? subKey : ""};
}

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
// the handle carries and its path; null for an unknown or closed handle.
Key* KeyOfHandle(HKEY h, REGSAM* access, std::string* path = nullptr) {
    RegistryState& r = Registry();
    if (h == HKEY_LOCAL_MACHINE) {
        *access = KEY_ALL_ACCESS;
        if (path != nullptr) {
            path->clear();
        }
        return r.root.get();
    }
    auto it = r.handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == r.handles.end()) {
        return nullptr;
    }
    *access = it->second.access;
    if (path != nullptr) {
        *path = it->second.path;
    }
    return it->second.key;
}

HKEY NewHandle(Key* key, REGSAM access, const std::string& path) {
    RegistryState& r = Registry();
    uintptr_t id = r.nextHandle;
    r.nextHandle += 4;
    r.handles[id] = Handle{key, MapAccess(access), path};
    return reinterpret_cast<HKEY>(id);
}

// Splits a subkey path into its key names. An empty or null path names the
// key itself; empty names (two backslashes in a row, trailing ones) are
// skipped; a leading backslash gives ERROR_BAD_PATHNAME on the NT line and
// is skipped on the Windows 95 line.
LONG SplitPath(const char* path, std::vector<std::string>* names) {
    names->clear();
    if (path == nullptr || *path == '\0') {
        return ERROR_SUCCESS;
    }
    if (*path == '\\' && sim::PlatformId() != VER_PLATFORM_WIN32_WINDOWS) {
        return ERROR_BAD_PATHNAME;
    }
    std::string current;
    for (const char* p = path;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (!current.empty()) {
                names->push_back(current);
                current.clear();
            }
            if (*p == '\0') {
                break;
            }
        } else {
            current += *p;
        }
    }
    return ERROR_SUCCESS;
}

// `base` and more names as a handle's path.
std::string JoinPath(std::string base, const std::vector<std::string>& names) {
    for (const std::string& n : names) {
        base += (base.empty() ? "" : "\\") + sim::Lower(n);
    }
    return base;
}

// The rights the key at `path` (a handle's path) gives: those of its last
// Grants= line on the NT line, only reading when writes to it are denied.
REGSAM KeyGrant(const std::string& path) {
    const RegistryState& r = Registry();
    REGSAM grant = kEveryRight;
    if (sim::PlatformId() != VER_PLATFORM_WIN32_WINDOWS) {
        for (const auto& g : r.grants) {
            if (g.first == path) {
                grant = g.second;
            }
        }
    }
    for (const std::string& denied : r.deniedPaths) {
        if (path == denied) {
            grant &= KEY_READ;
        }
    }
    return grant;
}

// The rights a handle to the existing key at `path` gets when `desired` is
// asked for, or false when the key does not give them all. MAXIMUM_ALLOWED
// asks for nothing in particular and adds every right the key gives.
bool OpenRights(const std::string& path, REGSAM desired, REGSAM* rights) {
    const REGSAM grant = KeyGrant(path);
    const REGSAM asked = MapAccess(desired & ~kMaximumAllowed) & ~kGenericRights;
    if ((asked & ~grant) != 0) {
        return false;
    }
    *rights = (desired & kMaximumAllowed) != 0 ? asked | (grant & MapAccess(desired)) : asked;
    return true;
}

Key* FindChild(Key* key, const std::string& name) {
    auto it = key->children.find(sim::Lower(name));
    return it == key->children.end() ? nullptr : it->second.get();
}

// The entry of `lower` in a map keyed by lower-case names, made when
// missing. A name that sorts after all others (as in a saved file) is added
// at the end without a search.
template <class Map> typename Map::iterator Slot(Map& map, const std::string& lower) {
    if (map.empty() || map.rbegin()->first < lower) {
        return map.emplace_hint(map.end(), lower, typename Map::mapped_type());
    }
    auto it = map.lower_bound(lower);
    if (it == map.end() || it->first != lower) {
        it = map.emplace_hint(it, lower, typename Map::mapped_type());
    }
    return it;
}

// The child `name` (`lower` in lower case) of `key`, made when missing;
// `created` tells which.
Key* MakeChild(Key* key, const std::string& name, const std::string& lower, bool* created) {
    std::unique_ptr<Key>& slot = Slot(key->children, lower)->second;
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

// What an open or a create finds: the key it starts from, with its
// handle's rights, the names below it, the key they name (null when it does
// not exist yet) and that key's path.
struct SubKey {
    Key* parent = nullptr;
    REGSAM parentAccess = 0;
    std::string parentPath;
    std::vector<std::string> names;
    Key* key = nullptr;
    std::string path;
};

LONG FindSubKey(HKEY hKey, LPCSTR subKey, SubKey* s) {
    s->parent = KeyOfHandle(hKey, &s->parentAccess, &s->parentPath);
    if (s->parent == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    LONG error = SplitPath(subKey, &s->names);
    s->key = FindPath(s->parent, s->names);
    s->path = JoinPath(s->parentPath, s->names);
    return error;
}

Key* MakePath(Key* key, const std::vector<std::string>& names, bool* createdLast) {
    bool created = false;
    for (const std::string& n : names) {
        key = MakeChild(key, n, sim::Lower(n), &created);
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
    Value& v = Slot(key->values, sim::Lower(name))->second;
    if (v.name.empty()) {
        v.name = name;
    }
    v.type = type;
    v.data = data;
}

// ---- machine file: loading ----------------------------------------------
//
// Written over plain character pointers: a machine file may hold a hundred
// thousand keys, and loading it must stay fast in unoptimised test builds.

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

const char* SkipBlanks(const char* p, const char* e) {
    while (p < e && IsBlank(*p)) {
        ++p;
    }
    return p;
}

std::string LowerText(const char* b, const char* e) {
    std::string r(b, e);
    char* p = &r[0];
    for (size_t i = 0, n = r.size(); i < n; ++i) {
        if (p[i] >= 'A' && p[i] <= 'Z') {
            p[i] = static_cast<char>(p[i] - 'A' + 'a');
        }
    }
    return r;
}

// True when [p, e) starts with `prefix` (lower case), ignoring case.
bool StartsNoCase(const char* p, const char* e, const char* prefix) {
    for (; *prefix != '\0'; ++p, ++prefix) {
        if (p >= e || (*p >= 'A' && *p <= 'Z' ? *p - 'A' + 'a' : *p) != *prefix) {
            return false;
        }
    }
    return true;
}

// The simulated machine has its own helpers and never uses the program's
// (runtime/text.cpp), so a fault in the program cannot hide in the machine.
int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The whole of [p, e) as a number of 1 to maxDigits hexadecimal digits.
bool ParseHexNumber(const char* p, const char* e, int maxDigits, DWORD* value) {
    if (p >= e || e - p > maxDigits) {
        return false;
    }
    DWORD v = 0;
    for (; p < e; ++p) {
        int d = HexDigit(*p);
        if (d < 0) {
            return false;
        }
        v = v * 16 + static_cast<DWORD>(d);
    }
    *value = v;
    return true;
}

// Reads the quoted text starting at *p (the opening quote) with the escapes
// \\ and \"; returns the position after the closing quote, or null with a
// message.
const char* ReadQuoted(const char* p, const char* e, std::string* out, std::string* message) {
    out->clear();
    ++p;
    for (;;) {
        const char* run = p;
        while (p < e && *p != '"' && *p != '\\') {
            ++p;
        }
        out->append(run, p);
        if (p >= e) {
            *message = "missing closing quote";
            return nullptr;
        }
        if (*p == '"') {
            return p + 1;
        }
        if (p + 1 >= e || (p[1] != '\\' && p[1] != '"')) {
            *message = "a backslash in a quoted text must be followed by \\ or \"";
            return nullptr;
        }
        *out += p[1];
        p += 2;
    }
}

class RegistryLoader {
  public:
    RegistryLoader(const std::vector<sim::Line>& lines, std::string* error)
        : lines_(lines), error_(error) {}

    bool Run() {
        size_t i = 0;
        // The machine file's loader hands over the lines from "REGEDIT4" on.
        if (!lines_.empty() && sim::Trim(lines_[0].text) == "REGEDIT4") {
            i = 1;
        }
        for (; i < lines_.size(); ++i) {
            const char* b = nullptr;
            const char* e = nullptr;
            TrimLine(i, &b, &e);
            if (b == e || *b == ';') {
                continue;
            }
            bool ok = false;
            if (*b == '[') {
                ok = Header(lines_[i].number, b, e);
            } else if (*b == '"' || *b == '@') {
                ok = ValueLine(&i, b, e);
            } else {
                ok = Fail(lines_[i].number, "expected [key], \"Name\"=data, @=data or a ;comment");
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

  private:
    void TrimLine(size_t i, const char** b, const char** e) {
        const std::string& s = lines_[i].text;
        const char* p = s.data();
        const char* end = p + s.size();
        p = SkipBlanks(p, end);
        while (end > p && IsBlank(end[-1])) {
            --end;
        }
        *b = p;
        *e = end;
    }

    bool Fail(int line, const std::string& message) {
        return sim::LineError(error_, line, message);
    }

    bool Header(int line, const char* b, const char* e) {
        if (e[-1] != ']') {
            return Fail(line, "a key header must end with ]");
        }
        ++b;
        --e;
        if (b < e && *b == '-') {
            return Fail(line, "deleting a key is not supported in a machine file");
        }
        const char* rootEnd = b;
        while (rootEnd < e && *rootEnd != '\\') {
            ++rootEnd;
        }
        if (LowerText(b, rootEnd) != "hkey_local_machine") {
            return Fail(line, "only keys under HKEY_LOCAL_MACHINE are supported, not \"" +
                                  std::string(b, rootEnd) + "\"");
        }
        key_ = Registry().root.get();
        size_t depth = 0;
        for (const char* p = rootEnd; p < e;) {
            const char* q = ++p;
            while (q < e && *q != '\\') {
                ++q;
            }
            if (q == p) {
                return Fail(line, "empty key name in [" + std::string(b, e) + "]");
            }
            Descend(depth++, p, q);
            p = q;
        }
        chain_.resize(depth);
        return true;
    }

    // Goes down to the child [p, q) of key_, the depth-th name of a header.
    // Consecutive headers mostly share all but their last name: the keys of
    // the previous header are reused without searching again.
    void Descend(size_t depth, const char* p, const char* q) {
        std::string lower = LowerText(p, q);
        if (depth < chain_.size() && chain_[depth].first == lower) {
            key_ = chain_[depth].second;
            return;
        }
        chain_.resize(depth);
        bool created = false;
        key_ = MakeChild(key_, std::string(p, q), lower, &created);
        chain_.emplace_back(std::move(lower), key_);
    }

    bool ValueLine(size_t* index, const char* p, const char* e) {
        int line = lines_[*index].number;
        if (key_ == nullptr) {
            return Fail(line, "a value before the first [key] header");
        }
        std::string name;
        std::string message;
        if (*p == '@') {
            ++p;
        } else if ((p = ReadQuoted(p, e, &name, &message)) == nullptr) {
            return Fail(line, "value name: " + message);
        }
        p = SkipBlanks(p, e);
        if (p >= e || *p != '=') {
            return Fail(line, "expected = after the value name");
        }
        p = SkipBlanks(p + 1, e);
        std::string data;
        DWORD type = REG_SZ;
        if (p < e && *p == '"') {
            if ((p = ReadQuoted(p, e, &data, &message)) == nullptr) {
                return Fail(line, "value data: " + message);
            }
            if (p != e) {
                return Fail(line, "unexpected text after the closing quote");
            }
            data += '\0';
        } else if (StartsNoCase(p, e, "dword:")) {
            DWORD v = 0;
            if (!ParseHexNumber(SkipBlanks(p + 6, e), e, 8, &v)) {
                return Fail(line, "dword: takes 1 to 8 hexadecimal digits");
            }
            type = REG_DWORD;
            for (int b = 0; b < 4; ++b) {
                data += static_cast<char>((v >> (8 * b)) & 0xFF);
            }
        } else if (StartsNoCase(p, e, "hex")) {
            if (!HexValue(index, p, e, &type, &data)) {
                return false;
            }
        } else if (p + 1 == e && *p == '-') {
            return Fail(line, "deleting a value is not supported in a machine file");
        } else {
            return Fail(line, "expected \"text\", dword:, hex: or hex(N): after =");
        }
        PutValue(key_, name, type, data);
        return true;
    }

    // "hex:" or "hex(N):" and its bytes, which may go on over further lines
    // as long as each ends in a backslash.
    bool HexValue(size_t* index, const char* p, const char* e, DWORD* type, std::string* data) {
        int line = lines_[*index].number;
        const char* colon = p;
        while (colon < e && *colon != ':') {
            ++colon;
        }
        if (colon == p + 3) {
            *type = REG_BINARY;
        } else if (colon > p + 5 && p[3] == '(' && colon[-1] == ')') {
            if (!ParseHexNumber(p + 4, colon - 1, 8, type)) {
                return Fail(line, "hex(N): takes a type of 1 to 8 hexadecimal digits");
            }
        } else {
            return Fail(line, "expected hex: or hex(N):");
        }
        bool needByte = false; // after a comma
        bool any = false;
        p = colon + 1;
        for (;;) {
            bool more = e > p && e[-1] == '\\';
            if (more) {
                --e;
            }
            while ((p = SkipBlanks(p, e)) < e) {
                if (any && !needByte) {
                    if (*p != ',') {
                        return Fail(line, "expected a comma between bytes");
                    }
                    needByte = true;
                    ++p;
                    continue;
                }
                int high = HexDigit(*p);
                int low = p + 1 < e ? HexDigit(p[1]) : -1;
                if (high < 0) {
                    return Fail(line, "expected a byte of one or two hexadecimal digits");
                }
                *data += static_cast<char>(low < 0 ? high : high * 16 + low);
                p += low < 0 ? 1 : 2;
                any = true;
                needByte = false;
            }
            if (!more) {
                return true;
            }
            if (*index + 1 >= lines_.size()) {
                return Fail(line, "the data goes on past the end of the file");
            }
            ++*index;
            line = lines_[*index].number;
            TrimLine(*index, &p, &e);
        }
    }

    const std::vector<sim::Line>& lines_;
    std::string* error_;
    Key* key_ = nullptr;
    std::vector<std::pair<std::string, Key*>> chain_; // lower-case name, key
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

// ---- machine file: [RegistryFaults] ------------------------------------------

// The rights a Grants= line may name, joined by "|".
const struct {
    const char* name;
    REGSAM rights;
} kRightNames[] = {
    {"KEY_QUERY_VALUE", KEY_QUERY_VALUE},
    {"KEY_SET_VALUE", KEY_SET_VALUE},
    {"KEY_CREATE_SUB_KEY", KEY_CREATE_SUB_KEY},
    {"KEY_ENUMERATE_SUB_KEYS", KEY_ENUMERATE_SUB_KEYS},
    {"KEY_NOTIFY", KEY_NOTIFY},
    {"KEY_READ", KEY_READ},
    {"KEY_WRITE", KEY_WRITE},
    {"KEY_ALL_ACCESS", KEY_ALL_ACCESS},
};

bool ParseRights(const std::string& text, REGSAM* rights) {
    *rights = 0;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('|', start);
        std::string name = text.substr(start, end == std::string::npos ? end : end - start);
        bool known = false;
        for (const auto& r : kRightNames) {
            if (sim::EqualNoCase(name, r.name)) {
                *rights |= r.rights;
                known = true;
            }
        }
        if (!known) {
            return false;
        }
        if (end == std::string::npos) {
            return true;
        }
        start = end + 1;
    }
}

} // namespace

// ---- machine-wide entry points ---------------------------------------------

void sim::ResetRegistry() {
    Registry() = RegistryState();
}

bool sim::LoadRegistry(const std::vector<Line>& lines, std::string* error) {
    return RegistryLoader(lines, error).Run();
}

bool sim::LoadRegistryFaults(const std::vector<Line>& lines, std::string* error) {
    RegistryState& r = Registry();
    const std::string root = std::string(kRootName) + "\\";
    for (const Line& l : lines) {
        size_t eq = l.text.find('=');
        std::string key = sim::Lower(sim::Trim(l.text.substr(0, eq)));
        std::string value = eq == std::string::npos ? "" : sim::Trim(l.text.substr(eq + 1));
        std::string name;
        REGSAM rights = 0;
        if (key == "cannotcreate") {
            size_t quote = value.find(" \"");
            if (quote == std::string::npos || value.size() < quote + 3 || value.back() != '"') {
                return sim::LineError(error, l.number,
                                      "expected CannotCreate=HKEY_LOCAL_MACHINE\\path \"Name\"");
            }
            name = value.substr(quote + 2, value.size() - quote - 3);
            value = sim::Trim(value.substr(0, quote));
        } else if (key == "grants") {
            size_t blank = value.find_last_of(" \t");
            if (blank == std::string::npos || !ParseRights(value.substr(blank + 1), &rights)) {
                return sim::LineError(error, l.number,
                                      "expected Grants=HKEY_LOCAL_MACHINE\\path RIGHT|RIGHT...");
            }
            value = sim::Trim(value.substr(0, blank));
        }
        std::vector<std::string> names;
        if ((key != "denywrites" && key != "cannotcreate" && key != "grants") ||
            !sim::EqualNoCase(value.substr(0, root.size()), root) ||
            SplitPath(value.c_str() + root.size(), &names) != ERROR_SUCCESS || names.empty()) {
            return sim::LineError(error, l.number,
                                  "expected DenyWrites=HKEY_LOCAL_MACHINE\\path, CannotCreate="
                                  "HKEY_LOCAL_MACHINE\\path \"Name\" or "
                                  "Grants=HKEY_LOCAL_MACHINE\\path RIGHT|RIGHT...");
        }
        if (key == "denywrites") {
            r.deniedPaths.push_back(JoinPath("", names));
        } else if (key == "grants") {
            r.grants.emplace_back(JoinPath("", names), rights);
        } else {
            r.uncreatable.emplace_back(JoinPath("", names), sim::Lower(name));
        }
        r.faultLines.push_back(l.text);
    }
    return true;
}

void sim::SaveRegistryFaults(std::string& out) {
    const RegistryState& r = Registry();
    if (!r.faultLines.empty()) {
        out += "\n[RegistryFaults]\n";
        for (const std::string& line : r.faultLines) {
            out += line + "\n";
        }
    }
}

void sim::SaveRegistry(std::string& out) {
    std::string path = kRootName;
    SaveKey(*Registry().root, true, path, out);
}

// ---- test controls ------------------------------------------------------------

int SimOpenKeyCount() {
    return static_cast<int>(Registry().handles.size());
}

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

void SimRegCreateKey(const std::string& path) {
    ControlPath(path, true);
}

bool SimRegKeyExists(const std::string& path) {
    return ControlPath(path, false) != nullptr;
}

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

int SimRegKeyCount() {
    return CountKeys(*Registry().root);
}

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
        sim::BeginCall(OpenCall("RegOpenKeyExA", hKey, lpSubKey, ulOptions, samDesired)));
    if (fail != 0) {
        return fail;
    }
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    SubKey s;
    LONG error = FindSubKey(hKey, lpSubKey, &s);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (s.key == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    REGSAM rights = 0;
    if (!OpenRights(s.path, samDesired, &rights)) {
        return ERROR_ACCESS_DENIED;
    }
    *phkResult = NewHandle(s.key, rights, s.path);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
    (void)lpClass;
    (void)lpSecurityAttributes;
    LONG fail = static_cast<LONG>(
        sim::BeginCall(OpenCall("RegCreateKeyExA", hKey, lpSubKey, dwOptions, samDesired)));
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
    SubKey s;
    LONG error = FindSubKey(hKey, lpSubKey, &s);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    bool exists = s.key != nullptr;
    if (!exists && (s.parentAccess & KEY_CREATE_SUB_KEY) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    REGSAM rights = samDesired;
    if (exists && !OpenRights(s.path, samDesired, &rights)) {
        return ERROR_ACCESS_DENIED;
    }
    // The first key to be made needs the right to create below its parent.
    for (size_t n = 0; !exists && n < s.names.size(); ++n) {
        std::vector<std::string> head(s.names.begin(), s.names.begin() + static_cast<long>(n) + 1);
        if (FindPath(s.parent, head) == nullptr) {
            head.pop_back();
            if ((KeyGrant(JoinPath(s.parentPath, head)) & KEY_CREATE_SUB_KEY) == 0) {
                return ERROR_ACCESS_DENIED;
            }
            break;
        }
    }
    bool created = false;
    *phkResult = NewHandle(MakePath(s.parent, s.names, &created), rights, s.path);
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    LONG fail = static_cast<LONG>(sim::BeginCall(
        {"RegQueryValueExA",
         HandleName(hKey) + " " + Quoted(lpValueName) +
             " size=" + (lpcbData ? std::to_string(*lpcbData) : std::string("NULL")) +
             " data=" + (lpData ? "yes" : "NULL"),
         "", lpValueName ? lpValueName : ""}));
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
    LONG fail = static_cast<LONG>(
        sim::BeginCall({"RegSetValueExA",
                        HandleName(hKey) + " " + Quoted(lpValueName) +
                            " type=" + std::to_string(dwType) + " size=" + std::to_string(cbData),
                        "", lpValueName ? lpValueName : ""}));
    if (fail != 0) {
        return fail;
    }
    REGSAM access = 0;
    std::string path;
    Key* key = KeyOfHandle(hKey, &access, &path);
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::string lowerName = sim::Lower(lpValueName ? lpValueName : "");
    for (const auto& v : Registry().uncreatable) {
        if (v.first == path && v.second == lowerName && key->values.count(lowerName) == 0) {
            return ERROR_NO_SYSTEM_RESOURCES;
        }
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
    LONG fail = static_cast<LONG>(sim::BeginCall({"RegCloseKey", HandleName(hKey)}));
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
