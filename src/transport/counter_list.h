/* Every session counter once, in the order of ScanlinkCounters and scanlink_counters (whose
 * layout applications compiled against: append only). X(cppName, cName): the field's name in
 * the C++ struct and in the C struct. Plain preprocessor, so the C layout check includes it
 * too; the library's copies, the public structs and the Python mirror are held to it. */
#ifndef SCANLINK_TRANSPORT_COUNTER_LIST_H
#define SCANLINK_TRANSPORT_COUNTER_LIST_H

#define SCANLINK_COUNTERS(X)                       \
  X(framesReceived, frames_received)               \
  X(bytesReceived, bytes_received)                 \
  X(framesDelivered, frames_delivered)             \
  X(droppedSync, dropped_sync)                     \
  X(droppedLength, dropped_length)                 \
  X(droppedNoModule, dropped_no_module)            \
  X(droppedTransaction, dropped_transaction)       \
  X(bytesSkipped, bytes_skipped)                   \
  X(framesOversized, frames_oversized)             \
  X(sends, sends)                                  \
  X(sendsFailed, sends_failed)                     \
  X(linkLosses, link_losses)                       \
  X(reconnections, reconnections)                  \
  X(transactionsReclaimed, transactions_reclaimed) \
  X(queueHighWater, queue_high_water)              \
  X(droppedReserved, dropped_reserved)

/* The fields of scanlink_state in their order; filled one by one in c_api.cpp. */
#define SCANLINK_STATE_FIELDS(X) \
  X(first_connected)             \
  X(link_up)                     \
  X(link_down)                   \
  X(scanner_type)                \
  X(family)                      \
  X(finger_test)                 \
  X(closed)                      \
  X(alarm_connected)

#endif
