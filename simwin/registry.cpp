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
// Subkey paths follow Windows' rules (SplitPath).
//
// Only HKEY_LOCAL_MACHINE exists. The other predefined roots give
// ERROR_INVALID_HANDLE, and a machine file naming another root is rejected.
//
// Its machine-file form is everything after the line "REGEDIT4", in the
// REGEDIT4 syntax of regedit and `reg import`, and write failures and access
// lists (DenyWrites=, CannotCreate=, Grants=) come from its [RegistryFaults]
// section: docs/machine-file.md gives both forms, what each line means and
// how saving writes every value so that it loads back the same.
#include "simwin/sim.h"
#include "simwin/simctl_registry.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

namespace {

const LONG kErrorBadPathname = 161;
const LONG kErrorNoAccess = 998;
const LONG kErrorNoSystemResources = 1450;

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

// A handle as the call log names it; the predefined roots, numbered from
// HKEY_CLASSES_ROOT on as in the Windows headers, by their names.
std::string HandleName(HKEY h) {
    static const char* const kRoots[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", kRootName,
                                         "HKEY_USERS"};
    const uintptr_t n =
        reinterpret_cast<uintptr_t>(h) - reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT);
    return n < 4 ? kRoots[n] : sim::Hex(reinterpret_cast<uintptr_t>(h));
}

REGSAM MapAccess(REGSAM access) {
    return access | ((access & (kMaximumAllowed | kGenericAll)) ? KEY_ALL_ACCESS : 0) |
           ((access & (kGenericRead | kGenericExecute)) ? KEY_READ : 0) |
           ((access & kGenericWrite) ? KEY_WRITE : 0);
}

// What an open handle or a predefined root stands for: its key, the rights
// it carries and its path; false for an unknown or closed handle.
bool FindHandle(HKEY h, Handle* found) {
    RegistryState& r = Registry();
    auto it = r.handles.find(reinterpret_cast<uintptr_t>(h));
    if (h == HKEY_LOCAL_MACHINE) {
        *found = Handle{r.root.get(), KEY_ALL_ACCESS, ""};
    } else if (it != r.handles.end()) {
        *found = it->second;
    }
    return h == HKEY_LOCAL_MACHINE || it != r.handles.end();
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
// skipped, as the NT registry's name parser skips every run of separators;
// a leading backslash gives ERROR_BAD_PATHNAME on the NT line and is skipped
// on the Windows 95 line. Wine's advapi32 registry tests record these rules
// on real Windows (test_reg_open_key, test_reg_create_key).
LONG SplitPath(const char* path, std::vector<std::string>* names) {
    names->clear();
    if (path == nullptr || *path == '\0') {
        return ERROR_SUCCESS;
    }
    if (*path == '\\' && sim::PlatformId() != VER_PLATFORM_WIN32_WINDOWS) {
        return kErrorBadPathname;
    }
    std::string current;
    for (const char* p = path;; ++p) {
        if (*p != '\\' && *p != '\0') {
            current += *p;
            continue;
        }
        if (!current.empty()) {
            names->push_back(current);
        }
        current.clear();
        if (*p == '\0') {
            return ERROR_SUCCESS;
        }
    }
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
    for (const auto& g : r.grants) {
        if (g.first == path && sim::PlatformId() != VER_PLATFORM_WIN32_WINDOWS) {
            grant = g.second;
        }
    }
    const bool denied = std::count(r.deniedPaths.begin(), r.deniedPaths.end(), path) != 0;
    return denied ? grant & KEY_READ : grant;
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
        auto it = key->children.find(sim::Lower(n));
        if (it == key->children.end()) {
            return nullptr;
        }
        key = it->second.get();
    }
    return key;
}

// What an open or a create finds (BeginOpen): the handle it starts from, the
// names below it, the key they name (null when it does not exist yet) and
// that key's path.
struct SubKey {
    Handle parent{};
    std::vector<std::string> names;
    Key* key = nullptr;
    std::string path;
};

