/* The C interface's structs as a C compiler lays them out, one JSON object per line:
 * {"struct": name, "size": n, "fields": {field: offset, ...}}; the Python package's ctypes
 * mirrors are compared with it. */
#include <stddef.h>
#include <stdio.h>

#include "scanlink/scanlink_c.h"
#include "transport/counter_list.h"

#define BEGIN(T) printf("{\"struct\": \"%s\", \"size\": %zu, \"fields\": {", #T, sizeof(T))
#define FIELD(T, f, sep) printf("%s\"%s\": %zu", sep, #f, offsetof(T, f))
#define END() printf("}}\n")
/* Every field of the two structs the library's lists declare, in the lists' order. */
#define COUNTER(name, cName) FIELD(scanlink_counters, cName, sep), sep = ", ";
#define STATE(name) FIELD(scanlink_state, name, sep), sep = ", ";

int main(void) {
  const char* sep;
  BEGIN(scanlink_options);
  FIELD(scanlink_options, address, "");
  FIELD(scanlink_options, data_port, ", ");
  FIELD(scanlink_options, alarm_port, ", ");
  FIELD(scanlink_options, link_timeout_ms, ", ");
  FIELD(scanlink_options, reply_timeout_ms, ", ");
  END();
  BEGIN(scanlink_handlers);
  FIELD(scanlink_handlers, on_record, "");
  FIELD(scanlink_handlers, on_link, ", ");
  FIELD(scanlink_handlers, on_alarm, ", ");
  FIELD(scanlink_handlers, context, ", ");
  END();
  BEGIN(scanlink_counters);
  sep = "";
  SCANLINK_COUNTERS(COUNTER)
  END();
  BEGIN(scanlink_queue_stats);
  FIELD(scanlink_queue_stats, records_waiting, "");
  FIELD(scanlink_queue_stats, records_dropped, ", ");
  FIELD(scanlink_queue_stats, events_waiting, ", ");
  FIELD(scanlink_queue_stats, events_dropped, ", ");
  FIELD(scanlink_queue_stats, records_high_water, ", ");
  END();
  BEGIN(scanlink_state);
  sep = "";
  SCANLINK_STATE_FIELDS(STATE)
  END();
  BEGIN(scanlink_station);
  FIELD(scanlink_station, name, "");
  FIELD(scanlink_station, cell_key1, ", ");
  FIELD(scanlink_station, cell_key2, ", ");
  FIELD(scanlink_station, longitude, ", ");
  FIELD(scanlink_station, latitude, ", ");
  END();
  BEGIN(scanlink_decode_options);
  FIELD(scanlink_decode_options, finger_test, "");
  FIELD(scanlink_decode_options, stations, ", ");
  FIELD(scanlink_decode_options, station_count, ", ");
  FIELD(scanlink_decode_options, mismatch_limit, ", ");
  END();
  BEGIN(scanlink_decode_stats);
  FIELD(scanlink_decode_stats, frames, "");
  FIELD(scanlink_decode_stats, bytes_skipped, ", ");
  FIELD(scanlink_decode_stats, oversized, ", ");
  FIELD(scanlink_decode_stats, partial_bytes, ", ");
  END();
  return 0;
}
