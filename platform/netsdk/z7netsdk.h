/* Tarnwell device network SDK boundary (Z7_NetSDK).
 *
 * The eight operations and four records that cross between the program and the
 * device SDK. The layouts are fixed: a vendor's library built against the same
 * offsets can be linked in place of the loopback stand-in (see TARNWELL_VENDOR_SDK_DIR).
 * Every text is NUL-terminated UTF-8 inside its width; offsets and widths in bytes.
 */
#ifndef Z7NETSDK_H
#define Z7NETSDK_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define Z7_NETSDK_API __declspec(dllimport)
#define Z7_NETSDK_CALL __stdcall
#else
#define Z7_NETSDK_API __attribute__((visibility("default")))
#define Z7_NETSDK_CALL
#endif

/* One device report of a discovery run. Only the named fields are read. */
typedef struct DiscoveryRecord {
    char deviceIp[64];     /* 0   */
    char reserved1[244];   /* 64  */
    char serialNumber[48]; /* 308 */
    char userName[32];     /* 356 */
    char password[16];     /* 388 */
    char deviceType[32];   /* 404 */
    char reserved2[76];    /* 436 */
} DiscoveryRecord;         /* 512 */

/* Identifier write for customers with a device service (customer 1). */
typedef struct UmeyeUuidRequest {
    char serialNumber[48];       /* 0   */
    char userName[32];           /* 48  */
    char password[16];           /* 80  */
    char hostAddr[128];          /* 96  */
    char uuidKind[16];           /* 224 */
    char uuid[48];               /* 240 */
    unsigned char port[2];       /* 288, 16-bit little-endian */
    unsigned char reserved[254]; /* 290, zero */
} UmeyeUuidRequest;              /* 544 */

/* Identifier write for every other customer. */
typedef struct LenovoUuidRequest {
    char serialNumber[48]; /* 0   */
    char userName[32];     /* 48  */
    char password[16];     /* 80  */
    char uuidKind[16];     /* 96  */
    char uuid[48];         /* 112 */
} LenovoUuidRequest;       /* 160 */

/* Reads back the identifier a device holds. The caller fills the first three texts;
 * the call fills uuid (empty when the device holds none), NUL-terminated unless the
 * identifier fills the width, and zero-fills it whenever it returns 0. */
typedef struct UuidReadRequest {
    char serialNumber[48]; /* 0   */
    char userName[32];     /* 48  */
    char password[16];     /* 80  */
    char uuid[48];         /* 96, out */
} UuidReadRequest;         /* 144 */

/* Called once per device report, on a thread of the SDK's own. */
typedef void(Z7_NETSDK_CALL *DiscoveryCallback)(const DiscoveryRecord *record, void *user);

Z7_NETSDK_API int Z7_NETSDK_CALL Z7_NET_DVR_Init(void);
Z7_NETSDK_API int Z7_NETSDK_CALL Z7_NET_DVR_Cleanup(void);
Z7_NETSDK_API int Z7_NETSDK_CALL Z7_NET_DVR_SetDiscoveryCallBack(DiscoveryCallback callback, void *user);
Z7_NETSDK_API int Z7_NETSDK_CALL Z7_NET_DVR_StartDiscoveryIPC(void);
Z7_NETSDK_API int Z7_NETSDK_CALL Z7_NET_DVR_StopDiscoveryIPC(void);
Z7_NETSDK_API int Z7_NETSDK_CALL Z7_NET_DVR_SetUMEyeUuid(UmeyeUuidRequest *request);
Z7_NETSDK_API int Z7_NETSDK_CALL Z7_NET_DVR_SetLenovoUuid(LenovoUuidRequest *request);
/* Vendor libraries may lack this call: the build defines Z7_NETSDK_HAS_GETUUID to 1
 * only when the linked library exports it, and 0 otherwise. */
Z7_NETSDK_API int Z7_NETSDK_CALL Z7_NET_DVR_GetUuid(UuidReadRequest *request);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The layouts are part of the boundary: a mismatch must not compile. */
#ifdef __cplusplus
#include <cstddef>
static_assert(offsetof(DiscoveryRecord, deviceIp) == 0, "DiscoveryRecord layout");
static_assert(offsetof(DiscoveryRecord, serialNumber) == 308, "DiscoveryRecord layout");
static_assert(offsetof(DiscoveryRecord, userName) == 356, "DiscoveryRecord layout");
static_assert(offsetof(DiscoveryRecord, password) == 388, "DiscoveryRecord layout");
static_assert(offsetof(DiscoveryRecord, deviceType) == 404, "DiscoveryRecord layout");
static_assert(sizeof(DiscoveryRecord) == 512, "DiscoveryRecord layout");
static_assert(offsetof(UmeyeUuidRequest, userName) == 48, "UmeyeUuidRequest layout");
static_assert(offsetof(UmeyeUuidRequest, password) == 80, "UmeyeUuidRequest layout");
static_assert(offsetof(UmeyeUuidRequest, hostAddr) == 96, "UmeyeUuidRequest layout");
static_assert(offsetof(UmeyeUuidRequest, uuidKind) == 224, "UmeyeUuidRequest layout");
static_assert(offsetof(UmeyeUuidRequest, uuid) == 240, "UmeyeUuidRequest layout");
static_assert(offsetof(UmeyeUuidRequest, port) == 288, "UmeyeUuidRequest layout");
static_assert(sizeof(UmeyeUuidRequest) == 544, "UmeyeUuidRequest layout");
static_assert(offsetof(LenovoUuidRequest, userName) == 48, "LenovoUuidRequest layout");
static_assert(offsetof(LenovoUuidRequest, password) == 80, "LenovoUuidRequest layout");
static_assert(offsetof(LenovoUuidRequest, uuidKind) == 96, "LenovoUuidRequest layout");
static_assert(offsetof(LenovoUuidRequest, uuid) == 112, "LenovoUuidRequest layout");
static_assert(sizeof(LenovoUuidRequest) == 160, "LenovoUuidRequest layout");
static_assert(offsetof(UuidReadRequest, userName) == 48, "UuidReadRequest layout");
static_assert(offsetof(UuidReadRequest, password) == 80, "UuidReadRequest layout");
static_assert(offsetof(UuidReadRequest, uuid) == 96, "UuidReadRequest layout");
static_assert(sizeof(UuidReadRequest) == 144, "UuidReadRequest layout");
#else
#include <stddef.h>
_Static_assert(offsetof(DiscoveryRecord, serialNumber) == 308, "DiscoveryRecord layout");
_Static_assert(offsetof(DiscoveryRecord, deviceType) == 404, "DiscoveryRecord layout");
_Static_assert(sizeof(UmeyeUuidRequest) == 544, "UmeyeUuidRequest layout");
_Static_assert(offsetof(UmeyeUuidRequest, port) == 288, "UmeyeUuidRequest layout");
_Static_assert(sizeof(LenovoUuidRequest) == 160, "LenovoUuidRequest layout");
_Static_assert(offsetof(UuidReadRequest, uuid) == 96, "UuidReadRequest layout");
_Static_assert(sizeof(UuidReadRequest) == 144, "UuidReadRequest layout");
#endif

#endif /* Z7NETSDK_H */
