// Every C function against a null session, a closed one and arguments its fields cannot hold:
// the documented result, the reason in scanlink_last_error(), and nothing sent.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "scanlink/scanlink_c.h"

namespace {

using Call = std::function<int(scanlink_session*)>;

const unsigned kList[2] = {1, 2};
const unsigned kWide[2] = {1, 0x10000};
const unsigned char kBlock[16] = {};

using Row = std::pair<const char*, Call>;

// What a call refused for a live session's sake returns: 0, or -1 for the alarm bytes, whose
// result counts bytes.
int Refused(const Row& row) { return std::string(row.first) == "send_alarm" ? -1 : 0; }

// Valid arguments: refused only for the session's sake.
std::vector<Row> Operations() {
  return {
      {"login", [](scanlink_session* s) { return scanlink_login(s, "u", "p"); }},
      {"change_password",
       [](scanlink_session* s) { return scanlink_change_password(s, "p", "u"); }},
      {"w_freq_list",
       [](scanlink_session* s) {
         return scanlink_set_w_freq_list_scan_mode(s, 1, 2, 3, 2, kList);
       }},
      {"w_cell_list",
       [](scanlink_session* s) {
         return scanlink_set_w_cell_list_scan_mode(s, 1, 2, 3, 2, kList, kList);
       }},
      {"wcdma",
       [](scanlink_session* s) {
         return scanlink_set_wcdma_scan_mode(s, 4, 1, 2, 3, 4, 5, 6, 7, 8, 1, -1, 9, 10, 12, 13);
       }},
      {"td_sa",
       [](scanlink_session* s) {
         return scanlink_set_td_sa_scan_mode(s, 1, 2, 3, 4, 1, -2, 5, 0);
       }},
      {"td_cell_list",
       [](scanlink_session* s) {
         return scanlink_set_td_cell_list_scan_mode(s, 1, kList, kList, 2, 0, 1, 3);
       }},
      {"td_freq_list",
       [](scanlink_session* s) {
         return scanlink_set_td_freq_list_scan_mode(s, 1, kList, 2, 0, 0, 3);
       }},
      {"td_cell_search",
       [](scanlink_session* s) {
         return scanlink_set_td_cell_search_scan_mode(s, 1, 2, 3, 4, 5, 0, 0);
       }},
      {"td_cw", [](scanlink_session* s) { return scanlink_set_td_cw_scan_mode(s, 1, 2, 3, 0); }},
      {"channel",
       [](scanlink_session* s) {
         return scanlink_set_channel_scan_mode(s, SCANLINK_SCAN_HSDPA, 1, 0, 1, 2, 3, 4, 5, 6,
                                               kBlock, kBlock);
       }},
      {"get_scan_mode", scanlink_get_scan_mode},
      {"get_scanner_version", scanlink_get_scanner_version},
      {"reset_scanner", scanlink_reset_scanner},
      {"stop_scan", scanlink_stop_scan},
      {"start_scan", scanlink_start_scan},
      {"query_battery", scanlink_query_battery},
      {"mac",
       [](scanlink_session* s) {
         return scanlink_set_scanner_mac_address(s, "00-1a-2B-3c-4D-5e");
       }},
      {"ip", [](scanlink_session* s) { return scanlink_set_scanner_ip_address(s, "10.0.0.2"); }},
      {"gps_format", [](scanlink_session* s) { return scanlink_set_gps_info_format(s, 1, 2); }},
      {"send_message",
       [](scanlink_session* s) { return scanlink_send_message(s, 0xF030, nullptr, 0); }},
      {"send_record",
       [](scanlink_session* s) {
         scanlink_record r{};
         r.code = 0xF030;
         return scanlink_send_record(s, &r);
       }},
      {"send_alarm", [](scanlink_session* s) { return scanlink_send_alarm(s, "x", 1); }},
  };
}

// Arguments that do not fit their fields (or are malformed): each once went out narrowed, cut
// or as another value.
std::vector<Row> OutOfRange() {
  const std::string longText(17, 'u');
  return {
      {"login text of 17",
       [longText](scanlink_session* s) { return scanlink_login(s, longText.c_str(), "p"); }},
      {"w freq list value2",
       [](scanlink_session* s) {
         return scanlink_set_w_freq_list_scan_mode(s, 1, 0x10000, 3, 2, kList);
       }},
      {"w cell second",
       [](scanlink_session* s) {
         return scanlink_set_w_cell_list_scan_mode(s, 1, 2, 3, 2, kList, kWide);
       }},
      {"wcdma value6 300",
       [](scanlink_session* s) {
         return scanlink_set_wcdma_scan_mode(s, 4, 1, 2, 3, 4, 5, 300, 7, 8, 1, -1, 9, 10, 12, 13);
       }},
      {"wcdma value4 70000",
       [](scanlink_session* s) {
         return scanlink_set_wcdma_scan_mode(s, 4, 1, 2, 3, 70000, 5, 6, 7, 8, 1, -1, 9, 10, 12,
                                             13);
       }},
      {"wcdma value11 40000",
       [](scanlink_session* s) {
         return scanlink_set_wcdma_scan_mode(s, 4, 1, 2, 3, 4, 5, 6, 7, 8, 1, 40000, 9, 10, 12, 13);
       }},
      {"wcdma list mode 7",
       [](scanlink_session* s) {
         return scanlink_set_wcdma_scan_mode(s, 7, 1, 2, 3, 4, 5, 6, 7, 8, 1, 0, 9, 10, 12, 13);
       }},
      {"wcdma flag 2",
       [](scanlink_session* s) {
         return scanlink_set_wcdma_scan_mode(s, 4, 1, 2, 3, 4, 5, 6, 7, 8, 2, 0, 9, 10, 12, 13);
       }},
      {"td sa value4",
       [](scanlink_session* s) {
         return scanlink_set_td_sa_scan_mode(s, 1, 2, 3, 4, 1, -2, 256, 0);
       }},
      {"td selector 256",
       [](scanlink_session* s) { return scanlink_set_td_cw_scan_mode(s, 1, 2, 3, 256); }},
      {"td cell list trailing",
       [](scanlink_session* s) {
         return scanlink_set_td_cell_list_scan_mode(s, 1, kList, kList, 2, 0, 1, 256);
       }},
      {"td freq list finger 2",
       [](scanlink_session* s) {
         return scanlink_set_td_freq_list_scan_mode(s, 1, kList, 2, 0, 2, 3);
       }},
      {"td cell search value1",
       [](scanlink_session* s) {
         return scanlink_set_td_cell_search_scan_mode(s, 1, 2, 3, 4, 256, 0, 0);
       }},
      {"channel kind",
       [](scanlink_session* s) {
         return scanlink_set_channel_scan_mode(s, 4, 1, 0, 1, 2, 3, 4, 5, 6, kBlock, kBlock);
       }},
      {"channel value4",
       [](scanlink_session* s) {
         return scanlink_set_channel_scan_mode(s, 0, 1, 0, 1, 2, 3, 256, 5, 6, kBlock, kBlock);
       }},
      {"mac seven groups",
       [](scanlink_session* s) {
         return scanlink_set_scanner_mac_address(s, "00-1a-2B-3c-4D-5e-77");
       }},
      {"ip cut to 15",
       [](scanlink_session* s) { return scanlink_set_scanner_ip_address(s, "192.168.100.2001"); }},
      {"gps format -1", [](scanlink_session* s) { return scanlink_set_gps_info_format(s, -1, 2); }},
      {"message too long",
       [](scanlink_session* s) { return scanlink_send_message(s, 1, kBlock, 2049); }},
      {"record that fits no frame",
       [](scanlink_session* s) {
         scanlink_record r{};
         r.code = 1;
         r.body.wScanMode.nMode = 7;
         r.body.wScanMode.fields.cellList.nCount = 200;
         return scanlink_send_record(s, &r);
       }},
  };
}

scanlink_session* OpenUnconnected() {
  scanlink_options o;
  scanlink_options_init(&o);
  std::strcpy(o.address, "127.0.0.1");
  o.data_port = 5000;
  return scanlink_open(&o);
}

TEST(CContract, ANullSessionIsRefusedByEveryFunction) {
  for (const auto& [name, call] : Operations()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(call(nullptr), SCANLINK_ERR_SESSION);
    EXPECT_EQ(scanlink_last_error(), SCANLINK_ERR_SESSION);
  }
  scanlink_counters counters;
  scanlink_state state;
  EXPECT_EQ(scanlink_read_counters(nullptr, &counters), SCANLINK_ERR_SESSION);
  EXPECT_EQ(scanlink_read_state(nullptr, &state), SCANLINK_ERR_SESSION);
  EXPECT_EQ(scanlink_read_state_sized(nullptr, &state, sizeof state), SCANLINK_ERR_SESSION);
  EXPECT_EQ(scanlink_set_handlers(nullptr, nullptr), SCANLINK_ERR_SESSION);
  EXPECT_EQ(scanlink_connect(nullptr), SCANLINK_ERR_SESSION);
  EXPECT_EQ(scanlink_clear_link_down(nullptr), SCANLINK_ERR_SESSION);
  EXPECT_EQ(scanlink_disconnect(nullptr), SCANLINK_ERR_SESSION);
  EXPECT_EQ(scanlink_set_bs_list(nullptr, nullptr, 0), SCANLINK_ERR_SESSION);
  EXPECT_EQ(scanlink_set_gps_mismatch_limit(nullptr, 1), SCANLINK_ERR_SESSION);
  EXPECT_EQ(scanlink_last_error(), SCANLINK_ERR_SESSION);
  EXPECT_EQ(scanlink_close(nullptr), SCANLINK_OK);
}

TEST(CContract, ArgumentsTheirFieldsCannotHoldAreRefusedWithNothingSent) {
  scanlink_session* s = OpenUnconnected();
  ASSERT_NE(s, nullptr);
  for (const auto& [name, call] : OutOfRange()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(call(s), 0);
    EXPECT_EQ(scanlink_last_error(), SCANLINK_ERR_ARGUMENT);
  }
  // Without a link the same operations with fitting arguments are offered and say so.
  for (const Row& row : Operations()) {
    SCOPED_TRACE(row.first);
    EXPECT_EQ(row.second(s), Refused(row));
    EXPECT_EQ(scanlink_last_error(), SCANLINK_ERR_NO_LINK);
  }
  scanlink_counters counters{};
  ASSERT_EQ(scanlink_read_counters(s, &counters), SCANLINK_OK);
  EXPECT_EQ(counters.sends, 0u);
  // Results never look like errors: the tolerance is 4 * limit, or refused.
  EXPECT_EQ(scanlink_set_gps_mismatch_limit(s, 100), 400);
  EXPECT_EQ(scanlink_set_gps_mismatch_limit(s, -1), SCANLINK_ERR_ARGUMENT);
  EXPECT_EQ(scanlink_set_gps_mismatch_limit(s, 1 << 29), SCANLINK_ERR_ARGUMENT);
  EXPECT_EQ(scanlink_read_counters(s, nullptr), SCANLINK_ERR_ARGUMENT);
  EXPECT_EQ(scanlink_read_state(s, nullptr), SCANLINK_ERR_ARGUMENT);
  scanlink_state state;
  EXPECT_EQ(scanlink_read_state_sized(s, &state, 8), SCANLINK_ERR_ARGUMENT);
  EXPECT_EQ(scanlink_send_alarm(s, nullptr, 1), -1);
  EXPECT_EQ(scanlink_last_error(), SCANLINK_ERR_ARGUMENT);
  EXPECT_EQ(scanlink_set_link_timeout(999), 0);
  EXPECT_EQ(scanlink_last_error(), SCANLINK_ERR_ARGUMENT);
  EXPECT_EQ(scanlink_close(s), SCANLINK_OK);
}

TEST(CContract, AClosedSessionSaysSoAndStaysClosed) {
  scanlink_session* s = OpenUnconnected();
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(scanlink_disconnect(s), SCANLINK_OK);
  for (const Row& row : Operations()) {
    SCOPED_TRACE(row.first);
    EXPECT_EQ(row.second(s), Refused(row));
    EXPECT_EQ(scanlink_last_error(), SCANLINK_ERR_CLOSED);
  }
  EXPECT_EQ(scanlink_connect(s), SCANLINK_CONNECT_PROBE_FAILED);
  EXPECT_EQ(scanlink_last_error(), SCANLINK_ERR_CLOSED);
  scanlink_state state;
  std::memset(&state, 0x55, sizeof state);
  ASSERT_EQ(scanlink_read_state_sized(s, &state, sizeof state), SCANLINK_OK);
  EXPECT_EQ(state.closed, 1);
  EXPECT_EQ(state.link_up, 0);
  EXPECT_EQ(state.family, 0) << "no login reply: the family is not known";
  EXPECT_EQ(state.alarm_connected, 0);
  // The first function writes only the fields it had.
  std::memset(&state, 0x55, sizeof state);
  ASSERT_EQ(scanlink_read_state(s, &state), SCANLINK_OK);
  EXPECT_EQ(state.closed, 0x55555555);
  EXPECT_EQ(scanlink_close(s), SCANLINK_OK);
}

TEST(CContract, OptionsAndOpenUseNoMoreThanTheCallersSize) {
  scanlink_options o;
  std::memset(&o, 0x55, sizeof o);
  scanlink_options_init_sized(&o, sizeof o);
  EXPECT_EQ(o.alarm_port, 8050);
  EXPECT_EQ(o.reply_timeout_ms, 0);
  std::strcpy(o.address, "127.0.0.1");
  o.data_port = 5000;
  scanlink_session* s = scanlink_open_sized(&o, sizeof o);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(scanlink_close(s), SCANLINK_OK);
  EXPECT_EQ(scanlink_open_sized(&o, 4), nullptr);
  EXPECT_EQ(scanlink_last_error(), SCANLINK_ERR_ARGUMENT);
  o.data_port = 0;
  EXPECT_EQ(scanlink_open(&o), nullptr);
  EXPECT_EQ(scanlink_last_error(), SCANLINK_ERR_ARGUMENT);
}

TEST(CContract, EveryResultHasAText) {
  for (int e = SCANLINK_OK; e >= SCANLINK_ERR_INTERNAL; --e) {
    EXPECT_STRNE(scanlink_strerror(e), "unknown error") << e;
  }
  EXPECT_STREQ(scanlink_strerror(1), "unknown error");
  EXPECT_EQ(scanlink_version(), SCANLINK_VERSION_NUMBER);
}

}  // namespace
