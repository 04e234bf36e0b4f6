// A decoded record as one readable line.
#pragma once

#include <scanlink/scanlink.h>

#include <string>

#include "levels.h"

namespace scanlink::cli {

// stationsLoaded: a base-station list was given, so TD cell verdicts mean something.
// Levels are shown as the convention says, with their unit ("raw" when none is declared).
std::string RecordText(const CCmdManage& record, bool stationsLoaded,
                       const LevelConvention& levels = {});
std::string LinkText(bool connected);
// "TD-SCDMA" / "WCDMA" / "unknown" for a login reply's family value.
const char* FamilyText(uint32_t familyValue);

}  // namespace scanlink::cli
