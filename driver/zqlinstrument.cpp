// zqlinstrument: installs the virtual Zelqa driver and serves the virtual
// instrument through it, so that any application with the real zqlusb.dll
// runs against the virtual instrument.
//   zqlinstrument install [--inf FILE]   the device node and its driver
//   zqlinstrument remove                 the device node (the driver stops)
//   zqlinstrument status                 device, driver and host state
//   zqlinstrument serve [--script TEXT]  plays the instrument until Ctrl-C
//   zqlinstrument --help                 the commands explained
#include <windows.h>
// windows.h first: setupapi.h and newdev.h need its types.
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "host.h"
#include "virtual_instrument/instrument.h"
#include "virtual_instrument/script.h"

namespace {

// The System setup class, which the INF names.
const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const char kInstanceId[] = "ROOT\\ZQLVIRT\\0000";
const char kInfName[] = "zqlvirt.inf";
// Installing right after the prefix's first start finds the service
// database locked for a while (error 1055): tries, one second apart.
constexpr int kInstallTries = 20;
// How long remove waits for the driver to stop, in steps of 100 ms.
constexpr int kStopSteps = 100;

// Exit statuses, as zqlscope's.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] = "usage: zqlinstrument COMMAND [options]\n"
                      "       zqlinstrument --help\n";

const char kHelp[] = "\n"
                     "Installs the virtual Zelqa driver and plays the virtual instrument behind it,\n"
                     "so that any program using zqlusb.dll runs as with the instrument plugged in.\n"
                     "\n"
                     "commands:\n"
                     "  install [--inf FILE]  install the driver and its device (default FILE:\n"
                     "                        zqlvirt.inf beside this program); needs an\n"
                     "                        administrator; reinstalling replaces the driver\n"
                     "  remove                remove the device and stop the driver\n"
                     "  status                whether the driver runs, a host serves, the\n"
                     "                        instrument can be found, and the driver's counts;\n"
                     "                        needs an administrator\n"
                     "  serve [--script TEXT] play the instrument until Ctrl-C; needs an\n"
                     "                        administrator (the driver gives the host role to\n"
                     "                        SYSTEM and Administrators only). TEXT scripts the\n"
                     "                        instrument as ZQLUSB_VIRTUAL_SCRIPT does, e.g.\n"
                     "                        --script \"unplug after=100; replug after=5\"\n"
                     "\n"
                     "A session: zqlinstrument install, then zqlinstrument serve in one window,\n"
                     "then the application (zqlscope info, say) in another. While nothing serves,\n"
                     "the instrument is not found, as when it is unplugged.\n"
                     "Exit status: 0 done, 1 failed, 2 a mistake in the command line, 130 serve\n"
                     "stopped by Ctrl-C.\n";

int Usage() {
    std::fprintf(stderr, "%s(zqlinstrument --help explains the commands)\n", kUsage);
    return kExitUsage;
}

int Help() {
    std::printf("%s%s", kUsage, kHelp);
    return kExitDone;
}

int Fail(const char *what) {
    std::fprintf(stderr, "zqlinstrument: %s (error %lu)\n", what, GetLastError());
    return 1;
}

std::string BesideProgram(const char *name) {
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    const std::size_t slash = dir.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : dir.substr(0, slash + 1)) + name;
}

// The device node, registered once; true when it exists now.
bool RegisterDeviceNode() {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    SP_DEVINFO_DATA node = {};
    node.cbSize = sizeof node;
    bool ok = false;
    if (SetupDiCreateDeviceInfoA(set, kInstanceId, &kSystemClass, nullptr, nullptr, 0, &node)) {
        static const char kIds[] = ZQLDRIVER_HARDWARE_ID "\0"; // a list: ends with two zeros
        ok = SetupDiSetDeviceRegistryPropertyA(set, &node, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(kIds),
                                               sizeof kIds) &&
             SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &node);
    } else {
        ok = GetLastError() == ERROR_DEVINST_ALREADY_EXISTS;
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

// Whether the driver file in the system's drivers folder is the one beside
// the INF: a copy refused (the old driver still loaded) leaves the old one.
bool InstalledFileIs(const std::string &inf) {
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    const std::string installed = std::string(system) + "\\drivers\\zqlvirt.sys";
    const std::string source = inf.substr(0, inf.find_last_of("\\/") + 1) + "zqlvirt.sys";
    auto read = [](const std::string &path) {
        std::string bytes;
        if (FILE *f = std::fopen(path.c_str(), "rb")) {
            char chunk[4096];
            for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
                bytes.append(chunk, n);
            }
            std::fclose(f);
        }
        return bytes;
    };
    const std::string wanted = read(source);
    return !wanted.empty() && read(installed) == wanted;
}

