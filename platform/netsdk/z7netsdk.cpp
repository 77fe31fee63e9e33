// Placeholder until the networked stand-in lands: every call fails, which the pages survive.
#include "z7netsdk.h"

extern "C" {
int Z7_NET_DVR_Init(void) { return 1; }
int Z7_NET_DVR_Cleanup(void) { return 1; }
int Z7_NET_DVR_SetDiscoveryCallBack(DiscoveryCallback, void *) { return 1; }
int Z7_NET_DVR_StartDiscoveryIPC(void) { return 0; }
int Z7_NET_DVR_StopDiscoveryIPC(void) { return 1; }
int Z7_NET_DVR_SetUMEyeUuid(UmeyeUuidRequest *) { return 0; }
int Z7_NET_DVR_SetLenovoUuid(LenovoUuidRequest *) { return 0; }
}
