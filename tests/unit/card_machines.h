// The machines that the fault sweep and the fuzz target of the card
// driver's replies run their commands on, one for each Windows family: the
// card installed (on Windows 2000 under the second identification string,
// on NT 4 under service instance 2, so that the search passes a failing read
// first), with profile 1 active.
#pragma once

#include "keyrecord/keyrecord.h"
#include "simwin/simctl_registry.h"

#include <string>

const char kProfileSsid[] = "office-net";

struct CardMachine {
    int family;
    const char* windows; // the [Windows] section of the machine file
    // The fault sweep's card driver, busy once so that the retry path runs
    // too. On Windows 2000 the device's DOS name exists already and the name
    // tried before it does not.
    const char* devices;
    const char* enumKey; // the card's enumeration key, null on NT 4
    const char* adapter;
};

const CardMachine kCardMachines[] = {
    {1, "PlatformId=1\nMajorVersion=4\nMinorVersion=0\nBuildNumber=950\n",
     "[Device RUKRV41.VXD]\nBusy=1\n", "Enum\\PCMCIA\\KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-4E21\\0",
     "System\\CurrentControlSet\\Services\\Class\\Net\\0003"},
    {2, "PlatformId=1\nMajorVersion=4\nMinorVersion=10\nBuildNumber=1998\n",
     "[Device RUKRV48.VXD]\nBusy=1\n", "Enum\\PCMCIA\\KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-4E21\\0",
     "System\\CurrentControlSet\\Services\\Class\\Net\\0003"},
    {4, "PlatformId=2\nMajorVersion=4\nMinorVersion=0\nBuildNumber=1381\n",
     "[Device RNKRV522]\nBusy=1\n", nullptr,
     "System\\CurrentControlSet\\Services\\RNKRV522\\Parameters"},
    {8, "PlatformId=2\nMajorVersion=5\nMinorVersion=0\nBuildNumber=2195\n",
     "[Device PcCard0-1]\nBusy=1\n[DosDevices]\nPcCard0-1=\\Device\\PcCard0-1\n",
     "System\\CurrentControlSet\\Enum\\PCMCIA\\KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-9A07\\1",
     "System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007"},
};

// The card's settings in the registry of the loaded machine.
inline void InstallCard(const CardMachine& m) {
    const std::string a = m.adapter;
    if (m.enumKey != nullptr) {
        SimRegSetString(m.enumKey, "Driver", a.substr(a.find("Class\\") + 6));
    }
    SimRegSetString(a, "VendorDescription", "CORVANE PC Card");
    SimRegSetString(a, "DriverVariant", "1");
    SimRegSetDword(a, "DriverMajor", 6);
    SimRegSetString(a, "DriverMinor", "14");
    SimRegSetString(a, "ConfigType", "1");
    SimRegSetString(a, "DesiredSSID", "corvane");
    SimRegSetString(a, "Encryption", g_DefaultKeyRecordText);
    for (const char* profile : {"\\Config01", "\\Config02"}) {
        SimRegSetString(a + profile, "ConfigName", profile + 1);
        SimRegSetString(a + profile, "Encryption", g_DefaultKeyRecordText);
    }
    SimRegSetString(a + "\\Config01", "DesiredSSID", kProfileSsid);
}
