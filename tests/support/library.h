// Loading the library under test: a fresh copy for every test, so that each
// starts from the library's load-time state.
#pragma once

namespace testbed {

// Loads the library anew and binds it to the virtual instrument.
void LoadFreshLibrary();
// Unloads it; the next load starts from zeroed state again.
void UnloadLibrary();
// The address of an export of the loaded library, or null.
void *LibraryExport(const char *name);
// Counts loads, so that cached export addresses know when to look again.
int LoadGeneration();

// Around every call of an export (support/exports.cpp). Through the driver
// the instrument lives behind a relay: before a call the interface follows
// the instrument's attachment, and after it the host has answered every
// request the call made, closes included. Elsewhere they do nothing.
void BeforeCall();
void AfterCall(bool appendOnly);
// Handles open on the instrument as its driver counts them, or -1 where the
// stand-in is the driver (it keeps Device().openHandles itself).
int DriverOpenHandles();

// Whether the tests reach the instrument through the virtual Zelqa driver.
#if defined(ZQLUSB_THROUGH_DRIVER)
constexpr bool kThroughDriver = true;
#else
constexpr bool kThroughDriver = false;
#endif

// Whether the library under test is the shipping 32-bit DLL: under 32-bit
// Wine, or run in the x86 test bed's emulated processor.
#if (defined(_WIN32) && !defined(_WIN64)) || defined(ZQLUSB_X86_EMULATED)
constexpr bool kX86Dll = true;
#else
constexpr bool kX86Dll = false;
#endif

// Whether the library under test is a Windows DLL (its trace records
// kernel32's last error, say).
#if defined(_WIN32) || defined(ZQLUSB_X86_EMULATED)
constexpr bool kWindowsDll = true;
#else
constexpr bool kWindowsDll = false;
#endif

// Whether the library runs in the emulated processor, which one thread
// drives at a time.
#if defined(ZQLUSB_X86_EMULATED)
constexpr bool kEmulatedX86 = true;
#else
constexpr bool kEmulatedX86 = false;
#endif
constexpr char kTwoThreadsNotApplicable[] =
    "not applicable in the emulated x86 processor: one engine runs one thread, so two threads cannot be inside the "
    "library at once";

// Whether a transfer made with no open handle reaches the instrument's log:
// the stand-in, playing the kernel, logs it as failed; through the driver
// the kernel refuses the handle before any request is made.
constexpr bool kTransfersWithoutHandleLogged = !kThroughDriver;

// Why a test that needs CreateFileA itself to fail cannot run through the
// driver: Wine returns the handle before the driver has the open request, so
// the driver's refusal reaches the caller only at the handle's first request
// (the driver's own tests check that).
constexpr char kOpenFaultNotApplicable[] =
    "not applicable through the driver: under Wine no driver can fail CreateFileA, which returns before the "
    "driver sees the open";

} // namespace testbed
