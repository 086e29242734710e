// The host's serving loop over the virtual instrument.
#include "host.h"

// windows.h (through host.h) first: setupapi.h needs its types.
#include <setupapi.h>

#include <cstring>

#include "virtual_instrument/instrument.h"
#include "virtual_instrument/replay.h"

namespace zqlhost {

namespace {

// The statuses the host answers with (NTSTATUS values; windows.h does not
// define them all).
constexpr LONG kSuccess = 0;
constexpr LONG kNoSuchDevice = static_cast<LONG>(0xC000000E);   // open: no instrument attached
constexpr LONG kNotConnected = static_cast<LONG>(0xC000009D);   // a handle of an earlier attachment
constexpr LONG kDeviceError = static_cast<LONG>(0xC0000185);    // the transfer failed on the instrument
constexpr LONG kInvalidRequest = static_cast<LONG>(0xC0000010); // a code the instrument does not know

// The four control requests, as the instrument's driver numbers them.
constexpr std::uint32_t kWriteStream = 0x220018;
constexpr std::uint32_t kWriteRaw = 0x22001C;
constexpr std::uint32_t kRead = 0x220024;
constexpr std::uint32_t kReady = 0x220028;

// Input bytes attached to a message: a whole command stream and then some;
// larger raw writes are fetched apart.
constexpr std::size_t kAttachedInput = 65536;

// How long a starting host waits for the driver, and how often it looks.
constexpr DWORD kDriverStartMs = 10000;
constexpr DWORD kDriverPollMs = 50;

bool Alive(const vi::Instrument &device, std::uint32_t handle) {
    auto it = device.openHandles.find(handle);
    return it != device.openHandles.end() && device.attached && it->second == device.attachGeneration;
}

bool Ioctl(HANDLE handle, DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength, DWORD *returned) {
    DWORD count = 0;
    const BOOL ok = DeviceIoControl(handle, code, const_cast<void *>(in), inLength, out, outLength, &count, nullptr);
    if (returned != nullptr) {
        *returned = count;
    }
    return ok != FALSE;
}

// A request on the host's handle, which is open for overlapped I/O: waits for
// it on `event` (the serving thread's own), or on an event of its own when
// `event` is null (another thread's request). Each request then goes to the
// driver at once, never queued behind the host's pending wait.
bool OverlappedIoctl(HANDLE handle, HANDLE event, DWORD code, const void *in, DWORD inLength, void *out,
                     DWORD outLength, DWORD *returned) {
    HANDLE own = event == nullptr ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    if (event == nullptr && own == nullptr) {
        return false;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = own != nullptr ? own : event;
    DWORD count = 0;
    BOOL ok = DeviceIoControl(handle, code, const_cast<void *>(in), inLength, out, outLength, &count, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(handle, &overlapped, &count, TRUE);
    }
    const DWORD error = GetLastError();
    if (own != nullptr) {
        CloseHandle(own);
    }
    if (returned != nullptr) {
        *returned = count;
    }
    SetLastError(ok ? 0 : error);
    return ok != FALSE;
}

// The host's handle on the control device: read and write (the host's
// requests need write access), overlapped.
HANDLE OpenHostControl() {
    return CreateFileA(ZQLHOST_WIN32_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// Why the host role was refused, in words.
std::string AttachError(DWORD code) {
    if (code == ERROR_ACCESS_DENIED) {
        return "serving the instrument needs an administrator: the driver's control device opens only for SYSTEM "
               "and Administrators (run zqlinstrument serve from an elevated prompt); error 5, access denied";
    }
    if (code == ERROR_BUSY) {
        return "another host already serves the instrument";
    }
    return "the driver refused the host role; error " + std::to_string(code);
}

} // namespace

Host::Host()
    : serveEvent_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), message_(sizeof(ZqlHostMessage) + kAttachedInput),
      answer_(sizeof(ZqlHostAnswer)) {}

Host::~Host() {
    Close();
    if (serveEvent_ != nullptr) {
        CloseHandle(serveEvent_);
    }
}

bool Host::Attach(std::string *error) {
    // The driver loads with the prefix's (or system's) services, which may
    // still be starting when the host does: its control device is waited for.
    // A refusal of the open itself (no right to it) is final at once.
    for (DWORD waited = 0; (handle_ = OpenHostControl()) == INVALID_HANDLE_VALUE && waited < kDriverStartMs &&
                           GetLastError() != ERROR_ACCESS_DENIED;
         waited += kDriverPollMs) {
        Sleep(kDriverPollMs);
    }
    if (handle_ == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        *error = code == ERROR_ACCESS_DENIED
                     ? AttachError(code)
                     : "the virtual Zelqa driver is not running (install it with zqlinstrument install); error " +
                           std::to_string(code);
        return false;
    }
    if (serveEvent_ == nullptr || !OverlappedIoctl(handle_, nullptr, ZQLHOST_ATTACH, nullptr, 0, nullptr, 0, nullptr)) {
        *error = AttachError(GetLastError());
        Close();
        return false;
    }
    interfaceOn_ = true;
    FollowAttachment();
    return true;
}

void Host::Close() {
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
}

void Host::Stop() {
    stop_ = true;
    OverlappedIoctl(handle_, nullptr, ZQLHOST_STOP, nullptr, 0, nullptr, 0, nullptr);
}

void Host::SetInterface(bool enabled) {
    const UCHAR on = enabled ? 1 : 0;
    if (OverlappedIoctl(handle_, nullptr, ZQLHOST_INTERFACE, &on, 1, nullptr, 0, nullptr)) {
        interfaceOn_ = enabled;
    }
}

void Host::FollowAttachment() {
    Lock();
    const bool attached = vi::Device().attached;
    if (attached != interfaceOn_) {
        SetInterface(attached);
    }
    Unlock();
}

void Host::Reply(std::uint32_t id, LONG status, std::uint32_t information, std::uint32_t length) {
    auto *answer = reinterpret_cast<ZqlHostAnswer *>(answer_.data());
    answer->id = id;
    answer->status = status;
    answer->information = information;
    answer->length = length;
}

bool Host::FetchPayload(const ZqlHostMessage &message, std::vector<std::uint8_t> *payload) {
    payload->resize(message.inLength);
    DWORD returned = 0;
    return OverlappedIoctl(handle_, serveEvent_, ZQLHOST_PAYLOAD, &message.id, sizeof message.id, payload->data(),
                           message.inLength, &returned) &&
           returned == message.inLength;
}

// A control request answered from the recorded session the instrument replays.
void Host::Replayed(const ZqlHostMessage &message, const std::uint8_t *input) {
    vi::Instrument &device = vi::Device();
    const bool read = message.code == kRead;
    answer_.resize(sizeof(ZqlHostAnswer) + (read ? message.outLength : 0));
    std::uint32_t returned = 0;
    const bool ok =
        vi::ReplayTransfer(device, message.code, input, message.inLength,
                           read ? answer_.data() + sizeof(ZqlHostAnswer) : nullptr, message.outLength, &returned);
    const std::uint32_t delivered = read ? device.lastDelivered : 0;
    answer_.resize(sizeof(ZqlHostAnswer) + delivered);
    Reply(message.id, ok ? kSuccess : kDeviceError, returned, delivered);
    device.AfterDriverCall(true);
}

// One of the four control requests, answered by the instrument's model.
void Host::Control(const ZqlHostMessage &message, const std::uint8_t *input) {
    vi::Instrument &device = vi::Device();
    if (device.replay) {
        Replayed(message, input);
        return;
    }
    const bool alive = Alive(device, message.handle);
    const std::uint32_t length = message.inLength;
    answer_.resize(sizeof(ZqlHostAnswer));
    bool ok = false;
    switch (message.code) {
    case kWriteStream:
        ok = alive ? device.WriteStream(input, length) : device.Refuse(message.code, input, length, 0);
        Reply(message.id, ok ? kSuccess : alive ? kDeviceError : kNotConnected, 0, 0);
        break;
    case kWriteRaw:
        ok = alive ? device.WriteRaw(input, length) : device.Refuse(message.code, input, length, length);
        Reply(message.id, ok ? kSuccess : alive ? kDeviceError : kNotConnected, ok ? length : 0, 0);
        break;
    case kRead: {
        answer_.resize(sizeof(ZqlHostAnswer) + length);
        std::uint32_t returned = 0;
        if (alive) {
            ok = device.Read(answer_.data() + sizeof(ZqlHostAnswer), length, &returned);
        } else {
            device.Refuse(message.code, nullptr, length, length);
            device.lastDelivered = 0;
        }
        const std::uint32_t delivered = device.lastDelivered;
        answer_.resize(sizeof(ZqlHostAnswer) + delivered);
        Reply(message.id, ok ? kSuccess : alive ? kDeviceError : kNotConnected, returned, delivered);
        break;
    }
    case kReady:
        ok = alive ? device.Ready() : device.Refuse(message.code, nullptr, 0, 0);
        Reply(message.id, ok ? kSuccess : alive ? kDeviceError : kNotConnected, 0, 0);
        break;
    default:
        Reply(message.id, kInvalidRequest, 0, 0);
        return;
    }
    device.AfterDriverCall(true);
}

void Host::Answer(const ZqlHostMessage &message, const std::uint8_t *input) {
    answer_.resize(sizeof(ZqlHostAnswer));
    vi::Instrument &device = vi::Device();
    switch (message.kind) {
    case ZQL_MSG_OPEN: {
        bool opened = device.attached;
        if (opened && device.replay && !device.replay->NextOpenSucceeds()) {
            opened = false; // as the recorded open
        }
        if (opened && device.faults.failOpens > 0) {
            --device.faults.failOpens;
            opened = false;
        }
        if (opened) {
            device.openHandles[message.handle] = device.attachGeneration;
        }
        device.AfterDriverCall(false); // an open attempt
        Reply(message.id, opened ? kSuccess : kNoSuchDevice, 0, 0);
        break;
    }
    case ZQL_MSG_CLOSE:
        device.openHandles.erase(message.handle);
        Reply(message.id, kSuccess, 0, 0);
        break;
    case ZQL_MSG_CONTROL:
        Control(message, input);
        break;
    default:
        Reply(message.id, kSuccess, 0, 0);
        break;
    }
}

// Each ZQLHOST_NEXT carries the answer to the previous message. Stop makes the
// driver end the next one after it has taken that answer (or the pending one,
// which carries none), so an answer in hand is never lost: the loop ends only
// when a ZQLHOST_NEXT fails.
DWORD Host::Serve() {
    Reply(0, kSuccess, 0, 0);
    std::vector<std::uint8_t> payload;
    for (;;) {
        DWORD received = 0;
        if (!OverlappedIoctl(handle_, serveEvent_, ZQLHOST_NEXT, answer_.data(), static_cast<DWORD>(answer_.size()),
                             message_.data(), static_cast<DWORD>(message_.size()), &received)) {
            return GetLastError();
        }
        ZqlHostMessage message;
        std::memcpy(&message, message_.data(), sizeof message);
        const std::uint8_t *input = message_.data() + sizeof message;
        if ((message.flags & ZQL_PAYLOAD_DETACHED) != 0) {
            if (!FetchPayload(message, &payload)) {
                return GetLastError();
            }
            input = payload.data();
        }
        if (beforeAnswer_) {
            beforeAnswer_();
        }
        Lock();
        Answer(message, input);
        const bool attached = vi::Device().attached;
        Unlock();
        if (attached != interfaceOn_) {
            SetInterface(attached); // the script unplugged or re-attached the instrument
        }
        ++answered_;
    }
}

std::string InstrumentPath() {
    static const GUID kInterfaceClass = ZQL_INTERFACE_CLASS;
    HDEVINFO set = SetupDiGetClassDevsA(&kInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return {};
    }
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    std::string path;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &kInterfaceClass, 0, &data)) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        std::vector<std::uint8_t> detail(required + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
        auto *record = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail.data());
        record->cbSize = sizeof *record;
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, record, static_cast<DWORD>(detail.size()), nullptr, nullptr)) {
            path = record->DevicePath;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

HANDLE OpenInstrument(const std::string &path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

HANDLE OpenControl() {
    return CreateFileA(ZQLHOST_WIN32_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

bool QueryStatus(ZqlDriverStatus *status) {
    HANDLE control = OpenControl();
    if (control == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD returned = 0;
    const bool ok =
        Ioctl(control, ZQLHOST_STATUS, nullptr, 0, status, sizeof *status, &returned) && returned == sizeof *status;
    CloseHandle(control);
    return ok;
}

bool Sync(HANDLE control) {
    return Ioctl(control, ZQLHOST_SYNC, nullptr, 0, nullptr, 0, nullptr);
}

} // namespace zqlhost
