// Pushing a new first key into the running card driver.
#pragma once

// Opens the driver's device, checks the driver's identity, sends a fresh key
// record holding `keyText` (five lower-case hexadecimal characters) as key 1,
// and closes the device. Returns 0 pushed, 5 the running driver is another
// variant or version, 6 the device is not available or refused the key.
int PushKeyToDriver(const char* keyText);
