#include "verdict.h"

namespace scanlink::cli {

Verdict CellVerdict(const _TDCellReport& report, int index, bool stationsLoaded) {
  if (!stationsLoaded) return Verdict::kUnchecked;
  const uint32_t bit = uint32_t{1} << (index % 32);
  if ((report.nFoundMask & bit) == 0) return Verdict::kNotListed;
  return (report.nMismatchMask & bit) != 0 ? Verdict::kDelayMismatch : Verdict::kFound;
}

const char* VerdictName(Verdict v) {
  switch (v) {
    case Verdict::kFound:
      return "found";
    case Verdict::kNotListed:
      return "not-listed";
    case Verdict::kDelayMismatch:
      return "delay-mismatch";
    case Verdict::kUnchecked:
      break;
  }
  return "unchecked";
}

const char* VerdictText(Verdict v) {
  switch (v) {
    case Verdict::kFound:
      return "found";
    case Verdict::kNotListed:
      return "not in the list";
    case Verdict::kDelayMismatch:
      return "delay disagrees with distance";
    case Verdict::kUnchecked:
      break;
  }
  return "unchecked";
}

}  // namespace scanlink::cli
