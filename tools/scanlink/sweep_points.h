// How many points a decoded sweep report holds.
#pragma once

#include <scanlink/scanlink.h>

namespace scanlink::cli {

// The decoder rewrites the record's length to 14 + 2 * points stored.
inline int SweepPoints(const CCmdManage& m) { return m.nLength >= 14 ? (m.nLength - 14) / 2 : 0; }

}  // namespace scanlink::cli
