// Pushing a new first key into the running card driver.
#pragma once

// What a key push ends with. The dispatcher turns each into its result code.
enum PushOutcome {
    kPushed = 0,
    // The running driver is another variant or version, or did not tell.
    kPushWrongDriver = 5,
    // The device is not available or not usable, or refused the key.
    kPushNoDevice = 6
};

// Opens the driver's device, checks the driver's identity, sends a fresh key
// record holding `keyText` (five lower-case hexadecimal characters) as key 1,
// and closes the device.
PushOutcome PushKeyToDriver(const char* keyText);
