// The x86 DLL's kernel32 and C runtime imports beyond the seam's patched
// calls, served over the host and gathered here from their rooms
// (kernel32_threads, kernel32_files, kernel32_environment, msvcrt_heap):
// the state they share, its reset at each load, and the text conversions.
// Paths pass through as the host's (UTF-16 to UTF-8).
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "x86/system_state.h"

namespace x86 {

SystemState state;

std::uint32_t Fail(std::uint32_t error, std::uint32_t result) {
    state.lastError = error;
    return result;
}

std::uint32_t ErrorOf(int posixError) {
    switch (posixError) {
    case ENOENT:
        return kErrorFileNotFound;
    case ENOTDIR:
        return kErrorPathNotFound;
    case EEXIST:
        return kErrorFileExists;
    case EWOULDBLOCK:
        return kErrorSharingViolation;
    default:
        return kErrorAccessDenied;
    }
}

namespace {

void AppendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

std::string Utf8(const char16_t *text, long long length) {
    std::string out;
    for (long long i = 0; length < 0 ? text[i] != 0 : i < length; ++i) {
        char32_t c = text[i];
        const bool pair = c >= 0xD800 && c < 0xDC00 && (length < 0 || i + 1 < length) && text[i + 1] >= 0xDC00 &&
                          text[i + 1] < 0xE000;
        if (pair) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf16(const std::string &text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        char32_t c = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < text.size(); ++k) {
            c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::uint32_t ReturnWide(const std::u16string &text, Address buffer, std::uint32_t size) {
    const auto length = static_cast<std::uint32_t>(text.size());
    if (size <= length) {
        return length + 1; // the size needed, NUL included
    }
    auto *out = static_cast<char16_t *>(GuestBytes(buffer, (length + 1) * 2, "the string buffer"));
    if (out == nullptr) {
        return 0;
    }
    std::memcpy(out, text.c_str(), (length + 1) * 2);
    return length;
}

std::vector<HostImport> SystemImports() {
    std::vector<HostImport> all;
    for (auto family : {ThreadImports, FileImports, EnvironmentImports, HeapImports}) {
        const std::vector<HostImport> imports = family();
        all.insert(all.end(), imports.begin(), imports.end());
    }
    return all;
}

void ResetSystemState() {
    for (auto &[handle, fd] : state.files) {
        close(fd);
    }
    state = SystemState{};
}

} // namespace x86
