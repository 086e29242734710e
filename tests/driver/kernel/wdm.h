// The stand-in kernel: everything is in ntddk.h.
#pragma once
#include "ntddk.h"
