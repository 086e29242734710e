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
constexpr LONG kNoSuchDevice = static_cast<LONG>(0xC000000E);      // open: no instrument attached
constexpr LONG kNotConnected = static_cast<LONG>(0xC000009D);      // a handle of an earlier attachment
constexpr LONG kDeviceError = static_cast<LONG>(0xC0000185);       // the transfer failed on the instrument
constexpr LONG kInvalidRequest = static_cast<LONG>(0xC0000010);    // a code the instrument does not know

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

} // namespace

Host::Host() : message_(sizeof(ZqlHostMessage) + kAttachedInput), answer_(sizeof(ZqlHostAnswer)) {}

Host::~Host() {
    Close();
}

bool Host::Attach(std::string *error) {
    // The driver loads with the prefix's (or system's) services, which may
    // still be starting when the host does: its control device is waited for.
    for (DWORD waited = 0; (handle_ = OpenControl()) == INVALID_HANDLE_VALUE && waited < kDriverStartMs;
         waited += kDriverPollMs) {
        Sleep(kDriverPollMs);
    }
    if (handle_ == INVALID_HANDLE_VALUE) {
        *error = "the virtual Zelqa driver is not running (install it with zqlinstrument install); error " +
                 std::to_string(GetLastError());
        return false;
    }
    if (!Ioctl(handle_, ZQLHOST_ATTACH, nullptr, 0, nullptr, 0, nullptr)) {
        const DWORD code = GetLastError();
        *error = code == ERROR_BUSY ? "another host already serves the instrument"
                                    : "the driver refused the host role; error " + std::to_string(code);
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
    Ioctl(handle_, ZQLHOST_STOP, nullptr, 0, nullptr, 0, nullptr);
}

void Host::SetInterface(bool enabled) {
    const UCHAR on = enabled ? 1 : 0;
    if (Ioctl(handle_, ZQLHOST_INTERFACE, &on, 1, nullptr, 0, nullptr)) {
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
    return Ioctl(handle_, ZQLHOST_PAYLOAD, &message.id, sizeof message.id, payload->data(), message.inLength,
                 &returned) &&
           returned == message.inLength;
}

// A control request answered from the recorded session the instrument replays.
void Host::Replayed(const ZqlHostMessage &message, const std::uint8_t *input) {
    vi::Instrument &device = vi::Device();
    const bool read = message.code == kRead;
    answer_.resize(sizeof(ZqlHostAnswer) + (read ? message.outLength : 0));
    std::uint32_t returned = 0;
    const bool ok = vi::ReplayTransfer(device, message.code, input, message.inLength,
                                       read ? answer_.data() + sizeof(ZqlHostAnswer) : nullptr, message.outLength,
                                       &returned);
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

DWORD Host::Serve() {
    Reply(0, kSuccess, 0, 0);
    std::vector<std::uint8_t> payload;
    while (!stop_) {
        DWORD received = 0;
        if (!Ioctl(handle_, ZQLHOST_NEXT, answer_.data(), static_cast<DWORD>(answer_.size()), message_.data(),
                   static_cast<DWORD>(message_.size()), &received)) {
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
        Lock();
        Answer(message, input);
        const bool attached = vi::Device().attached;
        Unlock();
        if (attached != interfaceOn_) {
            SetInterface(attached); // the script unplugged or re-attached the instrument
        }
        ++answered_;
    }
    return ERROR_OPERATION_ABORTED;
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
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, record, static_cast<DWORD>(detail.size()), nullptr,
                                             nullptr)) {
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
    const bool ok = Ioctl(control, ZQLHOST_STATUS, nullptr, 0, status, sizeof *status, &returned) &&
                    returned == sizeof *status;
    CloseHandle(control);
    return ok;
}

bool Sync(HANDLE control) {
    return Ioctl(control, ZQLHOST_SYNC, nullptr, 0, nullptr, 0, nullptr);
}

} // namespace zqlhost
