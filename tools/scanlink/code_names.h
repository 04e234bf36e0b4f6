// Names of the message codes, for people reading the output.
#pragma once

#include <cstdint>
#include <string>

namespace scanlink::cli {

enum class CodeKind { kCommand, kReply, kReport, kLink, kUnknown };

// The name of a code as it arrives from the scanner (replies and reports) or as the library
// builds it (the link status notice); "Code0x1234" for codes we do not know.
std::string CodeName(uint16_t code);
CodeKind KindOf(uint16_t code, uint16_t transId);
const char* KindName(CodeKind kind);
// "0x002C"
std::string Hex16(uint16_t value);

}  // namespace scanlink::cli
