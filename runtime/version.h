// The program's name, variant and version, defined here once for every
// layer: what the V command prints, what the version resource of the Windows
// executable carries, the driver identity that the program demands of the
// installed card driver, and the name of the release package
// (tools/package.py). Plain defines so that the resource compiler and the
// build scripts can read this file too.
#pragma once

#define RCK_PROGRAM_NAME "RCKRV48.EXE"
#define RCK_VARIANT 1
#define RCK_VERSION_MAJOR 6
#define RCK_VERSION_MINOR 14
#define RCK_VERSION_TEXT "6.14"
