// Feeds arbitrary bytes to everything that reads untrusted input: the datagram
// decoder, the readers of a caller's request records, and the target list parser.
// Beyond the sanitizers' findings it traps when an accepted datagram does not encode
// back to the same bytes, when a record text loses its NUL, or when a target off
// loopback gets through without remote mode.
#include "platform/netsdk/wire.h"

#include <cstring>
#include <memory>

namespace {

bool reencode(const z7wire::Message &m, z7wire::Bytes &out)
{
    switch (m.type) {
    case z7wire::Type::Probe:
        return z7wire::encode(m.probe, out);
    case z7wire::Type::Announce:
        return z7wire::encode(m.announce, out);
    case z7wire::Type::WriteUmeye:
    case z7wire::Type::WriteLenovo:
        return z7wire::encode(m.write, out);
    case z7wire::Type::WriteAck:
        return z7wire::encode(m.ack, out);
    case z7wire::Type::ReadUuid:
        return z7wire::encode(m.read, out);
    case z7wire::Type::UuidReport:
        return z7wire::encode(m.report, out);
    }
    return false;
}

template <std::size_t N>
void requireNul(const char (&field)[N])
{
    if (!std::memchr(field, 0, N))
        __builtin_trap();
}

// Reads the bytes as a caller's record from an exactly sized heap block, so any read
// past it is caught, and checks that what is sent decodes to what was read.
template <typename Request>
void readAsRequest(const std::uint8_t *data, std::size_t size)
{
    if (size < sizeof(Request))
        return;
    auto request = std::make_unique<Request>();
    std::memcpy(request.get(), data, sizeof(Request));
    z7wire::Write write = z7wire::fromRequest(*request);
    write.requestId = z7wire::contentId(write);
    z7wire::Bytes bytes;
    if (!z7wire::encode(write, bytes))
        return;
    z7wire::Message back;
    if (!z7wire::decode(bytes.data(), bytes.size(), back) || back.write.uuid != write.uuid
        || back.write.serial != write.serial || back.write.port != write.port
        || back.write.requestId != write.requestId)
        __builtin_trap();
}

// A read request's texts are taken within their widths, and the identifier put back
// stays inside its field.
void readAsReadRequest(const std::uint8_t *data, std::size_t size)
{
    if (size < sizeof(UuidReadRequest))
        return;
    auto request = std::make_unique<UuidReadRequest>();
    std::memcpy(request.get(), data, sizeof(UuidReadRequest));
    const z7wire::ReadUuid read = z7wire::fromRequest(*request);
    z7wire::putUuid(*request, read.serial);
    if (z7wire::fieldText(request->uuid, sizeof request->uuid) != read.serial)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const z7wire::Bytes datagram(data, data + size);
    z7wire::Message message;
    if (z7wire::decode(datagram.data(), datagram.size(), message)) {
        z7wire::Bytes again;
        if (!reencode(message, again) || again != datagram)
            __builtin_trap();
        if (message.type == z7wire::Type::Announce) {
            DiscoveryRecord record;
            z7wire::toRecord(message.announce, record);
            requireNul(record.deviceIp);
            requireNul(record.serialNumber);
            requireNul(record.userName);
            requireNul(record.password);
            requireNul(record.deviceType);
        }
    }
    readAsRequest<UmeyeUuidRequest>(data, size);
    readAsRequest<LenovoUuidRequest>(data, size);
    readAsReadRequest(data, size);

    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::vector<z7wire::Endpoint> remote = z7wire::parseTargets(text, true);
    for (const z7wire::Endpoint &e : z7wire::parseTargets(text, false)) {
        if (!z7wire::isLoopback(e.ip) || e.port == 0)
            __builtin_trap();
    }
    for (const z7wire::Endpoint &e : remote) {
        if (e.port == 0)
            __builtin_trap();
    }
    return 0;
}
