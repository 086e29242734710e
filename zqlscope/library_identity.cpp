#include "library_identity.h"

#include <cstdlib>
#include <vector>

#include "zqlusb.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#endif

namespace zqlscope {

namespace {

#if defined(_WIN32)
// Long enough for any path Windows hands out with the long-path prefix.
constexpr DWORD kMaxPath = 32768;

std::string Utf8(const wchar_t *text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return "";
    }
    std::string out(static_cast<std::size_t>(size - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

// The FileDescription of the first language the resource lists.
std::string FileDescription(const wchar_t *path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) {
        return "";
    }
    std::vector<unsigned char> info(size);
    if (!GetFileVersionInfoW(path, 0, size, info.data())) {
        return "";
    }
    struct Translation {
        WORD language, codePage;
    } *translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translation),
                        &length) ||
        length < sizeof *translation) {
        return "";
    }
    wchar_t key[64];
    wsprintfW(key, L"\\StringFileInfo\\%04x%04x\\FileDescription", translation->language, translation->codePage);
    wchar_t *text = nullptr;
    if (!VerQueryValueW(info.data(), key, reinterpret_cast<void **>(&text), &length) || length == 0) {
        return "";
    }
    return Utf8(text);
}
#endif

} // namespace

LibraryIdentity LoadedLibrary() {
    LibraryIdentity identity;
#if defined(_WIN32)
    HMODULE module = GetModuleHandleW(L"zqlusb.dll");
    if (module == nullptr) {
        return identity;
    }
    std::vector<wchar_t> path(kMaxPath);
    const DWORD length = GetModuleFileNameW(module, path.data(), kMaxPath);
    if (length == 0 || length >= kMaxPath) {
        return identity;
    }
    identity.path = Utf8(path.data());
    identity.description = FileDescription(path.data());
#else
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&USBInitDevice), &info) != 0 && info.dli_fname != nullptr) {
        std::error_code error;
        const std::filesystem::path full = std::filesystem::canonical(info.dli_fname, error);
        identity.path = error ? info.dli_fname : full.string();
    }
#endif
    return identity;
}

bool IsTraceBuild(const LibraryIdentity &library) {
    return library.description.find("trace build") != std::string::npos;
}

std::string TraceDestination() {
#if defined(_WIN32)
    std::vector<wchar_t> value(kMaxPath);
    const DWORD length = GetEnvironmentVariableW(L"ZQLUSB_TRACE", value.data(), kMaxPath);
    if (length > 0 && length < kMaxPath) {
        return Utf8(value.data());
    }
    std::vector<wchar_t> folder(MAX_PATH + 1);
    const DWORD at = GetTempPathW(MAX_PATH + 1, folder.data());
    const std::string temporary = at > 0 && at <= MAX_PATH ? Utf8(folder.data()) : std::string();
    return temporary + "zqlusb-" + std::to_string(GetCurrentProcessId()) + ".pcapng";
#else
    const char *value = std::getenv("ZQLUSB_TRACE");
    if (value != nullptr && *value != '\0') {
        return value;
    }
    const char *folder = std::getenv("TMPDIR");
    return std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/zqlusb-" +
           std::to_string(getpid()) + ".pcapng";
#endif
}

} // namespace zqlscope
