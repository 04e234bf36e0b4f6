// A decoded record as one JSON object: header values, the code by number and by name, and every
// field of the body the code carries, as the library renders it (scanlink_record_json).
#pragma once

#include <scanlink/scanlink.h>

#include <nlohmann/json.hpp>

namespace scanlink::cli {

// stationsLoaded: a base-station list was given, so TD cell verdicts mean something.
nlohmann::ordered_json RecordJson(const CCmdManage& record, bool stationsLoaded);
nlohmann::ordered_json LinkJson(bool connected);

}  // namespace scanlink::cli
