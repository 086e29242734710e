// What the bed's kernel32 and C runtime rooms share: the last error and
// the open files, the error codes they report, and the text conversions
// between the DLL's UTF-16 and the host's UTF-8.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "x86/imports.h"

namespace x86 {

// kernel32's error codes that the served calls set.
constexpr std::uint32_t kErrorFileNotFound = 2, kErrorPathNotFound = 3, kErrorAccessDenied = 5,
                        kErrorSharingViolation = 32, kErrorFileExists = 80, kErrorAlreadyExists = 183,
                        kErrorEnvvarNotFound = 203, kErrorInsufficientBuffer = 122, kErrorInvalidParameter = 87;

struct SystemState {
    std::uint32_t lastError = 0;
    std::map<std::uint32_t, int> files; // handle value to descriptor
    std::uint32_t nextFile = 1;
    std::vector<std::string> debugOutput; // what OutputDebugString was given, as UTF-8
};
extern SystemState state;

// Sets the last error to `error` and returns `result`.
std::uint32_t Fail(std::uint32_t error, std::uint32_t result = 0);
// kernel32's error for a host errno.
std::uint32_t ErrorOf(int posixError);
// UTF-16 to UTF-8; `length` < 0 reads up to the NUL.
std::string Utf8(const char16_t *text, long long length);
std::u16string Utf16(const std::string &text);
// Copies `text` and its NUL into the DLL's buffer of `size` characters:
// kernel32's rule for the calls that return a string's length.
std::uint32_t ReturnWide(const std::u16string &text, Address buffer, std::uint32_t size);

// Each family's imports.
std::vector<HostImport> ThreadImports();
std::vector<HostImport> FileImports();
std::vector<HostImport> EnvironmentImports();
std::vector<HostImport> HeapImports();

} // namespace x86
