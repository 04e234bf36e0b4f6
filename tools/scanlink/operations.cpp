#include "operations.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <type_traits>

#include "exit_codes.h"

namespace scanlink::cli {
namespace {

using Args = std::vector<std::string>;

unsigned long Number(const std::string& text, unsigned long max, const char* what) {
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || v > max || text[0] == '-')
    throw CliError(kExitUsage, std::string("bad ") + what + " '" + text + "' (0.." +
                                   std::to_string(max) + " expected)");
  return v;
}

unsigned U32(const std::string& t) {
  return static_cast<unsigned>(Number(t, 0xFFFFFFFF, "number"));
}

short S16(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || v < -32768 || v > 32767)
    throw CliError(kExitUsage, "bad signed 16-bit number '" + text + "'");
  return static_cast<short>(v);
}

bool Flag(const std::string& t) { return Number(t, 1, "flag") != 0; }

// Optional argument i, else the default.
unsigned Opt(const Args& a, size_t i, unsigned otherwise) {
  return i < a.size() ? U32(a[i]) : otherwise;
}

std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, by)) out.push_back(item);
  return out;
}

// The most entries the library sends in one scan mode: more are refused after connecting.
constexpr size_t kMaxCells = 168;
constexpr size_t kMaxWcdmaFreqs = 252;

// "K1/P1,K2/P2" → two lists (at most kMaxCells entries).
void Pairs(const std::string& text, std::vector<unsigned>& first, std::vector<unsigned>& second) {
  for (const std::string& item : Split(text, ',')) {
    const auto parts = Split(item, '/');
    if (parts.size() != 2)
      throw CliError(kExitUsage, "bad cell '" + item + "' (KEY/PARAM expected)");
    first.push_back(U32(parts[0]));
    second.push_back(U32(parts[1]));
  }
  if (first.empty() || first.size() > kMaxCells)
    throw CliError(kExitUsage, "a cell list holds 1 to " + std::to_string(kMaxCells) + " cells");
}

std::vector<unsigned> List(const std::string& text, size_t most) {
  std::vector<unsigned> out;
  for (const std::string& item : Split(text, ',')) out.push_back(U32(item));
  if (out.empty() || out.size() > most)
    throw CliError(kExitUsage, "a list holds 1 to " + std::to_string(most) + " values");
  return out;
}

