// What the fuzz targets share: a scratch directory for the process, machines made in it, and the
// checks every input ends with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// A directory of this process (in memory when /dev/shm is there), removed at exit.
const std::string& Scratch();

// Creates SCRATCH/NAME from the default built-in image (replacing what is there) and returns it.
std::string NewMachine(const std::string& name);

// Imports a .reg text into the current machine.
void ImportReg(const std::string& text);

// The logger of the current process reads HKLM\SOFTWARE\Vexa\<program>\Logger: every line at
// trace level, to standard error only.
std::string TraceToConsole(const std::string& program);

// Stops the process (a finding) when the machine holds a handle: every input must give back
// what it opened.
void CheckNoOpenHandles(const char* after);

[[noreturn]] void Finding(const std::string& what);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const void* data, size_t size);
inline void WriteFile(const std::string& path, const std::string& text) { WriteFile(path, text.data(), text.size()); }

}  // namespace fuzz
