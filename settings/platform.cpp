// Identification of the running Windows family from the platform's version
// record.
#include "settings/platform.h"

#include "runtime/text.h"

#include <windows.h>

int g_OsFamily = kOsFamilyUnknown;
char g_OsDescription[kOsDescriptionSize];

namespace {

OSVERSIONINFOA g_VersionRecord;

} // namespace

int IdentifyPlatform(char* description) {
    g_OsFamily = kOsFamilyUnknown;
    g_VersionRecord.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(&g_VersionRecord)) {
        CopyTextCut(g_OsDescription, kOsDescriptionSize, "Unknown OS!");
    } else {
        const DWORD major = g_VersionRecord.dwMajorVersion;
        const DWORD minor = g_VersionRecord.dwMinorVersion;
        const char* format = nullptr;
        if (g_VersionRecord.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
            if (major < 4 || (major == 4 && minor == 0)) {
                g_OsFamily = kOsFamilyWin95;
                format = "WIN95 Versie %ld.%02ld %s Build %u";
            } else {
                g_OsFamily = kOsFamilyWin98;
                format = "WIN98 Versie %ld.%02ld %s Build %u";
            }
        } else if (g_VersionRecord.dwPlatformId == VER_PLATFORM_WIN32_NT) {
            if (major <= 4) {
                g_OsFamily = kOsFamilyNt4;
                format = "WINNT Versie %ld.%02ld %s Build %u";
            } else {
                g_OsFamily = kOsFamilyWin2000;
                format = "WIN2000 Versie %ld.%02ld %s Build %u";
            }
        }
        if (format != nullptr) {
            // The service pack text need not be terminated within its field,
            // and the description holds 127 characters: format from a
            // terminated copy into room for the longest possible text (two
            // 10-digit numbers, 127 characters, 5 digits and the format's own
            // 31 characters), then keep what fits.
            char servicePack[sizeof g_VersionRecord.szCSDVersion];
            CopyBytes(servicePack, g_VersionRecord.szCSDVersion, sizeof servicePack - 1);
            servicePack[sizeof servicePack - 1] = '\0';
            char text[256];
            wsprintfA(text, format, major, minor, servicePack,
                      static_cast<unsigned int>(g_VersionRecord.dwBuildNumber & 0xFFFF));
            CopyTextCut(g_OsDescription, kOsDescriptionSize, text);
        }
    }
    if (description != nullptr) {
        CopyBytes(description, g_OsDescription, kOsDescriptionSize);
    }
    return g_OsFamily;
}
