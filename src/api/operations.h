// The library's operations without the export lock, one header per layer
// below the exports. Each exported function takes the lock once and calls
// its operation; operations call one another only through these names, so
// no call ever takes the lock twice.
#pragma once

#include "acquisition/operations.h"
#include "config/operations.h"
#include "link/operations.h"
