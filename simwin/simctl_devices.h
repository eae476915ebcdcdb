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

extern "C" {
#include "testdriver/card_model.h"
}

#include <string>
#include <vector>

// How a card driver answers: the settings of the card model that answers
// under Wine too, starting as card_default_settings makes them, a ready
// driver of variant 1, version 6.14, whose firmware fits the program.
struct SimCardDriver : card_settings {
    SimCardDriver() : card_settings() { card_default_settings(this); }
    // The words a get of the identity or compatibility record returns, the
    // length word first; beyond CARD_MAX_RECORD_WORDS they are cut.
    void SetIdentity(const std::vector<WORD>& words);
    void SetCompatibility(const std::vector<WORD>& words);
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
// Every definition as "NAME=target", oldest first.
std::vector<std::string> SimDosNames();

// Device handles open now, in all or on one card driver.
int SimOpenHandleCount();
int SimOpenHandleCount(const std::string& device);
