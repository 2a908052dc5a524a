// The names the package's objects have in the print system, and the files the spooler's records
// of them point to. Each is spelled here once; the spooler compares names without regard to case.
#pragma once

constexpr wchar_t kPrinterName[] = L"Vexa Q52";
constexpr wchar_t kPrinterDriverName[] = L"Vexa Q52";
constexpr wchar_t kMonitorName[] = L"Vexa Q52 Language/Port Monitor";
constexpr wchar_t kMonitorDll[] = L"vexaktmon.dll";

// The printer driver's files by their role in its record; the component file table lists them
// in the order they are removed.
constexpr wchar_t kDriverPathFile[] = L"vexaktwxp.dll";
constexpr wchar_t kDriverDataFile[] = L"vexaktq52.pdf";
constexpr wchar_t kDriverConfigFile[] = L"vexaktgui.dll";
constexpr wchar_t kDriverHelpFile[] = L"vexaktenu.hlp";
constexpr const wchar_t* kDriverDependentFiles[] = {L"vexaktxps.dll", L"vexaktenu.cnt", L"vexaktenu.dll"};
