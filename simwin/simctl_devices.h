// Device controls of the simulated Windows machine, for tests: the DOS device
// names, the card drivers behind device objects and VxD files, what the card
// drivers received, and the open device handles. They reach the machine
// directly: nothing here is logged or can be made to fail.
//
// A card driver is named like its section in the machine file: an NT device
// object below \Device\ ("PcCard0-0", reached on the NT line through a DOS
// device name whose target is "\Device\PcCard0-0"), or a VxD file name
// ending in ".VXD" ("RUKRV48.VXD", opened as "\\.\RUKRV48.VXD" on the
// Windows 95 line). Names compare case-insensitively.
//
// What the device functions record in the call log (SimCallLog), after the
// function name and a space:
//   CreateFileA      <path>
//   DeviceIoControl  <device or 0x<handle>> 0x<code> cmd=<n> len=<n> type=0x<hex> size=<n>
//                    (command, record length and type as the output buffer held
//                    them before the call, and the output size)
//   CloseHandle      <device or 0x<handle>>
//   QueryDosDeviceA  <name or NULL>
//   DefineDosDeviceA <flags> <name or NULL> <target or NULL>
// Device handles start at 0x200 after every reset and go up by 4; a closed
// handle's number is not given out again until the next reset.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Status a card driver gives any request but the probe that does not carry
// the context value of its probe reply on the same handle.
const WORD kSimStatusUnknownContext = 67;
// Status a card driver gives a get record request for a type it does not
// know, and a request with an unknown command.
const WORD kSimStatusUnknownRequest = 255;

// How a card driver answers. The defaults are a ready driver of variant 1,
// version 6.14, whose firmware fits the program.
struct SimCardDriver {
    // The probe answers busy (68) this many times, then with probeStatus,
    // and with status 0 also gives the context value.
    int busy = 0;
    WORD probeStatus = 0;
    DWORD context = 0x00010001;
    // The records a get request returns: all their words, the length word
    // first, written from offset 8 of the request block as they stand, so a
    // short list is a short reply and the length word need not match the
    // words that follow. Written only with status 0 or 8.
    std::vector<WORD> identity = {5, 0x0826, 0, 1, 6, 14};
    std::vector<WORD> compatibility = {6, 0x0827, 0, 0, 48, 1, 99};
    // The status of each request kind.
    WORD identityStatus = 0;
    WORD compatibilityStatus = 0;
    WORD keyTextStatus = 0; // put record of type 0x0900
    WORD putStatus = 0;     // put record of any other type
    WORD controlStatus = 0;
    WORD closeStatus = 0;
    // The close request is taken but its status is not written.
    bool silentClose = false;
    // More requests taken without a status: CARD_SILENT_* bits of
    // testdriver/card_model.h (probe, identity, compatibility, key text,
    // other put, control, close).
    unsigned silent = 0;
    // CreateFileA on the device fails with this error (0: opens).
    DWORD openError = 0;
    // Every DeviceIoControl on the device fails with this error (0: works).
    DWORD callError = 0;
    // Per kind of request (probe, get, put, control, close, in that order):
    // its calls fail with this error (0: none), only the attempt-th call of
    // that kind counted from 1, or every one when attempt is 0.
    DWORD kindError[5] = {0, 0, 0, 0, 0};
    unsigned kindAttempt[5] = {0, 0, 0, 0, 0};
};

// What a card driver received, in order.
struct SimCardDriverLog {
    int probes = 0;
    // The characters of every key text record put (type 0x0900).
    std::vector<std::string> keyTexts;
    // Every other record put: its words, the length word first.
    std::vector<std::vector<WORD>> puts;
    // The sub-code of every control request.
    std::vector<int> controls;
    int closes = 0;
    // Every get request: the length and type it asked for.
    std::vector<std::vector<WORD>> gets;
    // One line for every call the program should not have made in that
    // form, such as "close length 5, type 0x0826".
    std::vector<std::string> wrongs;
};

// Adds a card driver, or replaces the one of that name with a fresh log.
void SimAddCardDriver(const std::string& name, const SimCardDriver& driver = SimCardDriver());
// The settings of a card driver, to change between calls; null when absent.
SimCardDriver* SimCardDriverSettings(const std::string& name);
// What a card driver received; empty for a name that does not exist.
SimCardDriverLog SimCardDriverReceived(const std::string& name);

// Defines a DOS device name on top of any earlier definitions, with `target`
// taken as given (a raw target path such as "\Device\PcCard0-0").
void SimDefineDosName(const std::string& name, const std::string& target);
// The current target of a DOS device name; false when it is not defined.
bool SimDosNameTarget(const std::string& name, std::string* target);
// Every definition as "NAME=target", oldest first.
std::vector<std::string> SimDosNames();

// Device handles open now, in all or on one card driver.
int SimOpenHandleCount();
int SimOpenHandleCount(const std::string& device);
