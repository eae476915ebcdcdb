// Typed access to single registry values: the only code that calls the
// platform's registry functions. Each operation opens its key, does one value
// operation and closes the key again on every path.
//
// Reads go into a buffer of the operation's own and reach the caller's
// destination only on success: Windows may write into the buffer of a read
// that fails (ERROR_MORE_DATA leaves it undefined), and callers rely on a
// failed read leaving their destination as it was.
#include "settings/registry.h"

#include "runtime/text.h"

// The key is opened or made asking only for what a write needs: setting
// values, and creating keys below it. On NT a key's access list may let users
// do that and nothing more, and KEY_ALL_ACCESS, which also asks to delete the
// key and to change its permissions and owner, would be refused there. The
// Windows 95 line has no access lists and ignores the mask.
int WriteRegString(HKEY root, const char* subkey, const char* name, const char* text) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, &key,
                        &disposition) != ERROR_SUCCESS) {
        return 0;
    }
    const DWORD size = static_cast<DWORD>(TextLength(text) + 1);
    const LONG status =
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

int ReadRegString(HKEY root, const char* subkey, const char* name, char* dest, int destSize) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return 0;
    }
    // One byte beyond the limit for a terminator that the value lacks.
    char data[kRegStringLimit + 1];
    DWORD size = kRegStringLimit;
    DWORD type = REG_NONE;
    const LONG status =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || size > static_cast<DWORD>(kRegStringLimit)) {
        return 0;
    }
    // The bytes are taken as they are, whatever the value's type; data that
    // does not end in a zero byte gets one, so the caller always has text.
    int length = static_cast<int>(size);
    if (length == 0 || data[length - 1] != '\0') {
        data[length++] = '\0';
    }
    // What the caller uses is the text up to the first zero byte: bytes
    // after it that do not fit are dropped, a text that does not fit fails.
    int textEnd = 0;
    while (data[textEnd] != '\0') {
        ++textEnd;
    }
    if (textEnd >= destSize) {
        return 0;
    }
    CopyBytes(dest, data, length < destSize ? length : destSize);
    return 1;
}

int ReadRegNumber(HKEY root, const char* subkey, const char* name, int* number) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return 0;
    }
    // One byte beyond the limit to terminate a text that lacks a terminator.
    unsigned char data[kRegNumberLimit + 1];
    DWORD size = kRegNumberLimit;
    DWORD type = REG_NONE;
    const LONG status = RegQueryValueExA(key, name, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || size > static_cast<DWORD>(kRegNumberLimit)) {
        return 0;
    }
    if (type == REG_SZ) {
        data[size] = '\0';
        *number = ParseDecimal(reinterpret_cast<const char*>(data));
        return 1;
    }
    // The first 32-bit word, least significant byte first; a shorter value
    // gives its bytes, zero-extended.
    unsigned int value = 0;
    for (DWORD i = 0; i < size && i < 4; ++i) {
        value |= static_cast<unsigned int>(data[i]) << (8 * i);
    }
    *number = static_cast<int>(value);
    return 1;
}
