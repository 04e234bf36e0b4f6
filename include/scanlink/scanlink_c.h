/* scanlink: the C interface. One session per scanner; any number of sessions in one process.
 *
 * For every compiler and language: C11 (also valid C++), opaque handles, plain structs, integer
 * results. On 32-bit Windows every function and callback uses the cdecl convention
 * (SCANLINK_CALL), exported undecorated (no @N suffix).
 *
 * A session is opened closed (no connection), given its handlers, then connected. Its
 * operations return a transaction id (1..1023) that the reply record carries, or 0 when nothing
 * was sent; scanlink_last_error() then says why (argument refused, no link, family not known
 * yet, session closed, send failed). Every function taking a session returns
 * SCANLINK_ERR_SESSION (-1) for a null session. No C++ exception ever leaves a function here.
 *
 * Rules that hold for every function (docs/c-api.md has the details):
 * - Threads: any thread may call any function, on any session; several application threads may
 *   share one session (its operations are serialised inside the library). The exceptions are
 *   scanlink_close, which must not be called from a handler (SCANLINK_ERR_IN_HANDLER), and a
 *   handle once scanlink_close has returned SCANLINK_OK: it is freed and must not be used again,
 *   by any thread (the library cannot detect it).
 * - Waiting: handlers run on the session's own threads, one call at a time per session, with the
 *   session's lock held. The operations, scanlink_send_alarm, scanlink_set_handlers,
 *   scanlink_connect, scanlink_disconnect and scanlink_close, called from another thread, may
 *   wait until the handler running at that moment returns (scanlink_read_state,
 *   scanlink_read_counters, the station list, the timeouts and the queue functions do not).
 *   A handler must therefore never wait for a thread that is itself calling into the same
 *   session (a UI thread's synchronous Invoke/Synchronize from a handler, while the UI thread
 *   calls an operation, never returns): hand the record to a queue and return, and let the
 *   other thread take it from there.
 * - Closed: after scanlink_disconnect the session is closed for good: operations return 0 with
 *   SCANLINK_ERR_CLOSED, scanlink_read_state reports it, the queue gives what waits and then 0
 *   at once, only scanlink_close remains useful.
 * - Pointers: the library keeps no pointer a caller passes in, except the handlers' functions
 *   and context (until replaced or the session is closed), the session's trace and tap handlers
 *   and their contexts (likewise) and the trace handler and its context (until replaced).
 *   Options, handlers, station lists, texts, payloads and out-structs are read or written
 *   during the call only. Pointers handed to a handler (records, bytes, trace text) are valid
 *   during that call only.
 * - Growth: a struct gains fields only at its end. Each function keeps reading or writing the
 *   fields its struct had when the function was added; the _sized functions take the caller's
 *   sizeof and use exactly that much, so a program built against an older header keeps working.
 *
 * A slow handler delays only its own session. Sessions are independent: nothing one does or
 * suffers reaches another.
 *
 * The C++ classes and exported variables (scanlink.h) are the process's first session, of their
 * own; sessions opened here are separate from it and from each other.
 */
#ifndef SCANLINK_SCANLINK_C_H
#define SCANLINK_SCANLINK_C_H

#include <stddef.h>
#include <stdint.h>

#include "scanlink/export.h"
#include "scanlink/records.h"

#if defined(_WIN32) && !defined(_WIN64)
#define SCANLINK_CALL __cdecl
#else
#define SCANLINK_CALL
#endif

/* The version of this header (the same as scanlink.h's); scanlink_version() gives the loaded
 * library's as SCANLINK_VERSION_NUMBER. A program may check at run time that the library's major
 * version equals the one it was built with. */
