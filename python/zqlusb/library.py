"""Finding and loading the library, and the prototypes of its exports: the 18
of the original interface and USBLinkStatus behind them."""

import ctypes
import ctypes.util
import os
import sys

from .records import DriverVersion, OutPutData

ENVIRONMENT_VARIABLE = "ZQLUSB_LIBRARY"

_u8p = ctypes.POINTER(ctypes.c_ubyte)

# name: (result type, argument types), in ordinal order.
PROTOTYPES = {
    "SetDLLBehaviour": (None, [ctypes.c_int]),
    "DeviceReady": (ctypes.c_int, []),
    "USBInitDevice": (ctypes.c_int, []),
    "GetDriverVersion": (None, [ctypes.POINTER(DriverVersion)]),
    "USBFlushBuffer": (None, []),
    "USBSetEPB": (None, []),
    "USBWriteAddress": (ctypes.c_int, [ctypes.c_ubyte]),
    "USBWriteData": (ctypes.c_int, [ctypes.c_ubyte]),
    "USBReadData": (ctypes.c_int, []),
    "USBReadI2CEEPROM": (ctypes.c_int, [ctypes.c_uint, ctypes.c_uint]),
    "USBWriteI2CEEPROM": (ctypes.c_int, [ctypes.c_uint, ctypes.c_uint, ctypes.c_uint]),
    "USBWriteBuffer": (ctypes.c_int, [_u8p, ctypes.c_int]),
    "USBLoadFPGA": (ctypes.c_int, [_u8p, ctypes.c_int]),
    "USBReadFromEEPROM": (ctypes.c_int, [ctypes.c_ushort, ctypes.POINTER(ctypes.c_ushort)]),
    "USBReadDataBlock": (ctypes.c_int, [_u8p, ctypes.c_int]),
    "USBRetrieveScopeData": (ctypes.c_int, [ctypes.POINTER(OutPutData)]),
    "USBRetrieveRollModeData": (ctypes.c_int, [ctypes.POINTER(OutPutData)]),
    "USBRetrievePreTriggerData": (ctypes.c_int, [ctypes.POINTER(OutPutData)]),
    "USBLinkStatus": (ctypes.c_int, []),
}


def _file_name():
    if sys.platform == "win32":
        return "zqlusb.dll"
    if sys.platform == "darwin":
        return "libzqlusb.dylib"
    return "libzqlusb.so"


def _width_folder():
    return "x64" if ctypes.sizeof(ctypes.c_void_p) == 8 else "x86"


def candidates():
    """Where load() looks when given no path, in order: $ZQLUSB_LIBRARY
    alone when it is set; else beside the package (in its folder, then in the
    x86/ or x64/ folder matching this Python's width), then the system's
    library search path."""
    if os.environ.get(ENVIRONMENT_VARIABLE):
        return [os.environ[ENVIRONMENT_VARIABLE]]
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, _file_name()), os.path.join(here, _width_folder(), _file_name())]
    by_search = ctypes.util.find_library("zqlusb")
    if by_search:
        found.append(by_search)
    found.append(_file_name())
    return found


def _full_path(candidate):
    """A file that exists is loaded by its full path: from Python 3.8 on,
    Windows loads a DLL named without a folder from the system's folders
    only, never from the current folder or PATH."""
    return os.path.abspath(candidate) if os.path.isfile(candidate) else candidate


def load(path=None):
    """Loads the library (from `path`, else as candidates() lists) and
    declares its exports. Raises OSError, saying what was tried, when it
    cannot be loaded."""
    loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL  # exports are __stdcall
    tried = [path] if path else candidates()
    errors = []
    for candidate in tried:
        candidate = _full_path(os.fspath(candidate))
        if os.path.dirname(candidate) and not os.path.exists(candidate):
            errors.append(f"{candidate}: no such file")
            continue
        try:
            library = loader(candidate)
        except OSError as error:
            errors.append(f"{candidate}: {error}")
            continue
        return declare(library)
    raise OSError(_cannot_load(path, errors))


def _cannot_load(path, errors):
    """What was tried and what to do next, for the case at hand."""
    if path:
        source, advice = "the path given", "give the path of an existing zqlusb library"
    elif os.environ.get(ENVIRONMENT_VARIABLE):
        source = f"{ENVIRONMENT_VARIABLE}={os.environ[ENVIRONMENT_VARIABLE]}"
        advice = f"{ENVIRONMENT_VARIABLE} must name the library file itself"
    else:
        source = "beside the package and on the library search path"
        advice = f"install a wheel that carries the library, or set {ENVIRONMENT_VARIABLE} to its path"
    if sys.platform == "win32":
        advice += f"; zqlusb.dll must match this Python's width ({ctypes.sizeof(ctypes.c_void_p) * 8}-bit)"
    return f"cannot load the zqlusb library from {source} (tried {'; '.join(errors)}); {advice}"


def declare(library):
    """Sets argtypes and restype of every export on a loaded library."""
    for name, (result, arguments) in PROTOTYPES.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    return library
