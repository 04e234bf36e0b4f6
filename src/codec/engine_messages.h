// The two messages the engine acts on itself besides handing their records on: the family reply,
// which tells it which scanner it talks to, and the link-status notice it makes for its modules.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "codec/frame_header.h"
#include "codec/message_codes.h"
#include "scanlink/scanlink.h"

namespace scanlink::codec {

// What a decoded family reply says about the scanner; nullopt for any other record.
std::optional<ScannerFamily> scanner_family(const CCmdManage& record);

inline constexpr size_t kLinkStatusFrameSize = kHeaderSize + 2;

// The notice frame of a link status (1 lost, 2 restored, 3 reconnection failed): meant for every
// module, the status in the second payload byte.
std::array<uint8_t, kLinkStatusFrameSize> link_status_frame(uint8_t status);

}  // namespace scanlink::codec
