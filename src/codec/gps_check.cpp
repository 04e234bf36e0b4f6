// The GPS consistency check: where the scanner says it is, where the listed base station is, and
// whether the measured delay agrees with the distance between them.
#include "codec/gps_check.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace scanlink::codec {
namespace {

// The scanner's own constants, kept to the digit so distances match its figures.
constexpr double kPi = 3.141592653589;
constexpr double kOneOver180 = 0.005555555555555556;
constexpr double kEquatorialRadiusKm = 6378.137;
constexpr double kEllipsoidCorrectionKm = 5.346171438705126;
constexpr double kOneOver60 = 0.016666666666666666;
constexpr double kChipKm = 0.234375;
constexpr double kQuarterChipsPerChip = 4;
constexpr GeoPosition kDefaultPosition{180.0, 90.0};

// The comma before a number lies 2 to 13 characters before its letter.
constexpr size_t kCommaNearest = 2;
constexpr size_t kCommaFarthest = 13;

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Leading decimal integer of [first, last), as atoi reads it: 0 when there is none.
int leading_int(const char* first, const char* last) {
  while (first < last && is_space(*first)) ++first;
  bool negative = false;
  if (first < last && (*first == '+' || *first == '-')) negative = *first++ == '-';
  int value = 0;
  for (; first < last && *first >= '0' && *first <= '9'; ++first) value = value * 10 + *first - '0';
  return negative ? -value : value;
}

// Leading decimal number of [first, last), as strtod reads it but independent of the locale:
// 0 when there is none or it is not finite.
double leading_double(const char* first, const char* last) {
  while (first < last && is_space(*first)) ++first;
  if (first < last && *first == '+') {
    ++first;
    if (first < last && *first == '-') return 0;
  }
  double value = 0;
  const std::from_chars_result r = std::from_chars(first, last, value);
  return r.ec == std::errc() && std::isfinite(value) ? value : 0;
}

// Degrees and minutes of the number before the letter at `letter`, the degrees being its first
// `degreeDigits` characters; false when no comma starts the number.
bool coordinate(const char* text, size_t letter, size_t degreeDigits, double& out) {
  for (size_t back = kCommaNearest; back <= kCommaFarthest && back <= letter; ++back) {
    if (text[letter - back] != ',') continue;
    const char* number = text + letter - back + 1;
    const char* end = text + letter;
    const char* minutes = std::min(number + degreeDigits, end);
    out = leading_int(number, minutes) + leading_double(minutes, end) * kOneOver60;
    return true;
  }
  return false;
}

}  // namespace

GeoPosition ParseGpsPosition(const char* text, size_t size) {
  if (text == nullptr) return kDefaultPosition;
  const size_t length = strnlen(text, size);
  const char* east = static_cast<const char*>(std::memchr(text, 'E', length));
  const char* north = static_cast<const char*>(std::memchr(text, 'N', length));
  if (east == nullptr || north == nullptr) return kDefaultPosition;

  GeoPosition position{};
  if (!coordinate(text, static_cast<size_t>(east - text), 3, position.longitude) ||
      !coordinate(text, static_cast<size_t>(north - text), 2, position.latitude)) {
    return kDefaultPosition;
  }
  return position;
}

double GeoDistance(const GeoPosition& a, const GeoPosition& b) {
  const double phi1 = a.latitude * kPi * kOneOver180;
  const double phi2 = b.latitude * kPi * kOneOver180;
  const double s1 = std::sin(phi1);
  const double s2 = std::sin(phi2);
  const double delta = (b.longitude - a.longitude) * kPi * kOneOver180;
  double x = std::cos(phi1) * std::cos(phi2) * std::cos(delta) + s1 * s2;
  // Rounding can push x just past +-1 for nearly equal or opposite points; a NaN (from a position
  // that is not a number) counts as coinciding points.
  x = x < -1.0 ? -1.0 : (x <= 1.0 ? x : 1.0);

  const double sigma = std::acos(x);
  const double spherical = kEquatorialRadiusKm * sigma;
  const double sum = s1 + s2;
  const double diff = s1 - s2;
  const double t1 = (3 * std::sin(sigma) - sigma) * sum * sum / (1 + std::cos(sigma));
  const double t2 = (3 * std::sin(sigma) + sigma) * diff * diff / (1 - std::cos(sigma));
  const double distance = spherical + kEllipsoidCorrectionKm * (t1 - t2);
  // The correction divides by zero at sigma 0 and pi; coinciding points are then 0 km apart.
  return std::isfinite(distance) ? distance : spherical;
}

int BaseStationTable::SetList(const _BSCellInfo* list, int n) {
  std::lock_guard lock(mutex_);
  if (list == nullptr || n <= 0) {
    count_ = 0;
    return 0;
  }
  count_ = std::min(n, kCapacity);
  std::memcpy(entries_, list, sizeof(_BSCellInfo) * static_cast<size_t>(count_));
  for (int i = 0; i < count_; ++i) entries_[i].szName[sizeof entries_[i].szName - 1] = '\0';
  return count_;
}

int BaseStationTable::SetMismatchLimit(int limit) {
  std::lock_guard lock(mutex_);
  // Quarter chips; wraps like the 32-bit product rather than overflow.
  mismatchLimit_ = static_cast<int>(static_cast<unsigned>(limit) << 2);
  return mismatchLimit_;
}

int BaseStationTable::Count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

_BSCellInfo BaseStationTable::Entry(int index) const {
  std::lock_guard lock(mutex_);
  return index >= 0 && index < count_ ? entries_[index] : _BSCellInfo{};
}

const _BSCellInfo* BaseStationTable::FindLocked(uint32_t key1, uint32_t key2) const {
  for (int i = 0; i < count_; ++i) {
    if (entries_[i].nCellKey1 == key1 && entries_[i].nCellKey2 == key2) return &entries_[i];
  }
  return nullptr;
}

std::optional<GeoPosition> BaseStationTable::FindBSCell(uint32_t key1, uint32_t key2) const {
  std::lock_guard lock(mutex_);
  const _BSCellInfo* cell = FindLocked(key1, key2);
  if (cell == nullptr) return std::nullopt;
  return GeoPosition{cell->dLongitude, cell->dLatitude};
}

void BaseStationTable::CheckRecord(int index, uint32_t key1, uint16_t key2, int16_t measuredDelay,
                                   const GeoPosition& scanner, uint32_t& mismatchMask,
                                   uint32_t& foundMask) const {
  std::lock_guard lock(mutex_);
  const _BSCellInfo* cell = FindLocked(key1, key2);
  if (cell == nullptr) return;

  const double km = GeoDistance(scanner, {cell->dLongitude, cell->dLatitude});
  const uint32_t bit = 1u << (static_cast<unsigned>(index) % 32);
  foundMask |= bit;
  // Distance in quarter chips, truncated toward zero as a 32-bit integer.
  const double quarters =
      std::clamp(km / kChipKm * kQuarterChipsPerChip, -2147483648.0, 2147483647.0);
  const int64_t diff = static_cast<int64_t>(static_cast<int32_t>(quarters)) - measuredDelay;
  if (std::llabs(diff) < mismatchLimit_) {
    mismatchMask &= ~bit;
  } else {
    mismatchMask |= bit;
  }
}

}  // namespace scanlink::codec
