// What the uninstaller's entry routine runs before the removal: the command line with the run
// flag it sets, the banner, and the two gates.
#pragma once

// Whether the removal is to run; written only by ParseArguments, read only by main.
extern bool g_bRunUninstall;

void ParseArguments(int argc, char* argv[]);
void PrintBanner();
// True when the operating system is supported (Windows NT 5.x).
bool CheckOSVersion();
// True when no later release of the package is installed, so the run may go on; false also when
// the key cannot be looked at, since then a later release cannot be ruled out.
bool CheckLaterVersion();
