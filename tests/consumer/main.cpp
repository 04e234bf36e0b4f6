// Builds against the installed package only: constructs a client, registers a module and reads
// the exported variables.
#include <scanlink/scanlink.h>

#include <cstdio>

class Module : public CMyPcCommInterface {};

int main() {
  CMyPcCommSocketClient client;
  Module module;
  const bool registered = client.ClientRegisterModule(&module, 1);
  std::printf("scanlink %d.%d: module %d, family %d\n", SCANLINK_VERSION_MAJOR,
              SCANLINK_VERSION_MINOR, client.nModuleID, TDorWCDMAConfig);
  client.ClientRegisterModule(&module, 0);
  return registered && client.nModuleID == 255 ? 0 : 1;
}
