// Discovery of the card driver's settings key (the adapter key).
#pragma once

constexpr int kAdapterKeyPathSize = 128;

// The PC Card identification strings the card may be enumerated under, in
// search order, closed by a null entry.
extern const char* const g_CardIdTable[];

// Registry path below HKEY_LOCAL_MACHINE of the adapter key; valid only after
// FindAdapter returned 1.
extern char g_AdapterKeyPath[kAdapterKeyPathSize];

// Searches `table` (ending with a null entry) in order; returns 1 at the first
// row whose adapter key names the card, with g_AdapterKeyPath set, else 0.
int FindAdapter(const char* const* table);

// Tries one identification string; returns 1 when it leads to the card's key.
int ProbeAdapter(const char* id);

// Composes g_AdapterKeyPath for one identification string and the running
// Windows family; returns 1 when a path was composed.
int BuildAdapterKeyPath(const char* id);
