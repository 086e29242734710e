"""Python access to zqlusb, the control library of the Zelqa USB oscilloscope.

    import zqlusb
    with zqlusb.Zelqa() as scope:
        a, b = scope.capture(1000)
"""

# The library's version; CMakeLists.txt sets it, and a test keeps the two equal.
__version__ = "1.0.0"

from .device import Zelqa, ZelqaError, ZelqaLinkFailed, ZelqaNotFound, ZelqaNotOpen
from .library import ENVIRONMENT_VARIABLE, PROTOTYPES, load
from .records import (BLOCK_MAX, CHANNEL_POINTS, I2C_CODE_MASK, I2C_READ_REFUSED, I2C_WRITE_REFUSED, INIT_FAILED,
                      PRETRIGGER_POINTS, ROLL_MAX_POINTS, DriverVersion, OutPutData, i2c_confirmation_code)
from .records import LINK_FAILED, LINK_READ_MISSED, LINK_WRITE_LOST
from .records import (REQUEST_FITS, REQUEST_NO_STEP, REQUEST_NOT_16_BITS, REQUEST_PAST_THE_END, check_scope_request,
                      set_scope_request)

__all__ = [
    "__version__", "Zelqa", "ZelqaError", "ZelqaNotFound", "ZelqaNotOpen", "load", "PROTOTYPES",
    "ENVIRONMENT_VARIABLE", "DriverVersion", "OutPutData", "i2c_confirmation_code", "CHANNEL_POINTS", "INIT_FAILED", "I2C_READ_REFUSED", "I2C_WRITE_REFUSED",
    "BLOCK_MAX", "I2C_CODE_MASK", "ROLL_MAX_POINTS", "PRETRIGGER_POINTS",
    "REQUEST_FITS", "REQUEST_NOT_16_BITS", "REQUEST_PAST_THE_END", "REQUEST_NO_STEP", "check_scope_request",
    "set_scope_request", "ZelqaLinkFailed", "LINK_FAILED", "LINK_READ_MISSED", "LINK_WRITE_LOST",
]
