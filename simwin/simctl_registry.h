// Registry controls of the simulated Windows machine, for tests. They reach
// the registry directly: nothing here is logged or can be made to fail.
//
// The simulated registry has the one root HKEY_LOCAL_MACHINE; every path
// here is relative to it, backslash-separated, without a leading backslash
// ("" is the root itself). Key and value names compare case-insensitively
// and keep the case they were created with; "/" is an ordinary character of
// a key name. An empty value name is the key's default value.
//
// What the registry functions record in the call log (SimCallLog), after the
// function name and a space. A root is "HKEY_LOCAL_MACHINE" (or another
// predefined name), an open key handle its number such as "0x1000":
//   RegOpenKeyExA    <root>\<subkey> options=0x<hex> access=0x<hex>
//   RegCreateKeyExA  <root>\<subkey> options=0x<hex> access=0x<hex>
//   RegQueryValueExA <handle> "<name>" size=<*lpcbData or NULL> data=<yes|NULL>
//   RegSetValueExA   <handle> "<name>" type=<n> size=<cbData>
//   RegCloseKey      <handle>
// A NULL subkey is logged as "<root>\(null)", a NULL value name as "(null)".
// Handle numbers start at 0x1000 after every reset and go up by 4; a closed
// handle's number is never given out again until the next reset.
#pragma once

#include <windows.h>

#include <string>

// Number of key handles opened or created and not yet closed.
int SimOpenKeyCount();

// Creates `path` and any missing keys above it and sets a value of any type
// to the raw bytes of `data` (a REG_SZ keeps exactly the bytes given: add
// the terminator yourself).
void SimRegSetValue(const std::string& path, const std::string& name, DWORD type,
                    const std::string& data);
// Shorthands: a REG_SZ of `text` with its terminator, a 4-byte REG_DWORD.
void SimRegSetString(const std::string& path, const std::string& name, const std::string& text);
void SimRegSetDword(const std::string& path, const std::string& name, DWORD value);
// Creates `path` and any missing keys above it.
void SimRegCreateKey(const std::string& path);

// True when the key exists.
bool SimRegKeyExists(const std::string& path);
// True when the value exists; its type and raw bytes go to `type` and `data`
// (either may be null).
bool SimRegGetValue(const std::string& path, const std::string& name, DWORD* type,
                    std::string* data);
// Number of keys in the registry, the root not counted.
int SimRegKeyCount();

// The registry as the machine file holds it (the lines after "REGEDIT4").
std::string SimRegExportText();
