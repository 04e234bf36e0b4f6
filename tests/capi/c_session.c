/* The C interface from C: a session against the simulator (address, data port and alarm port
 * from the command line), login, a scan, records as structs and as JSON, close.
 * Exit status 0 when everything arrived; 1 with a line saying what did not. */
#ifndef _WIN32
#define _POSIX_C_SOURCE 200809L /* nanosleep under strict C11 */
#endif
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "scanlink/scanlink_c.h"

#ifdef _WIN32
#include <windows.h>
static void pause_ms(int ms) { Sleep((DWORD)ms); }
#else
#include <time.h>
static void pause_ms(int ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}
#endif

typedef struct seen {
  atomic_int login_family; /* body of reply 44, 0 before */
  atomic_int reports;      /* reports of code 36 */
  atomic_int json_ok;      /* a report rendered as JSON with its field names */
  atomic_int connected_events;
} seen;

static void SCANLINK_CALL on_record(void* context, const scanlink_record* record) {
  seen* s = (seen*)context;
  if (record->code == 44) atomic_store(&s->login_family, (int)record->body.family.nFamilyValue);
  if (record->code == 36 && record->trans_id == 0xFFFF) {
    if (record->body.valueList.nCount > 0 && atomic_load(&s->json_ok) == 0) {
      char small[8];
      const int need = scanlink_record_json(record, 0, small, sizeof small);
      char* text = need > 0 ? (char*)malloc((size_t)need + 1) : NULL;
      if (text != NULL && scanlink_record_json(record, 0, text, (size_t)need + 1) == need &&
          strlen(small) == sizeof small - 1 && strncmp(text, small, sizeof small - 1) == 0 &&
          strstr(text, "\"name\":\"ValueListReport\"") != NULL &&
          strstr(text, "\"values\":[") != NULL) {
        atomic_store(&s->json_ok, 1);
      } else if (text != NULL) {
        fprintf(stderr, "JSON: %s\n", text);
      }
      free(text);
    }
    atomic_fetch_add(&s->reports, 1);
  }
}

static void SCANLINK_CALL on_link(void* context, int event) {
  seen* s = (seen*)context;
  if (event == SCANLINK_LINK_EVENT_CONNECTED) atomic_fetch_add(&s->connected_events, 1);
}

/* Waits up to 10 s for *value to reach at least want. */
static int wait_for(atomic_int* value, int want) {
  int waited;
  for (waited = 0; waited < 10000; waited += 10) {
    if (atomic_load(value) >= want) return 1;
    pause_ms(10);
  }
  return 0;
}

static int fail(const char* what) {
  fprintf(stderr, "c_session: %s\n", what);
  return 1;
}

int main(int argc, char** argv) {
  scanlink_options options;
  scanlink_handlers handlers;
  scanlink_counters counters;
  scanlink_state state;
  scanlink_session* session;
  seen s;
  int attempts;
  int result = 1;
  if (argc != 4) return fail("usage: c_session ADDRESS DATA_PORT ALARM_PORT");
  atomic_init(&s.login_family, 0);
  atomic_init(&s.reports, 0);
  atomic_init(&s.json_ok, 0);
  atomic_init(&s.connected_events, 0);

  if (scanlink_version() != SCANLINK_VERSION_NUMBER) return fail("version");
  scanlink_options_init(&options);
  if (options.alarm_port != 8050) return fail("default alarm port");
  strncpy(options.address, argv[1], sizeof options.address - 1);
  options.data_port = atoi(argv[2]);
  options.alarm_port = atoi(argv[3]);
  session = scanlink_open(&options);
  if (session == NULL) return fail("open");
  memset(&handlers, 0, sizeof handlers);
  handlers.on_record = on_record;
  handlers.on_link = on_link;
  handlers.context = &s;
  if (scanlink_set_handlers(session, &handlers) != SCANLINK_OK) return fail("handlers");

  /* The simulator may still be starting: a few bounded attempts. */
  for (attempts = 0; attempts < 5 && result != SCANLINK_CONNECT_UP; ++attempts) {
    result = scanlink_connect(session);
  }
  if (result != SCANLINK_CONNECT_UP) return fail("connect");
  if (scanlink_login(session, "admin", "secret") <= 0) return fail("login not sent");
  if (!wait_for(&s.login_family, 1)) return fail("no login reply");
  if (scanlink_read_state(session, &state) != SCANLINK_OK || state.link_up != 1 ||
      state.family != 1) {
    return fail("state after login");
  }
  if (scanlink_set_wcdma_scan_mode(session, 0, 10700, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0) <=
          0 ||
      scanlink_start_scan(session) <= 0) {
    return fail("scan not sent");
  }
  if (!wait_for(&s.reports, 3)) return fail("no reports");
  if (!wait_for(&s.json_ok, 1)) return fail("no report as JSON");
  if (scanlink_stop_scan(session) <= 0) return fail("stop not sent");
  if (scanlink_read_counters(session, &counters) != SCANLINK_OK || counters.sends < 4 ||
      counters.frames_delivered < 4) {
    return fail("counters");
  }
  if (scanlink_login(NULL, "a", "b") != SCANLINK_ERR_SESSION) return fail("null session");
  if (scanlink_login(session, NULL, "b") != 0) return fail("null text sent");
  if (scanlink_close(session) != SCANLINK_OK) return fail("close");
  printf("c_session: login family %d, %d reports, JSON ok\n", atomic_load(&s.login_family),
         atomic_load(&s.reports));
  return 0;
}
