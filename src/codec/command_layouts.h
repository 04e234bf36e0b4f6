// Wire layouts of the scan-mode bodies, each written once as its fields in payload order. The
// encoder hands them a Writer; the scan-mode replies (11 and 0xF00B), which carry the same bodies,
// hand them a Reader. Body is _CmdBody or const _CmdBody.
#pragma once

#include <cstdint>

#include "codec/bytes.h"
#include "scanlink/records.h"

namespace scanlink::codec {

// TD scan modes with fields after the TD header; a command in any other mode sends nothing.
inline bool td_mode_has_fields(uint8_t mode) { return (mode >= 1 && mode <= 6) || mode == 8; }

// Code 1: general fields, or mode 7 cell list / mode 8 frequency list of count entries.
template <class Io, class Body>
void w_scan_mode(Io& io, Body& body) {
  auto& m = body.wScanMode;
  io(m.nMode);
  if (m.nMode == 7) {
    auto& l = m.fields.cellList;
    fields(io, l.nListValue1, l.nListValue2, l.nListValue3, l.nCount);
    for (unsigned i = 0; i < l.nCount; ++i) fields(io, l.aEntries[i].nFirst, l.aEntries[i].nSecond);
  } else if (m.nMode == 8) {
    auto& l = m.fields.freqList;
    fields(io, l.nListValue1, l.nListValue2, l.nListValue3, l.nCount);
    for (unsigned i = 0; i < l.nCount; ++i) io(l.aEntries[i]);
  } else {
    auto& g = m.fields.general;
    fields(io, g.nValue1, g.nValue2, g.nValue3, g.nValue4, g.nValue5, g.nValue6, g.nValue7,
           g.nValue8, g.nValue9, g.nValue10, g.bFlag, g.nValue11, g.nValue12, g.nValue13);
  }
}

// Code 0xF001: the TD header, then the fields of the mode (none for a mode without fields).
template <class Io, class Body>
void td_scan_mode(Io& io, Body& body) {
  auto& m = body.tdScanMode;
  fields(io, m.nMode, m.nFingerTest, m.nSelector, m.nSelectorValue);
  auto& f = m.fields;
  switch (m.nMode) {
    case 1:
    case 4:
      io(f.list.nCount);
      for (unsigned i = 0; i < f.list.nCount; ++i) {
        fields(io, f.list.aEntries[i].nFirst, f.list.aEntries[i].nSecond);
      }
      io(f.list.nTrailing);  // follows the last entry sent, not the last slot
      break;
    case 2:
      fields(io, f.cellSearch.nSearchValue1, f.cellSearch.nSearchValue2, f.cellSearch.nSearchValue3,
             f.cellSearch.nSearchValue4);
      break;
    case 3:
      fields(io, f.sa.nSAValue1, f.sa.nSAValue2, f.sa.nSAValue3, f.sa.nSAValue4, f.sa.bSAFlag,
             f.sa.nSAValue5);
      break;
    case 5:
      fields(io, f.cw.nCWValue1, f.cw.nCWValue2);
      break;
    case 6:
      fields(io, f.channel.nChannelValue1, f.channel.nChannelValue2, f.channel.nChannelValue3,
             f.channel.nChannelValue4, f.channel.nChannelValue5, f.channel.nChannelValue6,
             f.channel.byBlock1, f.channel.byBlock2);
      break;
    case 8:
      fields(io, f.mode8.nValue1, f.mode8.nValue2, f.mode8.nValue3);
      break;
    default:
      break;
  }
}

}  // namespace scanlink::codec
