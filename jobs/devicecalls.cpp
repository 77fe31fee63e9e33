#include "jobs/devicecalls.h"

#include "jobs/burnjob.h"
#include "platform/netsdk/z7netsdk.h"
#include "store/fixedfield.h"

namespace jobs {
namespace devicecalls {

int write(const BurnRow &r, const CustomerRecord &customer)
{
    const QString kind = fixedfield::get(customer.customerValue);
    if (r.customerId == kUmeyeCustomerId) {
        UmeyeUuidRequest request{};
        fixedfield::put(request.serialNumber, r.serial);
        fixedfield::put(request.userName, r.user);
        fixedfield::put(request.password, r.password);
        fixedfield::put(request.hostAddr, fixedfield::get(customer.hostAddr));
        fixedfield::put(request.uuidKind, kind);
        fixedfield::put(request.uuid, r.uuid);
        const quint32 port = quint32(customer.port);
        request.port[0] = static_cast<unsigned char>(port & 0xFFu);
        request.port[1] = static_cast<unsigned char>((port >> 8) & 0xFFu);
        return Z7_NET_DVR_SetUMEyeUuid(&request);
    }
    LenovoUuidRequest request{};
    fixedfield::put(request.serialNumber, r.serial);
    fixedfield::put(request.userName, r.user);
    fixedfield::put(request.password, r.password);
    fixedfield::put(request.uuidKind, kind);
    fixedfield::put(request.uuid, r.uuid);
    return Z7_NET_DVR_SetLenovoUuid(&request);
}

bool readBackSupported()
{
    return Z7_NETSDK_HAS_GETUUID != 0;
}

ReadBack readBack(const QString &deviceSerial, const QString &user, const QString &password)
{
    ReadBack answer;
    if (!readBackSupported()) {
        answer.result = ReadBack::Unsupported;
        return answer;
    }
    UuidReadRequest request{};
    // A text that does not fit its field names no device this station could have found.
    if (!fixedfield::fits(request.serialNumber, deviceSerial) || !fixedfield::fits(request.userName, user)
        || !fixedfield::fits(request.password, password))
        return answer;
    fixedfield::put(request.serialNumber, deviceSerial);
    fixedfield::put(request.userName, user);
    fixedfield::put(request.password, password);
#if Z7_NETSDK_HAS_GETUUID
    if (Z7_NET_DVR_GetUuid(&request) != 0) {
        answer.result = ReadBack::Reported;
        answer.uuid = fixedfield::get(request.uuid);
    }
#endif
    return answer;
}

} // namespace devicecalls
} // namespace jobs
