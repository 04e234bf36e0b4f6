#include "code_names.h"

#include <scanlink/scanlink.h>

#include <cstdio>

#include "codec/message_codes.h"

namespace scanlink::cli {

// A code missing from the table would not compile here.
static_assert(codec::FindMessageCode(SCANLINK_CODE_LINK_STATUS)->kind == codec::MessageKind::kLink);

std::string CodeName(uint16_t code) {
  const codec::MessageCode* entry = codec::FindMessageCode(code);
  return entry != nullptr ? entry->name : "Code" + Hex16(code);
}

CodeKind KindOf(uint16_t code, uint16_t transId) {
  if (code == SCANLINK_CODE_LINK_STATUS) return CodeKind::kLink;
  if (transId == SCANLINK_TRANS_BROADCAST) return CodeKind::kReport;
  const codec::MessageCode* entry = codec::FindMessageCode(code);
  if (entry != nullptr && entry->kind == codec::MessageKind::kCommand) return CodeKind::kCommand;
  return CodeKind::kReply;
}

const char* KindName(CodeKind kind) {
  switch (kind) {
    case CodeKind::kCommand:
      return "command";
    case CodeKind::kReply:
      return "reply";
    case CodeKind::kReport:
      return "report";
    case CodeKind::kLink:
      return "link";
    case CodeKind::kUnknown:
      break;
  }
  return "unknown";
}

std::string Hex16(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

}  // namespace scanlink::cli
