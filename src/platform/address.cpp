// Address conversion shared by both systems.
#include "platform/socket.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

namespace scanlink::platform {

std::optional<uint32_t> ParseIpv4(const char* text) {
  if (text == nullptr) return std::nullopt;
  in_addr a{};
  if (inet_pton(AF_INET, text, &a) != 1) return std::nullopt;
  return a.s_addr;
}

}  // namespace scanlink::platform
