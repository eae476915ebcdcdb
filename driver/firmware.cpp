// The firmware compatibility check; see firmware.h.
#include "driver/firmware.h"

#include "driver/channel.h"

const CompatibilityRow g_CompatibilityTable[kCompatibilityRows] = {
    {41, 1, 99},
    {48, 1, 99},
    {51, 1, 99},
    {52, 1, 99},
};

namespace {

// Process-wide, like every record the channel exchanges.
unsigned short g_CompatibilityRecord[kCompatibilityRecordLength + 1];

} // namespace

int CheckFirmwareCompatibility() {
    unsigned short* record = g_CompatibilityRecord;
    // Words the reply does not reach stay 0 and so match no row.
    for (unsigned short& word : g_CompatibilityRecord) {
        word = 0;
    }
    record[0] = kCompatibilityRecordLength;
    record[1] = kCompatibilityRecordType;
    int result = GetDriverRecord(record);
    if (result != kStatusSuccess) {
        return result;
    }
    unsigned short number = record[RecordDataWord(kCompatibilityNumberWord)];
    unsigned short lowest = record[RecordDataWord(kCompatibilityLowestWord)];
    unsigned short highest = record[RecordDataWord(kCompatibilityHighestWord)];
    for (const CompatibilityRow& row : g_CompatibilityTable) {
        if (row.number == number && row.lowest <= highest && row.highest >= lowest) {
            return kStatusSuccess;
        }
    }
    return kResultIncompatible;
}