#define SCANLINK_VERSION_MAJOR 1
#define SCANLINK_VERSION_MINOR 1
#define SCANLINK_VERSION_PATCH 0
#define SCANLINK_VERSION_NUMBER \
  (SCANLINK_VERSION_MAJOR * 10000 + SCANLINK_VERSION_MINOR * 100 + SCANLINK_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the functions below that do not return a transaction id or a length, and the
 * values of scanlink_last_error(). New values are only ever added, with new numbers. */
enum scanlink_result {
  SCANLINK_OK = 0,
  SCANLINK_ERR_SESSION = -1,     /* null session handle */
  SCANLINK_ERR_ARGUMENT = -2,    /* argument refused (null pointer, out of range); nothing done */
  SCANLINK_ERR_IN_HANDLER = -3,  /* not allowed from a handler */
  SCANLINK_ERR_RESOURCES = -4,   /* out of memory, threads or sockets */
  SCANLINK_ERR_NO_LINK = -5,     /* the link is not up: nothing sent */
  SCANLINK_ERR_FAMILY = -6,      /* the scan family is not known (yet): nothing sent */
  SCANLINK_ERR_CLOSED = -7,      /* the session was disconnected for good: nothing done */
  SCANLINK_ERR_SEND = -8,        /* no transaction id free, or the connection took no bytes */
  SCANLINK_ERR_INTERNAL = -9     /* an unexpected failure inside the library; nothing done */
};

/* Results of scanlink_connect, the same values as ClientInitPcComm. */
enum scanlink_connect_result {
  SCANLINK_CONNECT_UP = 0,           /* link up */
  SCANLINK_CONNECT_PROBE_FAILED = 1, /* reachability probe or set-up failed, or session closed */
  SCANLINK_CONNECT_FAILED = 2,       /* data connection failed */
  SCANLINK_CONNECT_LINK_DOWN = 6     /* down after a failed automatic reconnection: call
                                        scanlink_clear_link_down, then connect again */
};

/* Values of the link handler's status, the same as a code-0xFFEE record's nStatusByte1 plus the
 * two reconnection events. */
enum scanlink_link_event {
  SCANLINK_LINK_EVENT_LOST = 1,         /* link lost (also as a 0xFFEE record) */
  SCANLINK_LINK_EVENT_RESTORED = 2,     /* reconnected (also as a 0xFFEE record) */
  SCANLINK_LINK_EVENT_RETRY_FAILED = 3, /* a reconnection attempt failed (also as 0xFFEE) */
  SCANLINK_LINK_EVENT_CONNECTING = 4,   /* before each automatic reconnection attempt */
  SCANLINK_LINK_EVENT_CONNECTED = 5     /* after one succeeded */
};

typedef struct scanlink_session scanlink_session; /* opaque */

/* What a session connects to. Fill with scanlink_options_init, then set the address. */
typedef struct scanlink_options {
  char address[32];      /* scanner's IPv4 address, dotted decimal, NUL-terminated */
  int data_port;         /* data port, 1..65535 */
  int alarm_port;        /* alarm port, 1..65535; 8050 by default */
  int link_timeout_ms;   /* silence before the link counts as lost, 1000..600000; 0: the
                            process default (scanlink_set_link_timeout) */
  int reply_timeout_ms;  /* a request unanswered this long frees its id; 0: 60000 */
} scanlink_options;

/* A record as C sees it: the header values, then the body whose layout the code selects
 * (records.h names the layout of each code). */
typedef struct scanlink_record {
  uint16_t code;
  uint16_t trans_id; /* the request's transaction id; 0xFFFF for reports and notices */
  uint16_t length;   /* payload length (rewritten by several reports) */
  _CmdBody body;
} scanlink_record;

/* Every record decoded for the session: replies, reports for all, and 0xFFEE link notices. */
typedef void(SCANLINK_CALL* scanlink_record_handler)(void* context,
                                                     const scanlink_record* record);
/* Link events (enum scanlink_link_event). */
typedef void(SCANLINK_CALL* scanlink_link_handler)(void* context, int event);
/* Raw bytes received on the alarm connection. */
typedef void(SCANLINK_CALL* scanlink_alarm_handler)(void* context, const unsigned char* bytes,
                                                    int length);

typedef struct scanlink_handlers {
  scanlink_record_handler on_record; /* each may be null */
  scanlink_link_handler on_link;
  scanlink_alarm_handler on_alarm;
  void* context; /* passed to each */
} scanlink_handlers;

/* The session's counters since it was opened; the fields of ScanlinkCounters (scanlink.h). */
typedef struct scanlink_counters {
  uint64_t frames_received;
  uint64_t bytes_received;
  uint64_t frames_delivered;
  uint64_t dropped_sync;
  uint64_t dropped_length;
  uint64_t dropped_no_module;
  uint64_t dropped_transaction;
  uint64_t bytes_skipped;
  uint64_t frames_oversized;
  uint64_t sends;
  uint64_t sends_failed;
  uint64_t link_losses;
  uint64_t reconnections;
  uint64_t transactions_reclaimed;
  uint64_t queue_high_water;
  /* Since 1.1 (scanlink_read_counters_sized): */
  uint64_t dropped_reserved; /* frames with the link-notice code 0xFFEE, which no scanner sends */
} scanlink_counters;

/* The session's link state and what the scanner told it (the exported variables of the first
 * session). scanlink_read_state fills the fields up to finger_test; scanlink_read_state_sized
 * every field the caller's struct has. */
typedef struct scanlink_state {
  int first_connected; /* 1 once a bring-up has succeeded */
  int link_up;         /* 1 while the link is up (0 once disconnected) */
  int link_down;       /* 1 after a failed automatic reconnection */
  int scanner_type;    /* 1 or 2 from the login reply, 0 unknown */
  int family;          /* 1 WCDMA, 2 TD-SCDMA, 0 unknown: until a login reply has said it.
                          Operations meanwhile send the WCDMA codes. */
  int finger_test;     /* TD cell reports carry finger fields while 1 */
  /* Since 1.1 (scanlink_read_state_sized): */
  int closed;          /* 1 once scanlink_disconnect was called: the session is closed for good */
  int alarm_connected; /* 1 while the alarm connection is up; 0 when it failed or is down (the
                          data link may be up without it: connect still answers UP) */
} scanlink_state;

/* One base station of scanlink_set_bs_list: the layout of _BSCellInfo (scanlink.h). */
typedef struct scanlink_station {
  char name[64];
  uint32_t cell_key1;
  uint32_t cell_key2;
  double longitude;
  double latitude;
} scanlink_station;

/* ---- Process-wide ---------------------------------------------------------------------------- */

/* SCANLINK_VERSION_MAJOR * 10000 + MINOR * 100 + PATCH of the loaded library. */
SCANLINK_API int SCANLINK_CALL scanlink_version(void);
/* Why the calling thread's latest call of a function here refused or failed: an enum
 * scanlink_result, SCANLINK_OK after a call that succeeded. Per thread, as errno: a handler's
 * calls set the handler thread's value, never the application's. */
SCANLINK_API int SCANLINK_CALL scanlink_last_error(void);
/* A short English text for an enum scanlink_result value (any other value: "unknown error").
 * Static storage, never null, never to be freed. */
SCANLINK_API const char* SCANLINK_CALL scanlink_strerror(int error);
/* As ScanlinkSetTraceSink / ScanlinkSetLinkTimeout (scanlink.h): one trace sink and one default
 * link timeout for the whole process. set_link_timeout returns 1 taken, 0 refused. */
typedef void(SCANLINK_CALL* scanlink_trace_handler)(void* context, const char* text);
SCANLINK_API void SCANLINK_CALL scanlink_set_trace(scanlink_trace_handler handler, void* context);
/* 1 taken, 0 refused (outside 1000..600000; last error SCANLINK_ERR_ARGUMENT). */
SCANLINK_API int SCANLINK_CALL scanlink_set_link_timeout(int milliseconds);

/* ---- Sessions -------------------------------------------------------------------------------- */

/* Fills the fields up to reply_timeout_ms with the defaults (alarm port 8050, the rest 0). */
SCANLINK_API void SCANLINK_CALL scanlink_options_init(scanlink_options* options);
/* A new session, not connected; null when the options are refused (last error
 * SCANLINK_ERR_ARGUMENT) or the system refused the memory or the events it needs
 * (SCANLINK_ERR_RESOURCES). Reads the fields up to reply_timeout_ms. Nothing is written to
 * stderr, as nowhere in the library. */
SCANLINK_API scanlink_session* SCANLINK_CALL scanlink_open(const scanlink_options* options);
/* The same for every field of the caller's struct: size is sizeof(scanlink_options) as the
 * caller compiled it (at least the fields up to reply_timeout_ms); fields beyond it keep their
 * defaults. */
SCANLINK_API void SCANLINK_CALL scanlink_options_init_sized(scanlink_options* options,
                                                            size_t size);
SCANLINK_API scanlink_session* SCANLINK_CALL scanlink_open_sized(const scanlink_options* options,
                                                                 size_t size);
/* Replaces the handlers (null: none). Returns once no call to the old handlers is under way,
 * unless called from one of them. */
SCANLINK_API int SCANLINK_CALL scanlink_set_handlers(scanlink_session* session,
                                                     const scanlink_handlers* handlers);
/* Brings the link up: enum scanlink_connect_result, SCANLINK_ERR_SESSION, or
 * SCANLINK_ERR_RESOURCES when the system refused a socket, event or thread the link needs
 * (nothing of the attempt is left; connect again once resources are back). Supervision then
 * reconnects by itself after a loss (link events). Waits at most the connect timeout
 * (scanlink_set_timeouts) plus the reachability probe (up to 1 s). */
SCANLINK_API int SCANLINK_CALL scanlink_connect(scanlink_session* session);
/* Write 0 into the link-down flag, allowing a new scanlink_connect after a failed reconnection. */
SCANLINK_API int SCANLINK_CALL scanlink_clear_link_down(scanlink_session* session);
/* Closes the link for good (as ExitConnection); the handle stays valid until scanlink_close.
 * In the teardown words of the design notes: close (the engine), nothing destroyed. */
SCANLINK_API int SCANLINK_CALL scanlink_disconnect(scanlink_session* session);
/* Closes the link, waits for the session's threads, frees the session: destroy (the engine,
 * then the session), in the design notes' teardown words. SCANLINK_ERR_IN_HANDLER
 * (nothing done) from a handler of any session. A null session is SCANLINK_OK.
 * While it waits, a handler of the session still running may call the session's functions:
 * scanlink_connect then returns SCANLINK_CONNECT_PROBE_FAILED, scanlink_disconnect SCANLINK_OK,
 * the operations 0 and scanlink_send_alarm -1, all with nothing sent; reading counters and state
 * works. Once it has returned the handle is gone: any use of it, a second close included, is
 * undefined. */
SCANLINK_API int SCANLINK_CALL scanlink_close(scanlink_session* session);
/* Fills the fields up to queue_high_water; scanlink_read_counters_sized fills size bytes
 * (sizeof(scanlink_counters) as the caller compiled it, at least up to queue_high_water). */
SCANLINK_API int SCANLINK_CALL scanlink_read_counters(scanlink_session* session,
                                                      scanlink_counters* counters);
SCANLINK_API int SCANLINK_CALL scanlink_read_counters_sized(scanlink_session* session,
                                                            scanlink_counters* counters,
                                                            size_t size);
SCANLINK_API int SCANLINK_CALL scanlink_read_state(scanlink_session* session,
                                                   scanlink_state* state);
/* Fills size bytes of state (sizeof(scanlink_state) as the caller compiled it, at least the
 * fields up to finger_test). */
SCANLINK_API int SCANLINK_CALL scanlink_read_state_sized(scanlink_session* session,
                                                         scanlink_state* state, size_t size);

/* The session's time bounds, in milliseconds; 0 leaves that one as it is. SCANLINK_ERR_ARGUMENT
 * (nothing changed) when one is out of its range.
 *   connect_ms  the longest scanlink_connect, and each automatic reconnection attempt, spends
 *               connecting: every connect attempt and the pauses between them, the alarm
 *               connection included. 100..600000. Until set, none: up to four attempts of 10 s
 *               one second apart for the data connection (about 43 s), then up to three of 10 s
 *               for the alarm connection. Applies from the next bring-up.
 *   reply_ms    a request unanswered this long frees its transaction id; its reply, coming
 *               later, is dropped. 100..3600000; first options.reply_timeout_ms (60000 when 0).
 *               Applies at once, to requests already sent too.
 *   link_ms     silence before the link counts as lost, as options.link_timeout_ms.
 *               1000..600000; first the process default (scanlink_set_link_timeout, 10000).
 *               Applies to connections made afterwards. */
#define SCANLINK_CONNECT_TIMEOUT_MIN 100
#define SCANLINK_CONNECT_TIMEOUT_MAX 600000
#define SCANLINK_REPLY_TIMEOUT_MIN 100
#define SCANLINK_REPLY_TIMEOUT_MAX 3600000
SCANLINK_API int SCANLINK_CALL scanlink_set_timeouts(scanlink_session* session, int connect_ms,
                                                     int reply_ms, int link_ms);
/* The bounds in force (connect_ms 0: none set); each pointer may be null, the others are written
 * during the call only. Neither function waits for a running handler; set_timeouts returns
 * SCANLINK_ERR_CLOSED once scanlink_close has begun (a disconnected session still takes them). */
SCANLINK_API int SCANLINK_CALL scanlink_get_timeouts(scanlink_session* session, int* connect_ms,
                                                     int* reply_ms, int* link_ms);

/* ---- Operations: transaction id 1..1023, 0 nothing sent, -1 null session ------------------- */
/* After 0, scanlink_last_error() says why. Every argument must fit its field on the wire, or the
 * call is refused with nothing sent (SCANLINK_ERR_ARGUMENT): u8 fields 0..255, u16 fields
 * 0..65535, the signed value11 and sa5 -32768..32767, flags and finger_test 0 or 1, selector
 * 0..255, selector_value 0..65535. Lists: at most 168 cells or TD frequencies, 252 WCDMA
 * frequencies. */

/* A raw frame: code, payload bytes (at most 2048). */
SCANLINK_API int SCANLINK_CALL scanlink_send_message(scanlink_session* session, uint16_t code,
                                                     const void* payload, int length);
/* A command record (code and body; trans_id and length are ignored), encoded by the library. */
SCANLINK_API int SCANLINK_CALL scanlink_send_record(scanlink_session* session,
                                                    const scanlink_record* record);
/* Bytes on the alarm connection: bytes taken, or -1 on error (and for a null session). */
SCANLINK_API int SCANLINK_CALL scanlink_send_alarm(scanlink_session* session, const void* bytes,
                                                   int length);
/* Number of stations kept (at most 300); a null list or count <= 0 empties it. */
SCANLINK_API int SCANLINK_CALL scanlink_set_bs_list(scanlink_session* session,
                                                    const scanlink_station* list, int count);
/* As SetGpsMismatchLimit: the tolerance kept (4 * limit, >= 0); SCANLINK_ERR_ARGUMENT for a
 * limit below 0 or above 536870911 (nothing changed). */
SCANLINK_API int SCANLINK_CALL scanlink_set_gps_mismatch_limit(scanlink_session* session,
                                                               int limit);

/* Texts of at most 16 bytes each, read up to their terminator (a longer one is refused). */
SCANLINK_API int SCANLINK_CALL scanlink_login(scanlink_session* session, const char* text1,
                                              const char* text2);
/* The reverse of login: text2 goes into the first text field. */
SCANLINK_API int SCANLINK_CALL scanlink_change_password(scanlink_session* session,
                                                        const char* text2, const char* text1);
SCANLINK_API int SCANLINK_CALL scanlink_set_w_freq_list_scan_mode(
    scanlink_session* session, unsigned list_value1, unsigned list_value2, unsigned list_value3,
    unsigned count, const unsigned* freqs);
SCANLINK_API int SCANLINK_CALL scanlink_set_w_cell_list_scan_mode(
    scanlink_session* session, unsigned list_value1, unsigned list_value2, unsigned list_value3,
    unsigned count, const unsigned* firsts, const unsigned* seconds);
/* mode: any but 7 and 8, the list modes, which have operations of their own. */
SCANLINK_API int SCANLINK_CALL scanlink_set_wcdma_scan_mode(
    scanlink_session* session, unsigned mode, unsigned value1, unsigned value2, unsigned value3,
    unsigned value4, unsigned value5, unsigned value6, unsigned value7, unsigned value8, int flag,
    int value11, unsigned value9, unsigned value10, unsigned value12, unsigned value13);
SCANLINK_API int SCANLINK_CALL scanlink_set_td_sa_scan_mode(scanlink_session* session,
                                                            unsigned sa1, unsigned sa2,
                                                            unsigned selector_value, unsigned sa3,
                                                            int sa_flag, int sa5, unsigned sa4,
                                                            unsigned selector);
SCANLINK_API int SCANLINK_CALL scanlink_set_td_cell_list_scan_mode(
    scanlink_session* session, unsigned selector_value, const unsigned* firsts,
    const unsigned* seconds, unsigned count, unsigned selector, int finger_test,
    unsigned trailing);
SCANLINK_API int SCANLINK_CALL scanlink_set_td_freq_list_scan_mode(
    scanlink_session* session, unsigned selector_value, const unsigned* freqs, unsigned count,
    unsigned selector, int finger_test, unsigned trailing);
SCANLINK_API int SCANLINK_CALL scanlink_set_td_cell_search_scan_mode(
    scanlink_session* session, unsigned search3, unsigned search4, unsigned selector_value,
    unsigned search2, unsigned search1, unsigned selector, int finger_test);
SCANLINK_API int SCANLINK_CALL scanlink_set_td_cw_scan_mode(scanlink_session* session,
                                                            unsigned cw1, unsigned selector_value,
                                                            unsigned cw2, unsigned selector);
/* kind: which of the four channel scans. */
enum scanlink_channel_scan {
  SCANLINK_SCAN_DPCH = 0,
  SCANLINK_SCAN_HSDPA = 1,
  SCANLINK_SCAN_HSUPA = 2,
  SCANLINK_SCAN_MBMS = 3 /* channel1 and channel2 must be equal (both carry one value) */
};
/* block1 and block2: 16 bytes each. */
SCANLINK_API int SCANLINK_CALL scanlink_set_channel_scan_mode(
    scanlink_session* session, int kind, unsigned selector_value, unsigned selector,
    unsigned channel1, unsigned channel2, unsigned channel3, unsigned channel4, unsigned channel5,
    unsigned channel6, const unsigned char* block1, const unsigned char* block2);
SCANLINK_API int SCANLINK_CALL scanlink_get_scan_mode(scanlink_session* session);
SCANLINK_API int SCANLINK_CALL scanlink_get_scanner_version(scanlink_session* session);
SCANLINK_API int SCANLINK_CALL scanlink_reset_scanner(scanlink_session* session);
SCANLINK_API int SCANLINK_CALL scanlink_stop_scan(scanlink_session* session);
SCANLINK_API int SCANLINK_CALL scanlink_start_scan(scanlink_session* session);
/* "00-1a-2B-3c-4D-5e": six groups of two hex digits, any separators, nothing more. */
SCANLINK_API int SCANLINK_CALL scanlink_set_scanner_mac_address(scanlink_session* session,
                                                                const char* text);
/* "192.168.0.10": the whole text a dotted-decimal address, no leading zeros. */
SCANLINK_API int SCANLINK_CALL scanlink_set_scanner_ip_address(scanlink_session* session,
                                                               const char* text);
SCANLINK_API int SCANLINK_CALL scanlink_query_battery(scanlink_session* session);
/* Each value 0..65535. */
SCANLINK_API int SCANLINK_CALL scanlink_set_gps_info_format(scanlink_session* session,
                                                            int value1, int value2);

/* ---- Records as text, and decoding recordings ---------------------------------------------- */

/* The record as one JSON object, the command line's field names. Writes at most size bytes
 * (NUL included; buffer may be null when size is 0) and returns the length of the whole text
 * without the NUL, as snprintf does; SCANLINK_ERR_ARGUMENT for a null record. stations_loaded:
 * a station list was given, so TD cell verdicts mean something. */
SCANLINK_API int SCANLINK_CALL scanlink_record_json(const scanlink_record* record,
                                                    int stations_loaded, char* buffer,
                                                    size_t size);

/* The decoder settings of a recording. */
typedef struct scanlink_decode_options {
  int finger_test;                  /* TD cell records carry finger fields */
  const scanlink_station* stations; /* GPS check list, may be null */
  int station_count;
  int mismatch_limit;               /* GPS check tolerance; < 0: the library's default */
} scanlink_decode_options;

/* What a decode found. */
typedef struct scanlink_decode_stats {
  uint64_t frames;        /* frames cut from the bytes */
  uint64_t bytes_skipped; /* damaged bytes skipped */
  uint64_t oversized;     /* headers announcing over 2048 payload bytes */
  uint64_t partial_bytes; /* bytes of an incomplete last frame */
} scanlink_decode_stats;

/* Decodes the bytes of a recorded data stream (the scanner's side) with the same framing and
 * decoder as a session, calling on_record for each record (null options: the defaults, no
 * station list). Stateless and reentrant. Returns the number of records, or
 * SCANLINK_ERR_ARGUMENT. stats may be null. */
SCANLINK_API int SCANLINK_CALL scanlink_decode(const unsigned char* bytes, size_t length,
                                               const scanlink_decode_options* options,
                                               scanlink_record_handler on_record, void* context,
                                               scanlink_decode_stats* stats);

/* ---- Per-session trace and wire tap -------------------------------------------------------- */

/* How much a trace text matters: a session's trace handler hears its level and those above. */
enum scanlink_trace_level {
  SCANLINK_TRACE_ERROR = 1,   /* something failed: a socket, a thread, memory */
  SCANLINK_TRACE_WARNING = 2, /* something went wrong and was dealt with: a loss, a bad frame */
  SCANLINK_TRACE_INFO = 3,    /* steps of bring-up and teardown */
  SCANLINK_TRACE_DEBUG = 4    /* every frame sent and received */
};

/* The session's number in this process: 1, 2, ... in the order sessions are opened (the first
 * session of scanlink.h is 0). Trace and tap handlers get it; the process's trace sink
 * (scanlink_set_trace) gets a session's texts, while it has no trace of its own, prefixed with
 * "session N (address:port): ". -1 for a null session. */
SCANLINK_API int SCANLINK_CALL scanlink_session_id(scanlink_session* session);

typedef void(SCANLINK_CALL* scanlink_session_trace_handler)(void* context, int session_id,
                                                            int level, const char* text);
/* The session's own trace: its texts of that level (enum scanlink_trace_level) and above go to
 * handler, and no longer to the process's sink; a null handler gives them back to it. Called on
 * the session's threads and on the threads calling its operations, possibly at once: keep it
 * short, do not block, and do not close a session from it. text is valid during the call only.
 * Returns once no call to the handler replaced is under way (a handler may replace itself), so
 * its context may then be released.
 * SCANLINK_ERR_ARGUMENT for a level outside 1..4 with a handler, SCANLINK_ERR_CLOSED once
 * scanlink_close has begun. */
SCANLINK_API int SCANLINK_CALL scanlink_set_session_trace(scanlink_session* session, int level,
                                                          scanlink_session_trace_handler handler,
                                                          void* context);

/* direction 0 received, 1 sent; channel 0 data, 1 alarm. Direction 2 says that a data
 * connection has just been made (before any byte of it), 3 that it has ended (no byte of it
 * follows), both with bytes NULL and length 0: what follows a 2 is a stream of its own. */
typedef void(SCANLINK_CALL* scanlink_tap_handler)(void* context, int session_id, int direction,
                                                  int channel, const unsigned char* bytes,
                                                  int length);
/* Every byte the session exchanges with its scanner, as it goes (a recorder): received bytes per
 * read before framing, on the listening thread; each frame sent before it is written, so a
 * request is always seen before its reply; alarm bytes once they went out. One call at a time;
 * the tap must not call the library. Returns once no call to the tap replaced is under way. Only
 * this session's bytes: the process's tap (ScanlinkSetWireTap) hears the first session only.
 * SCANLINK_ERR_CLOSED once scanlink_close has begun. */
SCANLINK_API int SCANLINK_CALL scanlink_set_tap(scanlink_session* session,
                                                scanlink_tap_handler handler, void* context);

/* ---- Use without callbacks: records and link events taken from a queue -------------------- */

/* Starts keeping the session's records (those on_record gets) and link events (those on_link
 * gets) for the functions below, whether handlers are set or not: at most capacity records
 * (1..100000; about 10 KB each, allocated as the queue first fills that far) and 64 link events.
 * A record or event arriving at a full queue is dropped and counted (scanlink_read_queue_stats):
 * the session's threads never wait for room. A new capacity keeps what waits, oldest first, as far
 * as it fits; 0 stops keeping and drops what waits. Off when a session is opened.
 * SCANLINK_ERR_ARGUMENT outside 0..100000, SCANLINK_ERR_RESOURCES without memory, and
 * SCANLINK_ERR_CLOSED once scanlink_close has begun. Never waits for a running handler. */
SCANLINK_API int SCANLINK_CALL scanlink_set_queue(scanlink_session* session, int capacity);

/* Each takes the oldest item, waiting up to timeout_ms (0 no wait, at most 600000) for one.
 * SCANLINK_ERR_ARGUMENT for a null pointer, a timeout out of range or no queue (set_queue);
 * SCANLINK_ERR_IN_HANDLER for a wait (timeout_ms > 0) from a handler of the session;
 * SCANLINK_ERR_CLOSED once scanlink_close has begun (the waits under way return at once). After
 * scanlink_disconnect what waits is still taken, and then 0 comes at once, without waiting, with
 * last error SCANLINK_ERR_CLOSED (a plain 0 none in time leaves SCANLINK_OK). Any application
 * thread may call them; a record goes to one caller only. None waits for a running handler. */

/* 1 and the record in *record, 0 none in time. */
SCANLINK_API int SCANLINK_CALL scanlink_next_record(scanlink_session* session,
                                                    scanlink_record* record, int timeout_ms);
/* The record as scanlink_record_json writes it (the session's station list deciding TD cell
 * verdicts), NUL-terminated: returns the text's length, 0 none in time. A length of size or more
 * means the text did not fit: nothing was taken, the record stays first in line; call again with
 * length + 1 bytes (buffer may be null when size is 0). */
SCANLINK_API int SCANLINK_CALL scanlink_next_record_json(scanlink_session* session, char* buffer,
                                                         size_t size, int timeout_ms);
/* The event (enum scanlink_link_event), 0 none in time. */
SCANLINK_API int SCANLINK_CALL scanlink_next_link_event(scanlink_session* session, int timeout_ms);

typedef struct scanlink_queue_stats {
  uint64_t records_waiting;
  uint64_t records_dropped; /* arrived at a full queue */
  uint64_t events_waiting;
  uint64_t events_dropped;
  uint64_t records_high_water; /* most records waiting at once */
} scanlink_queue_stats;
/* Fills the fields up to records_high_water; scanlink_read_queue_stats_sized fills size bytes
 * (sizeof(scanlink_queue_stats) as the caller compiled it, at least up to records_high_water).
 * Never waits. */
SCANLINK_API int SCANLINK_CALL scanlink_read_queue_stats(scanlink_session* session,
                                                         scanlink_queue_stats* stats);
SCANLINK_API int SCANLINK_CALL scanlink_read_queue_stats_sized(scanlink_session* session,
                                                               scanlink_queue_stats* stats,
                                                               size_t size);

/* Ready while a record or a link event waits, for the application's event loop: on POSIX a file
 * descriptor, readable (select, poll, epoll; never read, write or close it); on Windows an event
 * HANDLE, signalled (WaitForSingleObject, WaitForMultipleObjects). It stays ready until the
 * queue is empty: take with timeout 0 until nothing comes. The session's: valid until
 * scanlink_close. -1 for a null session (last error SCANLINK_ERR_SESSION) or when the system gave
 * none (SCANLINK_ERR_RESOURCES). */
SCANLINK_API intptr_t SCANLINK_CALL scanlink_wait_handle(scanlink_session* session);

#ifdef __cplusplus
}
#endif

#endif
