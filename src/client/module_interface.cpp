#include "scanlink/scanlink.h"

CMyPcCommInterface::CMyPcCommInterface() : bActive(0) {}
CMyPcCommInterface::CMyPcCommInterface(const CMyPcCommInterface& other) : bActive(other.bActive) {}
CMyPcCommInterface& CMyPcCommInterface::operator=(const CMyPcCommInterface& other) {
  bActive = other.bActive;
  return *this;
}
CMyPcCommInterface::~CMyPcCommInterface() = default;

void CMyPcCommInterface::ConnectMsg(bool) {}
void CMyPcCommInterface::ProcPcCommMsg(CCmdManage&) {}
void CMyPcCommInterface::ProcPcCommMsgAlarm(char*, int) {}
