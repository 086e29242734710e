// The driver lanes' test bed: the shipping zqlusb.dll loaded as it ships,
// its SetupAPI, CreateFileA, DeviceIoControl and MessageBoxA calls Wine's
// own, reaching the virtual instrument through the virtual Zelqa driver.
// This process is the driver's host: a thread serves the test's instrument
// (vi::Device()), so its counters and log read as with the stand-in. The
// retry dialog is Wine's real MessageBoxA; a thread timer, which fires in
// the dialog's message loop, finds it, checks it and clicks the answer.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "host.h"
#include "support/library.h"
#include "virtual_instrument/instrument.h"
#include "virtual_instrument/replay.h"

namespace testbed {

namespace {
const char kDllName[] = "zqlusb.dll";
const char kDialogCaption[] = "Zelqa not ready";
// How often the timer looks for a dialog: often enough to keep the tests quick.
constexpr UINT kDialogPollMs = 5;

HMODULE module = nullptr;
int generation = 0;
zqlhost::Host *host = nullptr;
HANDLE control = INVALID_HANDLE_VALUE; // for syncs and status
std::uint32_t answeredBefore = 0;
UINT_PTR dialogTimer = 0;
std::set<HWND> dialogsInHand; // dialogs whose answer is being prepared (nested ones differ)

[[noreturn]] void Fatal(const std::string &what) {
    std::fprintf(stderr, "test bed: %s (error %lu)\n", what.c_str(), GetLastError());
    std::abort();
}

DWORD WINAPI ServeThread(LPVOID) {
    const DWORD code = host->Serve();
    std::fprintf(stderr, "test bed: the host stopped serving (error %lu)\n", code);
    return code;
}

void StartHost() {
    host = new zqlhost::Host();
    std::string error;
    if (!host->Attach(&error)) {
        Fatal(error + " (tools/wine-driver prepare installs it)");
    }
    control = zqlhost::OpenControl();
    if (control == INVALID_HANDLE_VALUE || CreateThread(nullptr, 0, ServeThread, nullptr, 0, nullptr) == nullptr) {
        Fatal("cannot start the host");
    }
}

std::string TextOf(HWND window) {
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

bool Shown(HWND window) {
    return (GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

// What the dialog shows: its text, its buttons (by id) and whether it has an icon.
struct DialogView {
    std::string text;
    std::set<int> buttons;
    bool icon = false;
};

BOOL CALLBACK ReadControl(HWND child, LPARAM into) {
    auto *view = reinterpret_cast<DialogView *>(into);
    const std::string kind = ClassOf(child);
    if (!Shown(child)) {
        return TRUE;
    }
    if (kind == "Button") {
        view->buttons.insert(GetDlgCtrlID(child));
    } else if (kind == "Static" && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        view->icon = SendMessageA(child, STM_GETICON, 0, 0) != 0;
    } else if (kind == "Static" && !TextOf(child).empty()) {
        view->text = TextOf(child);
    }
    return TRUE;
}

BOOL CALLBACK FindNewDialog(HWND window, LPARAM found) {
    if (ClassOf(window) == "#32770" && TextOf(window) == kDialogCaption && dialogsInHand.count(window) == 0) {
        *reinterpret_cast<HWND *>(found) = window;
        return FALSE;
    }
    return TRUE;
}

// Checks what the user would see, records the dialog as the stand-in does,
// runs the test's action for the time it is shown, and clicks the answer.
void AnswerDialog(HWND dialog) {
    DialogView view;
    EnumChildWindows(dialog, ReadControl, reinterpret_cast<LPARAM>(&view));
    std::size_t lines = 1;
    for (char c : view.text) {
        lines += c == '\n' ? 1 : 0;
    }
    if (lines != 2 || view.buttons != std::set<int>{IDRETRY, IDCANCEL}) {
        std::fprintf(stderr, "test bed: the dialog shows %zu lines and %zu buttons, not 2 and Retry/Cancel\n", lines,
                     view.buttons.size());
    }
    vi::Instrument &device = vi::Device();
    // MB_RETRYCANCEL when it shows Retry and Cancel; an icon shows as 0x10000,
    // which no flag of the library's call has, so that a comparison fails.
    const unsigned buttons = (view.buttons == std::set<int>{IDRETRY, IDCANCEL} ? MB_RETRYCANCEL : 0xFFFFu) |
                             (view.icon ? 0x10000u : 0u);
    vi::Dialog seen{GetWindow(dialog, GW_OWNER), TextOf(dialog), view.text, buttons, IDCANCEL};
    dialogsInHand.insert(dialog);
    if (device.whileDialogShown) {
        device.whileDialogShown(device); // from the timer, inside the dialog's message loop
        host->FollowAttachment();
    }
    if (!device.dialogAnswers.empty()) {
        seen.answer = device.dialogAnswers.front();
        device.dialogAnswers.pop_front();
    }
    if (device.replay) {
        seen.answer = device.replay->NextDialogAnswer().value_or(seen.answer);
    }
    device.dialogs.push_back(seen);
    dialogsInHand.erase(dialog);
    HWND button = GetDlgItem(dialog, seen.answer);
    if (button != nullptr && Shown(button)) {
        SendMessageA(button, BM_CLICK, 0, 0);
    } else {
        EndDialog(dialog, seen.answer); // an answer without its button
    }
}

VOID CALLBACK LookForDialog(HWND, UINT, UINT_PTR, DWORD) {
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindNewDialog, reinterpret_cast<LPARAM>(&dialog));
    if (dialog != nullptr) {
        AnswerDialog(dialog);
    }
}

} // namespace

void LoadFreshLibrary() {
    if (host == nullptr) {
        StartHost();
    }
    if (GetModuleHandleA(kDllName) != nullptr) {
        Fatal("zqlusb.dll is still loaded; its state would carry over");
    }
    module = LoadLibraryA(kDllName);
    if (module == nullptr) {
        Fatal("cannot load zqlusb.dll");
    }
    ++generation;
    dialogTimer = SetTimer(nullptr, 0, kDialogPollMs, LookForDialog);
    host->FollowAttachment();
}

void UnloadLibrary() {
    if (dialogTimer != 0) {
        KillTimer(nullptr, dialogTimer);
        dialogTimer = 0;
    }
    if (module != nullptr && !FreeLibrary(module)) {
        Fatal("cannot unload zqlusb.dll");
    }
    module = nullptr;
}

void *LibraryExport(const char *name) {
    return module ? reinterpret_cast<void *>(GetProcAddress(module, name)) : nullptr;
}

int LoadGeneration() {
    return generation;
}

void BeforeCall() {
    host->FollowAttachment();
    answeredBefore = host->Answered();
}

void AfterCall(bool appendOnly) {
    // A close reaches the driver after CloseHandle returns: the sync, queued
    // behind it, returns once the host has seen it.
    if (!appendOnly || host->Answered() != answeredBefore) {
        if (!zqlhost::Sync(control)) {
            Fatal("the driver did not answer a sync");
        }
    }
}

int DriverOpenHandles() {
    ZqlDriverStatus status = {};
    if (!zqlhost::QueryStatus(&status)) {
        Fatal("cannot read the driver's status");
    }
    return static_cast<int>(status.openHandles);
}

} // namespace testbed
