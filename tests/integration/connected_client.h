// A fixture whose client is registered and linked up to a LoopbackPeer on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "integration/loopback_peer.h"
#include "integration/test_support.h"
#include "scanlink/scanlink.h"

namespace scanlink::test {

class ConnectedClient : public ::testing::Test {
 protected:
  static constexpr uint16_t kPort = 5000;

  void SetUp() override {
    AimAtLocalPeer(kPort);
    ASSERT_TRUE(peer.Start(kPort));
    client = std::make_unique<CMyPcCommSocketClient>();
    ASSERT_TRUE(client->ClientRegisterModule(&module, 1));
    ASSERT_EQ(client->ClientInitPcComm(), 0);
    ASSERT_TRUE(peer.WaitDataAccepts(1, std::chrono::seconds(2)));
  }
  // Unregisters `module` and the extra modules a test registered, then ends the client.
  void EndClient(std::initializer_list<CMyPcCommInterface*> extra = {}) {
    if (!client) return;
    client->ClientRegisterModule(&module, 0);
    for (CMyPcCommInterface* m : extra) client->ClientRegisterModule(m, 0);
    client.reset();
  }

  LoopbackPeer peer;
  std::unique_ptr<CMyPcCommSocketClient> client;
  RecordingModule module;
};

}  // namespace scanlink::test
