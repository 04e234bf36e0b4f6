// The GPS check's verdict on one cell of a TD cell report, read from the report's masks.
#pragma once

#include <scanlink/scanlink.h>

namespace scanlink::cli {

enum class Verdict { kFound, kNotListed, kDelayMismatch, kUnchecked };

// Record i of a report is marked by bit (i mod 32) of the masks. Without a base-station list
// the masks say nothing, so every cell is unchecked.
Verdict CellVerdict(const _TDCellReport& report, int index, bool stationsLoaded);
const char* VerdictName(Verdict v);  // for JSON: "found", "not-listed", ...
const char* VerdictText(Verdict v);  // for people: "found", "not in the list", ...

}  // namespace scanlink::cli
