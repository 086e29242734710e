// The relay queue: application requests, syncs and close notices waiting for
// the host, oldest first, and the host's one pended ZQLHOST_NEXT they are
// handed to (inverted call).
#pragma once

#include "zqlvirt_state.h"

namespace zqlvirt {

// The cancel routine of a pended ZQLHOST_NEXT.
VOID NTAPI CancelHostWait(PDEVICE_OBJECT, PIRP irp);

// Takes a request out of the list for completion; false when its
// cancellation is already under way (the cancel routine completes it).
// Under the lock.
bool TakeForCompletion(PIRP irp);

// The queued request with this message id, or null. Under the lock.
PIRP FindRequest(ULONG id);

// The oldest request the host has not been given yet, or null. Under the lock.
PIRP FirstUndelivered();

// Writes the message for `request` into the host's output buffer; returns its
// size. Under the lock.
ULONG WriteMessage(PIRP request, PIRP hostIrp);

// Hands the oldest undelivered request to the waiting host, if both are
// there. Under the lock; returns the host IRP to complete outside it.
PIRP MatchHost(ULONG *size);

// Gives a request its id and puts it at the end of the list. Under the lock.
void Enqueue(PIRP irp);

// Queues a request for the host and pends it; fails it when no host serves.
NTSTATUS Relay(PIRP irp, ULONG kind);

// Fails every pending request: the host is gone. Called without the lock.
void FailAllRequests();

} // namespace zqlvirt
