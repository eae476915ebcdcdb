// The channel to the card driver: the process-wide record of the open driver
// device with its request block, and the requests exchanged through it.
//
// Results are 16-bit codes (0 to 65535) where 0 means success: the driver's
// status passed through, or one of the program's own results of
// driver/protocol.h (66 call failed or no device open, 255 refused).
#pragma once

#include "driver/protocol.h"

#include <windows.h>

constexpr int kDeviceNameSize = 64;
constexpr int kTargetPathSize = 80;

// The open driver device. All zero before the first open; a successful close
// clears it again, with the handle set to INVALID_HANDLE_VALUE.
struct DriverChannel {
    unsigned char requestBlock[kRequestBlockSize];
    // 0 while no device is open; otherwise the driver family opened (41, 48, 52).
    unsigned int driverId;
    // Set by a successful control request 11, cleared by one with 12.
    unsigned int controlFlag;
    HANDLE device;
    // 1 when this process created the DOS device name of the open device and
    // must remove it again.
    unsigned int nameDefined;
};

extern DriverChannel g_Channel;

// The DOS device name of the open device and its target path, kept for the
// removal of a name this process defined. Also the VxD file name on the 9x
// family.
extern char g_DosDeviceName[kDeviceNameSize];
extern char g_DosTargetPath[kTargetPathSize];

// The device control call through which every request reaches the driver:
// the control code kDriverControlCode, the 4-byte input kDriverInputValue,
// and `block` (a request block of kRequestBlockSize bytes) as output buffer.
// `size` gives the output size, which is never taken larger than a request
// block, and receives the bytes-returned count. Writes nothing into the block
// itself. Returns nonzero when the call succeeded.
BOOL CallDriverDevice(HANDLE device, unsigned char* block, DWORD* size);

// One device control call on the channel's device with `block` as output
// buffer, after setting its status to 0; `size` as for CallDriverDevice.
// Returns the status the driver left in the block, or 66 when the call failed.
int ExchangeRequest(DWORD* size, unsigned char* block);

// Asks the driver for the record whose length and type are set in `record`
// (words: length, type, data). A length above 4097 is asked for as 4097.
// On result 0 or 8 the reply is copied into `record`: its length word
// becomes the length the driver returned (which may exceed what was asked),
// then its type and as many data words as both lengths allow; later words
// keep their content. Any other result copies nothing. A null record is
// asked for as length 0, type 0.
int GetDriverRecord(unsigned short* record);

// Sends `record` (words: length, type, data), a length above 4097 cut to
// 4097. Returns 66 without sending when no device is open, else the result
// of the exchange. A null record is sent as length 0, type 0.
int PutDriverRecord(const unsigned short* record);

// Sends a control request with `subCode` (4, 6, 11, 12 or 128); the data
// area goes as the previous exchange left it. Returns 66 when no device is
// open, 255 for any other sub-code (nothing is sent), else the result of the
// exchange. Success with 11 sets the control flag, with 12 clears it.
int ControlDriver(int subCode);

// Tells the driver the program is done, closes the device handle and
// removes the DOS device name this process defined, then clears the channel.
// Returns 0 also when no device was open. Returns 255 when the close request
// failed or the driver did not answer it with status 0 (the device stays
// open), or when the DOS device name could not be removed (the handle is
// already closed; the channel still records the device).
int CloseDriverDevice();

// Removes the DOS device name in g_DosDeviceName, which this process defined
// with the target g_DosTargetPath, and only that definition. Returns 0, or
// 255 when it could not be removed.
int RemoveDefinedDosName();

// Lets go of the device without asking the driver: closes the handle if it is
// still held, removes the DOS device name this process defined, and clears
// the channel. For a device that cannot or need not be closed politely, so
// that nothing of it outlives the run. Returns 0, or 255 when the DOS device
// name could not be removed (the channel is cleared all the same).
int ReleaseDriverDevice();

// Ends the use of the open device: closes it politely (CloseDriverDevice),
// and when the driver does not acknowledge the close, lets go of it all the
// same (ReleaseDriverDevice), so that no handle or DOS device name outlives
// the run. The channel is closed afterwards.
void EndDriverDevice();
