// A decoded record as one JSON object (UTF-8 text): the header values, the code by number and by
// name, and every field of the body its code carries. The command line prints these objects; the
// C interface hands them to scripts. One set of field names for both.
#pragma once

#include <string>

#include "scanlink/scanlink.h"

namespace scanlink::codec {

// stationsLoaded: a base-station list was given, so TD cell verdicts mean something.
std::string RecordJson(const CCmdManage& record, bool stationsLoaded);

}  // namespace scanlink::codec
