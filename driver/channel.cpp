// The request block exchange with the card driver; see channel.h.
#include "driver/channel.h"

#include "runtime/text.h"

DriverChannel g_Channel;
char g_DosDeviceName[kDeviceNameSize];
char g_DosTargetPath[kTargetPathSize];

namespace {

// Not const: the platform's declaration takes a writable input buffer.
unsigned char g_InputValue[kDriverInputSize] = {
    static_cast<unsigned char>(kDriverInputValue),
    static_cast<unsigned char>(kDriverInputValue >> 8),
    static_cast<unsigned char>(kDriverInputValue >> 16),
    static_cast<unsigned char>(kDriverInputValue >> 24)};

// Before the first open the handle is 0, after a close INVALID_HANDLE_VALUE;
// neither is a device.
int HoldsHandle() {
    return g_Channel.device != 0 && g_Channel.device != INVALID_HANDLE_VALUE;
}

void ClearChannel() {
    FillBytes(&g_Channel, 0, sizeof g_Channel);
    g_Channel.device = INVALID_HANDLE_VALUE;
}

void SetRequest(unsigned short command, unsigned short length, unsigned short type) {
    unsigned char* block = g_Channel.requestBlock;
    PutWord16(block + kCommandOffset, command);
    PutWord16(block + kRecordLengthOffset, length);
    PutWord16(block + kRecordTypeOffset, type);
}

// Sets a get or put request for `record` (words: length, type, data): its
// length, cut to 4097, and its type; a null record, or one of length 0, which
// has no type word, as length 0, type 0. Returns the length set.
unsigned short SetRecordRequest(unsigned short command, const unsigned short* record) {
    unsigned short length = 0;
    unsigned short type = 0;
    if (record != nullptr) {
        length = record[0] > kMaxRecordLength ? static_cast<unsigned short>(kMaxRecordLength)
                                              : record[0];
        type = length > 0 ? record[1] : 0;
    }
    SetRequest(command, length, type);
    return length;
}

int Exchange() {
    DWORD size = kRequestBlockSize;
    return ExchangeRequest(&size, g_Channel.requestBlock);
}

} // namespace

BOOL CallDriverDevice(HANDLE device, unsigned char* block, DWORD* size) {
    // The driver writes its reply anywhere within the output size it is
    // given, so the size never exceeds the block.
    DWORD outputSize = *size > static_cast<DWORD>(kRequestBlockSize) ? kRequestBlockSize : *size;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, kDriverControlCode, g_InputValue, kDriverInputSize, block,
                              outputSize, &returned, nullptr);
    *size = returned;
    return ok;
}

int ExchangeRequest(DWORD* size, unsigned char* block) {
    PutWord16(block + kStatusOffset, kStatusSuccess);
    return CallDriverDevice(g_Channel.device, block, size) ? GetWord16(block + kStatusOffset)
                                                           : kResultNoDevice;
}

int GetDriverRecord(unsigned short* record) {
    unsigned short asked = SetRecordRequest(kCommandGetRecord, record);
    int result = Exchange();
    if (record != nullptr && (result == kStatusSuccess || result == kStatusPartial)) {
        const unsigned char* reply = g_Channel.requestBlock + kRecordOffset;
        unsigned short returned = GetWord16(reply);
        // Never more words than the caller's record holds.
        int words = (returned < asked ? returned : asked) + 1;
        for (int i = 0; i < words; ++i) {
            record[i] = GetWord16(reply + 2 * i);
        }
    }
    return result;
}

int PutDriverRecord(const unsigned short* record) {
    if (g_Channel.driverId == 0) {
        return kResultNoDevice;
    }
    unsigned short length = SetRecordRequest(kCommandPutRecord, record);
    unsigned char* data = g_Channel.requestBlock + kRecordDataOffset;
    for (int i = 0; i + 1 < length; ++i) {
        PutWord16(data + 2 * i, record[RecordDataWord(i)]);
    }
    return Exchange();
}

int ControlDriver(int subCode) {
    if (g_Channel.driverId == 0) {
        return kResultNoDevice;
    }
    int accepted = 0;
    for (unsigned short code : kAcceptedControlCodes) {
        accepted = accepted || subCode == code;
    }
    if (!accepted) {
        return kResultRefused;
    }
    SetRequest(kCommandControl, kMaxRecordLength, static_cast<unsigned short>(subCode));
    int result = Exchange();
    if (result == kStatusSuccess && subCode == kControlEnable) {
        g_Channel.controlFlag = 1;
    } else if (result == kStatusSuccess && subCode == kControlDisable) {
        g_Channel.controlFlag = 0;
    }
    return result;
}

int CloseDriverDevice() {
    if (g_Channel.driverId != 0) {
        unsigned char* block = g_Channel.requestBlock;
        // Not through ExchangeRequest: the preset status tells a driver that
        // never answered from one that answered 0.
        PutWord16(block + kStatusOffset, kStatusClosePreset);
        SetRequest(kCommandClose, 0, 0);
        DWORD size = kRequestBlockSize;
        if (!CallDriverDevice(g_Channel.device, block, &size)) {
            return kResultRefused;
        }
        if (GetWord16(block + kStatusOffset) != kStatusSuccess) {
            return kResultRefused;
        }
        if (HoldsHandle()) {
            CloseHandle(g_Channel.device);
            g_Channel.device = INVALID_HANDLE_VALUE;
        }
        if (g_Channel.nameDefined && RemoveDefinedDosName() != 0) {
            return kResultRefused;
        }
    }
    ClearChannel();
    return kStatusSuccess;
}

int RemoveDefinedDosName() {
    return DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                            g_DosDeviceName, g_DosTargetPath)
               ? 0
               : kResultRefused;
}

int ReleaseDriverDevice() {
    if (HoldsHandle()) {
        CloseHandle(g_Channel.device);
    }
    int result = g_Channel.nameDefined ? RemoveDefinedDosName() : 0;
    ClearChannel();
    return result;
}

void EndDriverDevice() {
    if (CloseDriverDevice() != kStatusSuccess) {
        ReleaseDriverDevice();
    }
}
