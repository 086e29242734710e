// The acquisition's operations without the export lock: captured data into
// the caller's OutPutData.
#pragma once

#include "zqlusb.h"

namespace zqlusb {

void RetrieveScopeData(OutPutData *OutBuffer);
void RetrieveRollModeData(OutPutData *OutBuffer);
void RetrievePreTriggerData(OutPutData *OutBuffer);

} // namespace zqlusb
