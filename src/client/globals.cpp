// The exported variables. They stay plain variables for the application; the library's own
// threads reach them atomically.
#include "scanlink/scanlink.h"

char gHostAddr[32] = "";
int nTcpPort = 0;
int nTcpPortAlarm = 0;
int gFirstConnFlag = 0;
int gInitFinishFlag = 0;
int gLinkDownFlag = 0;
int nScannerType = 0;
int TDorWCDMAConfig = 1;
int FingerTestFlag = 0;
