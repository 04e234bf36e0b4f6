// The GPS consistency check of TD cell reports: base-station table, GPS text parse, distance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "scanlink/scanlink.h"

namespace scanlink::codec {

struct GeoPosition {
  double longitude;
  double latitude;
};

// Longitude and latitude out of the scanner's GPS text, read up to its terminator or `size` bytes,
// whichever comes first; the default (180, 90) when either number is missing.
GeoPosition ParseGpsPosition(const char* text, size_t size = 119);

// Distance in km on the WGS-84 ellipsoid from a to b; always a finite number.
double GeoDistance(const GeoPosition& a, const GeoPosition& b);

// The application's base-station list. Replacing it is safe while reports are being checked.
class BaseStationTable {
 public:
  static constexpr int kCapacity = 300;

  // Copies at most 300 entries and terminates their names; returns the number stored (0 for
  // n <= 0 or a null list, which leaves no entry to find).
  int SetList(const _BSCellInfo* list, int n);
  // Stores limit * 4 (quarter chips, wrapping in 32 bits) and returns it.
  int SetMismatchLimit(int limit);

  std::optional<GeoPosition> FindBSCell(uint32_t key1, uint32_t key2) const;

  // Marks record `index` of a TD cell report in the masks: found bit when the cell is listed,
  // mismatch bit when |distance delay - measured delay| >= the limit.
  void CheckRecord(int index, uint32_t key1, uint16_t key2, int16_t measuredDelay,
                   const GeoPosition& scanner, uint32_t& mismatchMask, uint32_t& foundMask) const;

  int Count() const;
  // A copy of entry `index` as stored, or an all-zero entry outside the valid ones.
  _BSCellInfo Entry(int index) const;

 private:
  const _BSCellInfo* FindLocked(uint32_t key1, uint32_t key2) const;

  mutable std::mutex mutex_;
  _BSCellInfo entries_[kCapacity] = {};
  int count_ = 0;
  int mismatchLimit_ = 0;
};

}  // namespace scanlink::codec
