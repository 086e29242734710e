"""Python access to zqlusb, the control library of the Zelqa USB oscilloscope.

    import zqlusb
    scope = zqlusb.Zelqa().open()
    a, b = scope.capture(1000)
"""

from .device import Zelqa, ZelqaError, ZelqaNotFound
from .library import ENVIRONMENT_VARIABLE, PROTOTYPES, load
from .records import (BLOCK_MAX, CHANNEL_POINTS, I2C_CODE_MASK, I2C_READ_REFUSED, I2C_WRITE_REFUSED, INIT_FAILED,
                      PRETRIGGER_POINTS, ROLL_MAX_POINTS, DriverVersion, OutPutData, i2c_confirmation_code)

__all__ = [
    "Zelqa", "ZelqaError", "ZelqaNotFound", "load", "PROTOTYPES", "ENVIRONMENT_VARIABLE", "DriverVersion",
    "OutPutData", "i2c_confirmation_code", "CHANNEL_POINTS", "INIT_FAILED", "I2C_READ_REFUSED", "I2C_WRITE_REFUSED",
    "BLOCK_MAX", "I2C_CODE_MASK", "ROLL_MAX_POINTS", "PRETRIGGER_POINTS",
]
