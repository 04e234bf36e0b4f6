#include "record_json.h"

#include <scanlink/scanlink_c.h>

#include <cstring>
#include <memory>
#include <vector>

namespace scanlink::cli {

// The library renders the record: the command line and scripts on the C interface read the same
// field names.
nlohmann::ordered_json RecordJson(const CCmdManage& m, bool stationsLoaded) {
  auto record = std::make_unique<scanlink_record>();
  record->code = m.nCode;
  record->trans_id = m.nTransID;
  record->length = m.nLength;
  std::memcpy(&record->body, &m.body, sizeof record->body);
  const int length = scanlink_record_json(record.get(), stationsLoaded, nullptr, 0);
  std::vector<char> text(static_cast<size_t>(length > 0 ? length : 0) + 1);
  scanlink_record_json(record.get(), stationsLoaded, text.data(), text.size());
  return nlohmann::ordered_json::parse(text.data());
}

nlohmann::ordered_json LinkJson(bool connected) {
  return {{"kind", "connect"}, {"connected", connected}};
}

}  // namespace scanlink::cli
