// What the stand-in kernel recorded of the driver, and the hook that plays
// another thread's requests at a point of the driver's choosing.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ntddk.h"

namespace standin {

// One entry of an access list: the account's SID as text, and its rights.
struct Ace {
    std::string sid;
    ACCESS_MASK rights;
    bool operator==(const Ace &other) const { return sid == other.sid && rights == other.rights; }
};

struct Record {
    std::vector<PDEVICE_OBJECT> devices; // created, not yet deleted
    PDEVICE_OBJECT named = nullptr;      // the device created with a name
    ULONG namedCharacteristics = 0;
    std::vector<std::string> events; // "dacl", "link": in the order they happened
    std::vector<Ace> dacl;           // the access list applied to the named device
    bool daclApplied = false;
    std::vector<bool> interfaceStates; // each IoSetDeviceInterfaceState, in order
    int locksHeld = 0;
};

// The record of the current run; Reset clears it and frees what the driver
// left allocated.
Record &Kernel();
void Reset();

// Runs `action` once, right after the `n`th release of a spin lock from now
// on (1: the next), as another thread that the I/O manager runs just then
// would. Returns through Fired() whether it ran.
void AtRelease(int n, std::function<void()> action);
bool Fired();

} // namespace standin