// The start of an open or a create: its call log entry and any fault a test
// set, then ERROR_INVALID_PARAMETER unless the arguments are `valid`, then
// the key it starts from and the one its path names.
LONG BeginOpen(const char* function, HKEY hKey, LPCSTR subKey, DWORD options, REGSAM access,
               bool valid, PHKEY result, SubKey* s) {
    const std::string given = subKey ? subKey : "";
    LONG fail = static_cast<LONG>(
        sim::BeginCall({function,
                        HandleName(hKey) + "\\" + (subKey ? given : "(null)") +
                            " options=" + sim::Hex(options) + " access=" + sim::Hex(access),
                        given}));
    if (fail != 0 || !valid) {
        return fail != 0 ? fail : ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    if (!FindHandle(hKey, &s->parent)) {
        return ERROR_INVALID_HANDLE;
    }
    LONG error = SplitPath(subKey, &s->names);
    s->key = FindPath(s->parent.key, s->names);
    s->path = JoinPath(s->parent.path, s->names);
    return error;
}

// The start of a query or a set of the value `name`: its call log entry,
// `details` after the name, and any fault a test set, then the handle.
LONG BeginValueCall(const char* function, HKEY hKey, LPCSTR name, const std::string& details,
                    Handle* handle) {
    const std::string given = name ? name : "";
    LONG fail = static_cast<LONG>(sim::BeginCall(
        {function, HandleName(hKey) + " " + (name ? "\"" + given + "\"" : "(null)") + details, "",
         given}));
    if (fail != 0) {
        return fail;
    }
    return FindHandle(hKey, handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
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
// thousand keys, and loading it must stay fast.

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
    return sim::Lower(std::string(b, e));
}

// True when [p, e) starts with `prefix` (lower case), ignoring case.
bool StartsNoCase(const char* p, const char* e, const std::string& prefix) {
    return static_cast<size_t>(e - p) >= prefix.size() && LowerText(p, p + prefix.size()) == prefix;
}

// A REG_DWORD's four bytes, little-endian.
std::string DwordBytes(DWORD v) {
    std::string data;
    for (int b = 0; b < 4; ++b) {
        data += static_cast<char>((v >> (8 * b)) & 0xFF);
    }
    return data;
}

// The whole of [p, e) as a number of 1 to 8 hexadecimal digits (kHexNumber),
// as dword: and hex(N): take them.
const char kHexNumber[] = "1 to 8 hexadecimal digits";
bool ParseHexNumber(const char* p, const char* e, DWORD* value) {
    if (p >= e || e - p > 8) {
        return false;
    }
    DWORD v = 0;
    for (; p < e; ++p) {
        int d = sim::HexDigit(*p);
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
            const bool ok =
                *b == '[' ? Header(lines_[i].number, b, e)
                : *b == '"' || *b == '@'
                    ? ValueLine(&i, b, e)
                    : Fail(lines_[i].number, "expected [key], \"Name\"=data, @=data or a ;comment");
            if (!ok) {
                return false;
            }
        }
        return true;
    }

  private:
    void TrimLine(size_t i, const char** b, const char** e) {
        const std::string& s = lines_[i].text;
        *e = s.data() + s.size();
        *b = SkipBlanks(s.data(), *e);
        while (*e > *b && IsBlank((*e)[-1])) {
            --*e;
        }
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
            if (!ParseHexNumber(SkipBlanks(p + 6, e), e, &v)) {
                return Fail(line, std::string("dword: takes ") + kHexNumber);
            }
            type = REG_DWORD;
            data = DwordBytes(v);
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
            if (!ParseHexNumber(p + 4, colon - 1, type)) {
                return Fail(line, std::string("hex(N): takes a type of ") + kHexNumber);
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
                int high = sim::HexDigit(*p);
                int low = p + 1 < e ? sim::HexDigit(p[1]) : -1;
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
    return !data.empty() && data.find_first_of(std::string("\0\n\r", 3)) == data.size() - 1 &&
           data.back() == '\0';
}

// A byte as two lower-case hexadecimal digits, as regedit writes them.
void AppendByte(char c, std::string& out) {
    static const char kDigits[] = "0123456789abcdef";
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[c & 15];
}

void SaveValue(const Value& v, std::string& out) {
    size_t lineStart = out.size();
    out += v.name.empty() ? "@" : "\"" + Escape(v.name) + "\"";
    out += '=';
    if (v.type == REG_SZ && QuotableString(v.data)) {
        out += "\"" + Escape(v.data.substr(0, v.data.size() - 1)) + "\"\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        out += "dword:";
        for (size_t b = 4; b-- > 0;) {
            AppendByte(v.data[b], out);
        }
        out += '\n';
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
        AppendByte(v.data[i], out);
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
const struct RightName {
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
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = text.find('|', start);
        const std::string name = text.substr(start, end == std::string::npos ? end : end - start);
        auto known =
            std::find_if(std::begin(kRightNames), std::end(kRightNames),
                         [&](const RightName& r) { return sim::EqualNoCase(name, r.name); });
        if (known == std::end(kRightNames)) {
            return false;
        }
        *rights |= known->rights;
    }
    return true;
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
    const std::string deny = "DenyWrites=" + root + "path";
    const std::string create = "CannotCreate=" + root + "path \"Name\"";
    const std::string grants = "Grants=" + root + "path RIGHT|RIGHT...";
    for (const Line& l : lines) {
        size_t eq = l.text.find('=');
        std::string key = sim::Lower(sim::Trim(l.text.substr(0, eq)));
        std::string value = eq == std::string::npos ? "" : sim::Trim(l.text.substr(eq + 1));
        std::string name;
        REGSAM rights = 0;
        if (key == "cannotcreate") {
            size_t quote = value.find(" \"");
            if (quote == std::string::npos || value.size() < quote + 3 || value.back() != '"') {
                return sim::LineError(error, l.number, "expected " + create);
            }
            name = value.substr(quote + 2, value.size() - quote - 3);
            value = sim::Trim(value.substr(0, quote));
        } else if (key == "grants") {
            size_t blank = value.find_last_of(" \t");
            if (blank == std::string::npos || !ParseRights(value.substr(blank + 1), &rights)) {
                return sim::LineError(error, l.number, "expected " + grants);
            }
            value = sim::Trim(value.substr(0, blank));
        }
        std::vector<std::string> names;
        if ((key != "denywrites" && key != "cannotcreate" && key != "grants") ||
            !sim::EqualNoCase(value.substr(0, root.size()), root) ||
            SplitPath(value.c_str() + root.size(), &names) != ERROR_SUCCESS || names.empty()) {
            return sim::LineError(error, l.number,
                                  "expected " + deny + ", " + create + " or " + grants);
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
    SimRegSetValue(path, name, REG_DWORD, DwordBytes(value));
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
    SubKey s;
    LONG error = BeginOpen("RegOpenKeyExA", hKey, lpSubKey, ulOptions, samDesired,
                           phkResult != nullptr, phkResult, &s);
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
    // Only persistent keys exist on this machine: options other than
    // REG_OPTION_NON_VOLATILE are refused rather than silently ignored.
    SubKey s;
    LONG error = BeginOpen("RegCreateKeyExA", hKey, lpSubKey, dwOptions, samDesired,
                           phkResult != nullptr && lpSubKey != nullptr && Reserved == 0 &&
                               dwOptions == REG_OPTION_NON_VOLATILE,
                           phkResult, &s);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    bool exists = s.key != nullptr;
    if (!exists && (s.parent.access & KEY_CREATE_SUB_KEY) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    REGSAM rights = samDesired;
    if (exists && !OpenRights(s.path, samDesired, &rights)) {
        return ERROR_ACCESS_DENIED;
    }
    // The first key to be made needs the right to create below its parent.
    for (size_t n = 0; !exists && n < s.names.size(); ++n) {
        std::vector<std::string> head(s.names.begin(), s.names.begin() + static_cast<long>(n) + 1);
        if (FindPath(s.parent.key, head) == nullptr) {
            head.pop_back();
            if ((KeyGrant(JoinPath(s.parent.path, head)) & KEY_CREATE_SUB_KEY) == 0) {
                return ERROR_ACCESS_DENIED;
            }
            break;
        }
    }
    bool created = false;
    *phkResult = NewHandle(MakePath(s.parent.key, s.names, &created), rights, s.path);
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    Handle h{};
    LONG error =
        BeginValueCall("RegQueryValueExA", hKey, lpValueName,
                       " size=" + (lpcbData ? std::to_string(*lpcbData) : std::string("NULL")) +
                           " data=" + (lpData ? "yes" : "NULL"),
                       &h);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((h.access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    auto it = h.key->values.find(sim::Lower(lpValueName ? lpValueName : ""));
    if (it == h.key->values.end()) {
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
    // Windows leaves a buffer that is too small undefined. Filling it with the
    // start of the data shows up any caller that uses it after this failure.
    const LONG result = lpData != nullptr && size > *lpcbData ? ERROR_MORE_DATA : ERROR_SUCCESS;
    if (lpData != nullptr) {
        v.data.copy(reinterpret_cast<char*>(lpData), std::min(size, *lpcbData));
    }
    *lpcbData = size;
    return result;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
    (void)Reserved;
    Handle h{};
    LONG error =
        BeginValueCall("RegSetValueExA", hKey, lpValueName,
                       " type=" + std::to_string(dwType) + " size=" + std::to_string(cbData), &h);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if ((h.access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::string lowerName = sim::Lower(lpValueName ? lpValueName : "");
    for (const auto& v : Registry().uncreatable) {
        if (v.first == h.path && v.second == lowerName && h.key->values.count(lowerName) == 0) {
            return kErrorNoSystemResources;
        }
    }
    if (lpData == nullptr && cbData != 0) {
        return kErrorNoAccess;
    }
    std::string data;
    if (lpData != nullptr) {
        data.assign(reinterpret_cast<const char*>(lpData), cbData);
    }
    PutValue(h.key, lpValueName ? lpValueName : "", dwType, data);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    LONG fail = static_cast<LONG>(sim::BeginCall({"RegCloseKey", HandleName(hKey)}));
    if (fail != 0) {
        return fail;
    }
    // Closing a predefined key does nothing.
    if (hKey != HKEY_LOCAL_MACHINE &&
        Registry().handles.erase(reinterpret_cast<uintptr_t>(hKey)) == 0) {
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

} // extern "C"