// Stops the driver's service, so that the driver unloads and its file can be
// replaced; true when it is stopped (or was not installed).
bool StopDriver() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return false;
    }
    SC_HANDLE service = OpenServiceA(manager, ZQLDRIVER_SERVICE, SERVICE_STOP | SERVICE_QUERY_STATUS);
    bool stopped = service == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    if (service != nullptr) {
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        for (int step = 0; step < kStopSteps && !stopped; ++step) {
            stopped = QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED;
            if (!stopped) {
                Sleep(100);
            }
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return stopped;
}

int Install(const std::string &inf) {
    char full[MAX_PATH] = {};
    if (GetFullPathNameA(inf.c_str(), MAX_PATH, full, nullptr) == 0 ||
        GetFileAttributesA(full) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "zqlinstrument: %s: no such INF file\n", inf.c_str());
        return 1;
    }
    if (!RegisterDeviceNode()) {
        return Fail("cannot register the device node");
    }
    for (int attempt = 1;; ++attempt) {
        BOOL reboot = FALSE;
        if (UpdateDriverForPlugAndPlayDevicesA(nullptr, ZQLDRIVER_HARDWARE_ID, full, INSTALLFLAG_FORCE, &reboot)) {
            break;
        }
        if (GetLastError() != ERROR_SERVICE_DATABASE_LOCKED || attempt == kInstallTries) {
            return Fail("cannot install the driver");
        }
        Sleep(1000);
    }
    if (!InstalledFileIs(full)) {
        std::fprintf(stderr,
                     "zqlinstrument: the installed zqlvirt.sys is not the one beside %s (an older driver still "
                     "loaded? zqlinstrument remove stops it)\n",
                     full);
        return 1;
    }
    std::printf("installed the virtual Zelqa driver (%s) for %s\n", full, kInstanceId);
    return 0;
}

int Remove() {
    HDEVINFO set = SetupDiGetClassDevsA(&kSystemClass, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) {
        return Fail("cannot list the system devices");
    }
    SP_DEVINFO_DATA node = {};
    node.cbSize = sizeof node;
    int removed = 0;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &node); ++i) {
        char id[256] = {};
        if (SetupDiGetDeviceInstanceIdA(set, &node, id, sizeof id, nullptr) && _stricmp(id, kInstanceId) == 0 &&
            SetupDiCallClassInstaller(DIF_REMOVE, set, &node)) {
            ++removed;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    if (removed == 0) {
        std::fprintf(stderr, "zqlinstrument: no virtual Zelqa device is installed\n");
        return 1;
    }
    if (!StopDriver()) {
        return Fail("removed the device, but the driver does not stop");
    }
    std::printf("removed the virtual Zelqa device %s and stopped its driver\n", kInstanceId);
    return 0;
}

int Status() {
    ZqlDriverStatus s = {};
    if (!zqlhost::QueryStatus(&s)) {
        if (GetLastError() == ERROR_ACCESS_DENIED) {
            std::printf("driver: running; its state is shown to administrators only (error 5, access denied)\n");
        } else {
            std::printf("driver: not running (install it with zqlinstrument install)\n");
        }
        return 1;
    }
    std::printf("driver: running\nhost: %s\ninterface: %s\nopen handles: %u\npending requests: %u\n"
                "requests answered: %u\nrequests refused by the driver: %u\n"
                "host answers made device errors (a status the driver does not pass on): %u\n",
                s.hostPresent ? "serving" : "none", s.interfaceEnabled ? "enabled" : "disabled", s.openHandles,
                s.pending, s.served, s.refused, s.replaced);
    return 0;
}

// Why the service ended, in words: what the driver's refusal of the host's
// next wait means here, and the error's number.
std::string ServiceEnd(DWORD code) {
    std::string why;
    if (code == ERROR_OPERATION_ABORTED) {
        // This program never stops its own host: the driver ended the wait.
        why = "the driver ended the service: the virtual device was removed or its driver stopped (as "
              "zqlinstrument remove does); error 995, operation aborted";
    } else if (code == ERROR_ACCESS_DENIED) {
        why = "the driver no longer takes this program as the host; error 5, access denied";
    } else {
        char text[256] = {};
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                       nullptr);
        std::string said = text;
        while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == '.')) {
            said.pop_back();
        }
        why = "the driver ended the service: " + (said.empty() ? std::string("an unknown error") : said) + "; error " +
              std::to_string(code);
    }
    return why + ". The instrument is gone until zqlinstrument serve runs again.";
}

BOOL WINAPI OnCtrlC(DWORD) {
    std::fprintf(stderr, "zqlinstrument: stopped; the instrument is gone\n");
    ExitProcess(130);
}

int Serve(const char *scriptText) {
    if (scriptText != nullptr) {
        std::string error;
        std::optional<vi::Script> script = vi::ParseScript(scriptText, &error);
        if (!script) {
            std::fprintf(stderr, "zqlinstrument: --script: %s\n", error.c_str());
            return 2;
        }
        vi::ApplyScript(vi::Device(), *script);
    }
    zqlhost::Host host;
    std::string error;
    if (!host.Attach(&error)) {
        std::fprintf(stderr, "zqlinstrument: %s\n", error.c_str());
        return 1;
    }
    SetConsoleCtrlHandler(OnCtrlC, TRUE);
    std::printf("serving the virtual Zelqa instrument; Ctrl-C ends\n");
    std::fflush(stdout);
    const DWORD code = host.Serve();
    std::fprintf(stderr, "zqlinstrument: %s\n", ServiceEnd(code).c_str());
    return kExitFailed;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        return Usage();
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            return Help();
        }
    }
    const std::string verb = argv[1];
    if (verb == "help" && argc == 2) {
        return Help();
    }
    if (verb == "install" && argc == 2) {
        return Install(BesideProgram(kInfName));
    }
    if (verb == "install" && argc == 4 && std::strcmp(argv[2], "--inf") == 0) {
        return Install(argv[3]);
    }
    if (verb == "remove" && argc == 2) {
        return Remove();
    }
    if (verb == "status" && argc == 2) {
        return Status();
    }
    if (verb == "serve" && argc == 2) {
        return Serve(nullptr);
    }
    if (verb == "serve" && argc == 4 && std::strcmp(argv[2], "--script") == 0) {
        return Serve(argv[3]);
    }
    return Usage();
}
