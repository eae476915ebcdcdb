// Identification of the running Windows family.
#pragma once

// OS family codes; compared for equality, never combined.
enum OsFamily {
    kOsFamilyUnknown = 0,
    kOsFamilyWin95 = 1,
    kOsFamilyWin98 = 2,
    kOsFamilyNt4 = 4,
    kOsFamilyWin2000 = 8
};

constexpr int kOsDescriptionSize = 128;

// Process-wide results of IdentifyPlatform.
extern int g_OsFamily;
extern char g_OsDescription[kOsDescriptionSize];

// Asks the platform for its version and sets g_OsFamily and
// g_OsDescription. When `description` is given (room for 128 bytes) the
// description is copied into it. Returns the OS family code; a failed
// version query gives 0 and the description "Unknown OS!".
int IdentifyPlatform(char* description);
