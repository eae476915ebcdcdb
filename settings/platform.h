// Identification of the running Windows family.
#pragma once

// OS family codes; compared for equality, never combined.
enum OsFamily {
    OS_FAMILY_UNKNOWN = 0,
    OS_FAMILY_WIN95 = 1,
    OS_FAMILY_WIN98 = 2,
    OS_FAMILY_NT4 = 4,
    OS_FAMILY_WIN2000 = 8
};

const int OS_DESCRIPTION_SIZE = 128;

// Process-wide results of IdentifyPlatform.
extern int g_OsFamily;
extern char g_OsDescription[OS_DESCRIPTION_SIZE];

// Asks the platform for its version and sets g_OsFamily and
// g_OsDescription. When `description` is given (room for 128 bytes) the
// description is copied into it. Returns the OS family code; a failed
// version query gives 0 and the description "Unknown OS!".
int IdentifyPlatform(char* description);
