// The firmware compatibility check that ends the opening of the driver's
// device: the driver's compatibility record must fit the program's table.
#pragma once

// One row of the compatibility table: a firmware number and the range of
// values the program works with for it.
struct CompatibilityRow {
    unsigned short number;
    unsigned short lowest;
    unsigned short highest;
};

constexpr int kCompatibilityRows = 4;
extern const CompatibilityRow g_CompatibilityTable[kCompatibilityRows];

// Reads the compatibility record of the open device and looks for a table row
// with the record's number whose range overlaps the record's range. Returns
// 0 when one matches, 65 when none does (also when the reply left the number
// unfilled), or the nonzero result of reading the record (66 the call
// failed, else the driver's status, 8 included). The device stays open.
int CheckFirmwareCompatibility();
