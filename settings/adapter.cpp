// Discovery of the card driver's settings key (the adapter key): tries the
// PC Card identification strings in order, derives each candidate key from
// the Windows family, and accepts a key whose "VendorDescription" names the
// card exactly.
#include "settings/adapter.h"

#include "runtime/text.h"
#include "settings/platform.h"
#include "settings/registry.h"

#include <windows.h>

const char* const g_CardIdTable[] = {
    "KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-4E21",
    "KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-9A07",
    "KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-D3B5",
    "TMX-AirLoom/IEEE-2C68",
    "TMX-AirLoom/IEEE-F170",
    nullptr,
};

char g_AdapterKeyPath[kAdapterKeyPathSize];

namespace {

const int kEnumKeySize = 256;
const int kDriverValueSize = 256;
const int kVendorDescriptionSize = 128;

const char kVendorDescription[] = "CORVANE PC Card";

// NT 4 keeps the settings under the driver's service instance; the instance
// digit is the 12th character from the end of the path, before "\Parameters".
const int kNtInstanceFromEnd = 12;
const char kNtFirstInstance = '1';
const char kNtLastInstance = '9';

// Where each Windows family enumerates the card and keeps its driver's class
// settings. The instance "\0" or "\1" is the card's enumeration instance.
struct EnumLayout {
    const char* enumPrefix;
    const char* instance;
    const char* classPrefix;
};
const EnumLayout kWin9xLayout = {"Enum\\PCMCIA\\", "\\0",
                                 "System\\CurrentControlSet\\Services\\Class\\"};
const EnumLayout kWin2000Layout = {"System\\CurrentControlSet\\Enum\\PCMCIA\\", "\\1",
                                   "System\\CurrentControlSet\\Control\\Class\\"};

// Reads the card's "Driver" value from its enumeration entry and sets the
// adapter key path to the class key it names. Neither the enumeration key
// nor the adapter key path may be cut short: a path that does not fit fails
// the row, and the adapter key path is then left as it was.
int BuildFromEnumeration(const EnumLayout& layout, const char* id) {
    char enumKey[kEnumKeySize];
    if (!CopyText(enumKey, kEnumKeySize, layout.enumPrefix) ||
        !AppendText(enumKey, kEnumKeySize, id) ||
        !AppendText(enumKey, kEnumKeySize, layout.instance)) {
        return 0;
    }
    char driver[kDriverValueSize];
    if (!ReadRegString(HKEY_LOCAL_MACHINE, enumKey, "Driver", driver, kDriverValueSize)) {
        return 0;
    }
    char path[kAdapterKeyPathSize];
    if (!CopyText(path, kAdapterKeyPathSize, layout.classPrefix) ||
        !AppendText(path, kAdapterKeyPathSize, driver)) {
        return 0;
    }
    CopyText(g_AdapterKeyPath, kAdapterKeyPathSize, path);
    return 1;
}

// 1 when the adapter key path names a key whose "VendorDescription" is the
// card's, byte for byte. A longer value cannot fit and so cannot match.
int NamesTheCard() {
    char vendor[kVendorDescriptionSize];
    return ReadRegString(HKEY_LOCAL_MACHINE, g_AdapterKeyPath, "VendorDescription", vendor,
                         kVendorDescriptionSize) &&
           TextEqual(vendor, kVendorDescription);
}

} // namespace

int BuildAdapterKeyPath(const char* id) {
    switch (g_OsFamily) {
    case kOsFamilyWin95:
    case kOsFamilyWin98:
        return BuildFromEnumeration(kWin9xLayout, id);
    case kOsFamilyWin2000:
        return BuildFromEnumeration(kWin2000Layout, id);
    case kOsFamilyNt4:
        wsprintfA(g_AdapterKeyPath, "%s\\RN%s521\\Parameters",
                  "System\\CurrentControlSet\\Services", "KRV");
        return 1;
    default:
        g_AdapterKeyPath[0] = '\0';
        return 0;
    }
}

int ProbeAdapter(const char* id) {
    if (!BuildAdapterKeyPath(id)) {
        return 0;
    }
    if (g_OsFamily != kOsFamilyNt4) {
        return NamesTheCard();
    }
    char* instance = g_AdapterKeyPath + TextLength(g_AdapterKeyPath) - kNtInstanceFromEnd;
    for (char digit = kNtFirstInstance; digit <= kNtLastInstance; ++digit) {
        *instance = digit;
        if (NamesTheCard()) {
            return 1;
        }
    }
    return 0;
}

int FindAdapter(const char* const* table) {
    for (int row = 0; table[row] != nullptr; ++row) {
        if (ProbeAdapter(table[row])) {
            return 1;
        }
    }
    return 0;
}
