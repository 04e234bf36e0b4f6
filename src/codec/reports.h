// The rows of the report table (transaction id 0xFFFF) that carry measurements.
#pragma once

#include <cstdint>
#include <span>

#include "codec/bytes.h"
#include "codec/codec.h"

namespace scanlink::codec {

struct ReportRow {
  uint16_t code;
  void (*decode)(Reader& in, CCmdManage& record, const DecodeEnv& env);
};

std::span<const ReportRow> measurement_reports();

}  // namespace scanlink::codec