// 16 bytes from hex (shorter text is zero-filled).
std::vector<unsigned char> Block(const std::string& hex) {
  if (hex.size() % 2 != 0 || hex.size() > 32 ||
      hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    throw CliError(kExitUsage, "bad block '" + hex + "' (up to 32 hex digits)");
  std::vector<unsigned char> out(16, 0);
  for (size_t i = 0; i < hex.size(); i += 2)
    out[i / 2] = static_cast<unsigned char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
  return out;
}

std::vector<char> Text16(const std::string& text) {
  if (text.size() > 15) throw CliError(kExitUsage, "'" + text + "' is longer than 15 characters");
  std::vector<char> out(16, 0);
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

// The DPCH, HSDPA and HSUPA scans share their arguments.
template <typename Client, typename Scan>
int Channel(Client& c, const Args& a, Scan scan) {
  auto b1 = Block(a[8]), b2 = Block(a[9]);
  return (c.*scan)(U32(a[0]), U32(a[1]), U32(a[2]), U32(a[3]), U32(a[4]), U32(a[5]), U32(a[6]),
                   U32(a[7]), b1.data(), b2.data());
}

// Stands in for the client while arguments are checked, before any connection is made.
struct DryRun {
#define SCANLINK_DRY(name) \
  template <typename... T> \
  int name(T&&...) {       \
    return 1;              \
  }
  SCANLINK_DRY(LoginScaner)
  SCANLINK_DRY(ChangePassword)
  SCANLINK_DRY(GetScanerVersion)
  SCANLINK_DRY(GetScanMode)
  SCANLINK_DRY(QueryBattery)
  SCANLINK_DRY(StartScanData)
  SCANLINK_DRY(StopScanData)
  SCANLINK_DRY(ResetScaner)
  SCANLINK_DRY(SetScanerIPAddress)
  SCANLINK_DRY(SetGpsInfoFormat)
  SCANLINK_DRY(SetWCDMAScanMode)
  SCANLINK_DRY(SetWFreqListScanMode)
  SCANLINK_DRY(SetWCellListScanMode)
  SCANLINK_DRY(SetTDCellListScanMode)
  SCANLINK_DRY(SetTDFreqListScanMode)
  SCANLINK_DRY(SetTDCellSearchScanMode)
  SCANLINK_DRY(SetTDSAScanMode)
  SCANLINK_DRY(SetTDCWScanMode)
  SCANLINK_DRY(SetMbmsScanMode)
  SCANLINK_DRY(ClientSendMessage)
#undef SCANLINK_DRY
  // The library checks the text; the same rule here, so a typo fails before connecting.
  int SetScanerMACAddress(char* text) {
    if (std::strlen(text) < 17) return 0;
    for (int i = 0; i < 6; ++i)
      for (int k = 0; k < 2; ++k)
        if (!std::isxdigit(static_cast<unsigned char>(text[3 * i + k]))) return 0;
    return 1;
  }
  int SetDpchScanMode(unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned,
                      unsigned, unsigned char*, unsigned char*) {
    return 1;
  }
  int SetHsdpaScanMode(unsigned a, unsigned b, unsigned c, unsigned d, unsigned e, unsigned f,
                       unsigned g, unsigned h, unsigned char* i, unsigned char* j) {
    return SetDpchScanMode(a, b, c, d, e, f, g, h, i, j);
  }
  int SetHsupaScanMode(unsigned a, unsigned b, unsigned c, unsigned d, unsigned e, unsigned f,
                       unsigned g, unsigned h, unsigned char* i, unsigned char* j) {
    return SetDpchScanMode(a, b, c, d, e, f, g, h, i, j);
  }
};

// The client's operations on a session of the C interface, so one table serves both.
struct SessionClient {
  scanlink_session* s;
  int LoginScaner(char* a, char* b) { return scanlink_login(s, a, b); }
  int ChangePassword(char* text2, char* text1) { return scanlink_change_password(s, text2, text1); }
  int GetScanerVersion() { return scanlink_get_scanner_version(s); }
  int GetScanMode() { return scanlink_get_scan_mode(s); }
  int QueryBattery() { return scanlink_query_battery(s); }
  int StartScanData() { return scanlink_start_scan(s); }
  int StopScanData() { return scanlink_stop_scan(s); }
  int ResetScaner() { return scanlink_reset_scanner(s); }
  int SetScanerIPAddress(char* text) { return scanlink_set_scanner_ip_address(s, text); }
  int SetScanerMACAddress(char* text) { return scanlink_set_scanner_mac_address(s, text); }
  int SetGpsInfoFormat(int a, int b) { return scanlink_set_gps_info_format(s, a, b); }
  int SetWCDMAScanMode(unsigned mode, unsigned v1, unsigned v2, unsigned v3, unsigned v4,
                       unsigned v5, unsigned v6, unsigned v7, unsigned v8, bool flag, short v11,
                       unsigned v9, unsigned v10, unsigned v12, unsigned v13) {
    return scanlink_set_wcdma_scan_mode(s, mode, v1, v2, v3, v4, v5, v6, v7, v8, flag, v11, v9, v10,
                                        v12, v13);
  }
  int SetWFreqListScanMode(unsigned l1, unsigned l2, unsigned l3, unsigned n, unsigned* f) {
    return scanlink_set_w_freq_list_scan_mode(s, l1, l2, l3, n, f);
  }
  int SetWCellListScanMode(unsigned l1, unsigned l2, unsigned l3, unsigned n, unsigned* k,
                           unsigned* p) {
    return scanlink_set_w_cell_list_scan_mode(s, l1, l2, l3, n, k, p);
  }
  int SetTDCellListScanMode(unsigned sv, unsigned* k, unsigned* p, unsigned n, unsigned sel,
                            bool finger, unsigned trailing) {
    return scanlink_set_td_cell_list_scan_mode(s, sv, k, p, n, sel, finger, trailing);
  }
  int SetTDFreqListScanMode(unsigned sv, unsigned* f, unsigned n, unsigned sel, bool finger,
                            unsigned trailing) {
    return scanlink_set_td_freq_list_scan_mode(s, sv, f, n, sel, finger, trailing);
  }
  int SetTDCellSearchScanMode(unsigned s3, unsigned s4, unsigned sv, unsigned s2, unsigned s1,
                              unsigned sel, bool finger) {
    return scanlink_set_td_cell_search_scan_mode(s, s3, s4, sv, s2, s1, sel, finger);
  }
  int SetTDSAScanMode(unsigned a1, unsigned a2, unsigned sv, unsigned a3, bool flag, short a5,
                      unsigned a4, unsigned sel) {
    return scanlink_set_td_sa_scan_mode(s, a1, a2, sv, a3, flag, a5, a4, sel);
  }
  int SetTDCWScanMode(unsigned c1, unsigned sv, unsigned c2, unsigned sel) {
    return scanlink_set_td_cw_scan_mode(s, c1, sv, c2, sel);
  }
  int Channel(int kind, unsigned sv, unsigned sel, unsigned c1, unsigned c2, unsigned c3,
              unsigned c4, unsigned c5, unsigned c6, unsigned char* b1, unsigned char* b2) {
    return scanlink_set_channel_scan_mode(s, kind, sv, sel, c1, c2, c3, c4, c5, c6, b1, b2);
  }
  int SetDpchScanMode(unsigned a, unsigned b, unsigned c, unsigned d, unsigned e, unsigned f,
                      unsigned g, unsigned h, unsigned char* i, unsigned char* j) {
    return Channel(SCANLINK_SCAN_DPCH, a, b, c, d, e, f, g, h, i, j);
  }
  int SetHsdpaScanMode(unsigned a, unsigned b, unsigned c, unsigned d, unsigned e, unsigned f,
                       unsigned g, unsigned h, unsigned char* i, unsigned char* j) {
    return Channel(SCANLINK_SCAN_HSDPA, a, b, c, d, e, f, g, h, i, j);
  }
  int SetHsupaScanMode(unsigned a, unsigned b, unsigned c, unsigned d, unsigned e, unsigned f,
                       unsigned g, unsigned h, unsigned char* i, unsigned char* j) {
    return Channel(SCANLINK_SCAN_HSUPA, a, b, c, d, e, f, g, h, i, j);
  }
  int SetMbmsScanMode(unsigned sv, unsigned sel, unsigned c12, unsigned c3, unsigned c4,
                      unsigned c5, unsigned c6, unsigned char* b1, unsigned char* b2) {
    return Channel(SCANLINK_SCAN_MBMS, sv, sel, c12, c12, c3, c4, c5, c6, b1, b2);
  }
  int ClientSendMessage(CMyPcCommMessage& m) {
    return scanlink_send_message(s, m.nCode, m.payload, m.nLength);
  }
};

// One table entry from a generic lambda: sent through the client, or checked dry.
template <typename F>
Operation Op(const char* name, const char* usage, size_t min, size_t max, bool replies, F) {
  return {name,
          usage,
          min,
          max,
          replies,
          [](CMyPcCommSocketClient& c, const Args& a) { return F{}(c, a); },
          [](const Args& a) {
            DryRun dry;
            F{}(dry, a);
          },
          [](scanlink_session* s, const Args& a) {
            SessionClient c{s};
            return F{}(c, a);
          }};
}

const std::vector<Operation> kOperations = {
    Op("login", "USER PASSWORD", 2, 2, true,
       [](auto& c, const Args& a) {
         auto user = Text16(a[0]), password = Text16(a[1]);
         return c.LoginScaner(user.data(), password.data());
       }),
    Op("change-password", "USER NEW-PASSWORD", 2, 2, false,
       [](auto& c, const Args& a) {
         auto user = Text16(a[0]), password = Text16(a[1]);
         return c.ChangePassword(password.data(), user.data());
       }),
    Op("version", "", 0, 0, true, [](auto& c, const Args&) { return c.GetScanerVersion(); }),
    Op("mode", "", 0, 0, true, [](auto& c, const Args&) { return c.GetScanMode(); }),
    Op("battery", "", 0, 0, true, [](auto& c, const Args&) { return c.QueryBattery(); }),
    Op("start", "", 0, 0, true, [](auto& c, const Args&) { return c.StartScanData(); }),
    Op("stop", "", 0, 0, true, [](auto& c, const Args&) { return c.StopScanData(); }),
    Op("reset", "", 0, 0, false, [](auto& c, const Args&) { return c.ResetScaner(); }),
    Op("ip", "A.B.C.D", 1, 1, false,
       [](auto& c, const Args& a) {
         if (!IsDottedQuad(a[0]))
           throw CliError(kExitUsage, "bad IPv4 address '" + a[0] + "' (A.B.C.D, each 0-255)");
         std::string text = a[0];
         return c.SetScanerIPAddress(text.data());
       }),
    Op("mac", "XX-XX-XX-XX-XX-XX", 1, 1, false,
       [](auto& c, const Args& a) {
         std::string text = a[0];
         const int t = c.SetScanerMACAddress(text.data());
         if (t == 0) throw CliError(kExitUsage, "bad MAC address '" + a[0] + "'");
         return t;
       }),
    Op("gps-format", "VALUE1 VALUE2", 2, 2, true,
       [](auto& c, const Args& a) {
         return c.SetGpsInfoFormat(static_cast<int>(U32(a[0])), static_cast<int>(U32(a[1])));
       }),
    Op("w-mode", "MODE V1 V2 V3 V4 V5 V6 V7 V8 FLAG V11 V9 V10 V12 V13", 15, 15, true,
       [](auto& c, const Args& a) {
         return c.SetWCDMAScanMode(U32(a[0]), U32(a[1]), U32(a[2]), U32(a[3]), U32(a[4]), U32(a[5]),
                                   U32(a[6]), U32(a[7]), U32(a[8]), Flag(a[9]), S16(a[10]),
                                   U32(a[11]), U32(a[12]), U32(a[13]), U32(a[14]));
       }),
    Op("w-freqs", "L1 L2 L3 FREQ,...", 4, 4, true,
       [](auto& c, const Args& a) {
         auto f = List(a[3], kMaxWcdmaFreqs);
         return c.SetWFreqListScanMode(U32(a[0]), U32(a[1]), U32(a[2]),
                                       static_cast<unsigned>(f.size()), f.data());
       }),
    Op("w-cells", "L1 L2 L3 CELL/PARAM,...", 4, 4, true,
       [](auto& c, const Args& a) {
         std::vector<unsigned> k, p;
         Pairs(a[3], k, p);
         return c.SetWCellListScanMode(U32(a[0]), U32(a[1]), U32(a[2]),
                                       static_cast<unsigned>(k.size()), k.data(), p.data());
       }),
    Op("td-cells", "CELL/PARAM,... [FINGER SELECTOR SELVALUE TRAILING]", 1, 5, true,
       [](auto& c, const Args& a) {
         std::vector<unsigned> k, p;
         Pairs(a[0], k, p);
         return c.SetTDCellListScanMode(Opt(a, 3, 0), k.data(), p.data(),
                                        static_cast<unsigned>(k.size()), Opt(a, 2, 0),
                                        Opt(a, 1, 0) != 0, Opt(a, 4, 0));
       }),
    Op("td-freqs", "FREQ,... [FINGER SELECTOR SELVALUE TRAILING]", 1, 5, true,
       [](auto& c, const Args& a) {
         auto f = List(a[0], kMaxCells);
         return c.SetTDFreqListScanMode(Opt(a, 3, 0), f.data(), static_cast<unsigned>(f.size()),
                                        Opt(a, 2, 0), Opt(a, 1, 0) != 0, Opt(a, 4, 0));
       }),
    Op("td-search", "[S3 S4 SELVALUE S2 S1 SELECTOR FINGER]", 0, 7, true,
       [](auto& c, const Args& a) {
         return c.SetTDCellSearchScanMode(Opt(a, 0, 0), Opt(a, 1, 0), Opt(a, 2, 0), Opt(a, 3, 0),
                                          Opt(a, 4, 0), Opt(a, 5, 0), Opt(a, 6, 0) != 0);
       }),
    Op("td-sa", "SA1 SA2 SELVALUE SA3 FLAG SA5 SA4 SELECTOR", 8, 8, true,
       [](auto& c, const Args& a) {
         return c.SetTDSAScanMode(U32(a[0]), U32(a[1]), U32(a[2]), U32(a[3]), Flag(a[4]), S16(a[5]),
                                  U32(a[6]), U32(a[7]));
       }),
    Op("td-cw", "CW1 SELVALUE CW2 SELECTOR", 4, 4, true,
       [](auto& c, const Args& a) {
         return c.SetTDCWScanMode(U32(a[0]), U32(a[1]), U32(a[2]), U32(a[3]));
       }),
    Op("dpch", "SELVALUE SELECTOR C1 C2 C3 C4 C5 C6 BLOCK1HEX BLOCK2HEX", 10, 10, true,
       [](auto& c, const Args& a) {
         return Channel(c, a, &std::decay_t<decltype(c)>::SetDpchScanMode);
       }),
    Op("hsdpa", "SELVALUE SELECTOR C1 C2 C3 C4 C5 C6 BLOCK1HEX BLOCK2HEX", 10, 10, true,
       [](auto& c, const Args& a) {
         return Channel(c, a, &std::decay_t<decltype(c)>::SetHsdpaScanMode);
       }),
    Op("hsupa", "SELVALUE SELECTOR C1 C2 C3 C4 C5 C6 BLOCK1HEX BLOCK2HEX", 10, 10, true,
       [](auto& c, const Args& a) {
         return Channel(c, a, &std::decay_t<decltype(c)>::SetHsupaScanMode);
       }),
    Op("mbms", "SELVALUE SELECTOR C12 C3 C4 C5 C6 BLOCK1HEX BLOCK2HEX", 9, 9, true,
       [](auto& c, const Args& a) {
         auto b1 = Block(a[7]), b2 = Block(a[8]);
         return c.SetMbmsScanMode(U32(a[0]), U32(a[1]), U32(a[2]), U32(a[3]), U32(a[4]), U32(a[5]),
                                  U32(a[6]), b1.data(), b2.data());
       }),
    Op("raw", "CODE [PAYLOADHEX]", 1, 2, true,
       [](auto& c, const Args& a) {
         const std::string hex = a.size() > 1 ? a[1] : "";
         if (hex.size() % 2 != 0 || hex.size() > 2 * CMyPcCommMessage::kMaxPayload ||
             hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
           throw CliError(kExitUsage,
                          "bad payload (an even number of hex digits, at most 2048 bytes)");
         std::vector<unsigned char> payload(hex.size() / 2);
         for (size_t i = 0; i < payload.size(); ++i)
           payload[i] =
               static_cast<unsigned char>(std::strtoul(hex.substr(2 * i, 2).c_str(), nullptr, 16));
         CMyPcCommMessage m(static_cast<uint16_t>(Number(a[0], 0xFFFF, "code")),
                            static_cast<uint16_t>(payload.size()), 0, payload.data());
         return c.ClientSendMessage(m);
       }),
};

}  // namespace

const std::vector<Operation>& Operations() { return kOperations; }

bool IsDottedQuad(const std::string& text) {
  const auto parts = Split(text, '.');
  if (parts.size() != 4 || text.back() == '.') return false;
  for (const std::string& p : parts) {
    // A leading zero reads as octal to some parsers: the library refuses it, so here too.
    if (p.empty() || p.size() > 3 || p.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(p) > 255 || (p.size() > 1 && p[0] == '0'))
      return false;
  }
  return true;
}

const Operation& FindOperation(const std::string& name) {
  for (const Operation& op : kOperations)
    if (name == op.name) return op;
  throw CliError(kExitUsage, "unknown operation '" + name + "' (see scanlink send --help)");
}

void CheckOperation(const std::vector<std::string>& words) {
  if (words.empty()) throw CliError(kExitUsage, "no operation given");
  const Operation& op = FindOperation(words[0]);
  const Args args(words.begin() + 1, words.end());
  if (args.size() < op.minArgs || args.size() > op.maxArgs)
    throw CliError(kExitUsage, std::string("usage: ") + op.name + " " + op.usage);
  op.check(args);
}

int SendOperation(CMyPcCommSocketClient& client, const std::vector<std::string>& words) {
  CheckOperation(words);
  return FindOperation(words[0]).send(client, Args(words.begin() + 1, words.end()));
}

int SendOperation(scanlink_session* session, const std::vector<std::string>& words) {
  CheckOperation(words);
  return FindOperation(words[0]).sendSession(session, Args(words.begin() + 1, words.end()));
}

std::string OperationsHelp() {
  std::string out = "Operations:\n";
  for (const Operation& op : kOperations)
    out += std::string("  ") + op.name + (op.usage[0] ? " " : "") + op.usage + "\n";
  return out;
}

}  // namespace scanlink::cli
