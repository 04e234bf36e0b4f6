// The protocol's timings, and the bounds of the waits it leaves open. Tests that break the link
// hundreds of times shorten them; applications keep the defaults.
#pragma once

namespace scanlink::transport {

struct Timings {
  int retryPauseMs = 1000;   // before each delayed connect attempt
  int supervisionMs = 300;   // link supervision's poll
  int probeTimeoutMs = 500;  // each echo exchange
  // One connect attempt: long enough for the SYN retransmissions of a lossy link (the third
  // SYN leaves after 3 s on Linux and 9 s on Windows), and cancellable, so teardown stays
  // prompt all the same.
  int connectTimeoutMs = 10000;
  int sendWaitMs = 3000;  // a full send buffer before the link counts as lost
  // A request without a reply for this long gives its transaction id back; a later reply is
  // then an unknown transaction.
  int replyTimeoutMs = 60000;
};

}  // namespace scanlink::transport
