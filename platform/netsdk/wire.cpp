#include "platform/netsdk/wire.h"

#include "base/fixedfield.h"
#include "base/utf8.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace z7wire {

namespace {

const std::uint8_t kMagic[4] = {'Z', '7', 'N', 'S'};

// Widths of the texts on the wire; see the structs in wire.h. The encoders and the
// decoder check them in one place each (announceOk, writeOk).
constexpr std::size_t kAnnounceIp = 63, kAnnounceSerial = 47, kAnnounceUser = 31, kAnnouncePassword = 15,
                      kAnnounceType = 31;
constexpr std::size_t kWriteSerial = 48, kWriteUser = 32, kWritePassword = 16, kWriteHost = 128, kWriteKind = 16,
                      kWriteUuid = 48;

bool textOk(const std::string &text, std::size_t minLen, std::size_t maxLen)
{
    return text.size() >= minLen && text.size() <= maxLen && text.find('\0') == std::string::npos && validUtf8(text);
}

class Writer
{
public:
    explicit Writer(Bytes &out)
        : out_(out)
    {
        out_.clear();
    }

    void header(Type type)
    {
        out_.insert(out_.end(), kMagic, kMagic + 4);
        out_.push_back(kVersion);
        out_.push_back(std::uint8_t(type));
        out_.push_back(0);
        out_.push_back(0);
    }
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v)
    {
        out_.push_back(std::uint8_t(v));
        out_.push_back(std::uint8_t(v >> 8));
    }
    void u32(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out_.push_back(std::uint8_t(v >> (8 * i)));
    }
    void u64(std::uint64_t v)
    {
        for (int i = 0; i < 8; ++i)
            out_.push_back(std::uint8_t(v >> (8 * i)));
    }
    void text(const std::string &t) // callers have checked t.size() <= 255
    {
        out_.push_back(std::uint8_t(t.size()));
        out_.insert(out_.end(), t.begin(), t.end());
    }

private:
    Bytes &out_;
};

class Reader
{
public:
    Reader(const std::uint8_t *data, std::size_t size)
        : p_(data)
        , left_(size)
    {
    }

    bool u8(std::uint8_t &v)
    {
        if (left_ < 1)
            return false;
        v = p_[0];
        skip(1);
        return true;
    }
    bool u16(std::uint16_t &v)
    {
        if (left_ < 2)
            return false;
        v = std::uint16_t(p_[0] | (p_[1] << 8));
        skip(2);
        return true;
    }
    bool u32(std::uint32_t &v)
    {
        if (left_ < 4)
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= std::uint32_t(p_[i]) << (8 * i);
        skip(4);
        return true;
    }
    bool u64(std::uint64_t &v)
    {
        if (left_ < 8)
            return false;
        v = 0;
        for (int i = 0; i < 8; ++i)
            v |= std::uint64_t(p_[i]) << (8 * i);
        skip(8);
        return true;
    }
    // Any text the length byte allows; the caller checks its limits.
    bool text(std::string &t)
    {
        std::uint8_t len = 0;
        if (!u8(len) || len > left_)
            return false;
        t.assign(reinterpret_cast<const char *>(p_), len);
        skip(len);
        return true;
    }
    bool atEnd() const { return left_ == 0; }

private:
    void skip(std::size_t n)
    {
        p_ += n;
        left_ -= n;
    }
    const std::uint8_t *p_;
    std::size_t left_;
};

bool announceOk(const Announce &a)
{
    return textOk(a.ip, 0, kAnnounceIp) && textOk(a.serial, 1, kAnnounceSerial) && textOk(a.user, 0, kAnnounceUser)
        && textOk(a.password, 0, kAnnouncePassword) && textOk(a.type, 0, kAnnounceType);
}

bool readOk(const ReadUuid &r)
{
    return textOk(r.serial, 1, kWriteSerial) && textOk(r.user, 0, kWriteUser) && textOk(r.password, 0, kWritePassword);
}

// A refusal carries no identifier: only one encoding per meaning.
bool reportOk(const UuidReport &r)
{
    return std::uint8_t(r.status) <= kLastStatus && textOk(r.uuid, 0, kWriteUuid)
        && (r.status == Status::Applied || r.uuid.empty());
}

bool writeOk(const Write &w)
{
    return textOk(w.serial, 1, kWriteSerial) && textOk(w.user, 0, kWriteUser) && textOk(w.password, 0, kWritePassword)
        && textOk(w.uuidKind, 0, kWriteKind) && textOk(w.uuid, 1, kWriteUuid)
        && (w.umeye ? textOk(w.hostAddr, 0, kWriteHost) : (w.hostAddr.empty() && w.port == 0));
}

void encodeWriteBody(const Write &w, Writer &out)
{
    out.u64(w.requestId);
    out.text(w.serial);
    out.text(w.user);
    out.text(w.password);
    if (w.umeye)
        out.text(w.hostAddr);
    out.text(w.uuidKind);
    out.text(w.uuid);
    if (w.umeye)
        out.u16(w.port);
}

} // namespace

bool validUtf8(const std::string &text)
{
    return utf8::valid(text);
}

bool decode(const std::uint8_t *data, std::size_t size, Message &out)
{
    if (!data || size < kHeaderSize || size > kMaxDatagram)
        return false;
    if (std::memcmp(data, kMagic, 4) != 0 || data[4] != kVersion || data[6] != 0 || data[7] != 0)
        return false;
    Reader in(data + kHeaderSize, size - kHeaderSize);
    out.type = Type(data[5]);
    bool ok = false;
    switch (out.type) {
    case Type::Probe:
        ok = in.u32(out.probe.runId) && in.u16(out.probe.spreadMs) && out.probe.spreadMs <= kMaxSpreadMs;
        break;
    case Type::Announce: {
        Announce &a = out.announce;
        ok = in.u32(a.runId) && in.text(a.ip) && in.text(a.serial) && in.text(a.user) && in.text(a.password)
            && in.text(a.type) && announceOk(a);
        break;
    }
    case Type::WriteUmeye:
    case Type::WriteLenovo: {
        Write &w = out.write;
        w = Write();
        w.umeye = out.type == Type::WriteUmeye;
        ok = in.u64(w.requestId) && in.text(w.serial) && in.text(w.user) && in.text(w.password)
            && (!w.umeye || in.text(w.hostAddr)) && in.text(w.uuidKind) && in.text(w.uuid)
            && (!w.umeye || in.u16(w.port)) && writeOk(w);
        break;
    }
    case Type::WriteAck: {
        std::uint8_t status = 0;
        ok = in.u64(out.ack.requestId) && in.u8(status) && status <= kLastStatus;
        out.ack.status = Status(status);
        break;
    }
    case Type::ReadUuid: {
        ReadUuid &r = out.read;
        ok = in.u64(r.requestId) && in.text(r.serial) && in.text(r.user) && in.text(r.password) && readOk(r);
        break;
    }
    case Type::UuidReport: {
        UuidReport &r = out.report;
        std::uint8_t status = 0;
        ok = in.u64(r.requestId) && in.u8(status) && status <= kLastStatus;
        r.status = Status(status);
        ok = ok && in.text(r.uuid) && reportOk(r);
        break;
    }
    default:
        return false;
    }
    return ok && in.atEnd();
}

bool encode(const Probe &probe, Bytes &out)
{
    Writer w(out);
    if (probe.spreadMs > kMaxSpreadMs)
        return false;
    w.header(Type::Probe);
    w.u32(probe.runId);
    w.u16(probe.spreadMs);
    return true;
}

bool encode(const Announce &announce, Bytes &out)
{
    Writer w(out);
    if (!announceOk(announce))
        return false;
    w.header(Type::Announce);
    w.u32(announce.runId);
    w.text(announce.ip);
    w.text(announce.serial);
    w.text(announce.user);
    w.text(announce.password);
    w.text(announce.type);
    return true;
}

bool encode(const Write &write, Bytes &out)
{
    Writer w(out);
    if (!writeOk(write))
        return false;
    w.header(write.umeye ? Type::WriteUmeye : Type::WriteLenovo);
    encodeWriteBody(write, w);
    return true;
}

bool encode(const WriteAck &ack, Bytes &out)
{
    Writer w(out);
    if (std::uint8_t(ack.status) > kLastStatus)
        return false;
    w.header(Type::WriteAck);
    w.u64(ack.requestId);
    w.u8(std::uint8_t(ack.status));
    return true;
}

bool encode(const ReadUuid &read, Bytes &out)
{
    Writer w(out);
    if (!readOk(read))
        return false;
    w.header(Type::ReadUuid);
    w.u64(read.requestId);
    w.text(read.serial);
    w.text(read.user);
    w.text(read.password);
    return true;
}

bool encode(const UuidReport &report, Bytes &out)
{
    Writer w(out);
    if (!reportOk(report))
        return false;
    w.header(Type::UuidReport);
    w.u64(report.requestId);
    w.u8(std::uint8_t(report.status));
    w.text(report.uuid);
    return true;
}

std::uint64_t contentId(const Write &write)
{
    Write body = write;
    body.requestId = 0;
    Bytes bytes;
    Writer w(bytes);
    w.u8(write.umeye ? 1 : 0);
    encodeWriteBody(body, w);
    std::uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (std::uint8_t b : bytes) {
        hash ^= b;
        hash *= 1099511628211ull;
    }
    return hash ? hash : 1;
}

std::string fieldText(const char *field, std::size_t width)
{
    return fixedfield::text(field, width);
}

void putField(char *field, std::size_t width, const std::string &text)
{
    fixedfield::putTerminated(field, width, text.data(), text.size());
}

Write fromRequest(const UmeyeUuidRequest &r)
{
    Write w;
    w.umeye = true;
    w.serial = fieldText(r.serialNumber, sizeof r.serialNumber);
    w.user = fieldText(r.userName, sizeof r.userName);
    w.password = fieldText(r.password, sizeof r.password);
    w.hostAddr = fieldText(r.hostAddr, sizeof r.hostAddr);
    w.uuidKind = fieldText(r.uuidKind, sizeof r.uuidKind);
    w.uuid = fieldText(r.uuid, sizeof r.uuid);
    w.port = std::uint16_t(r.port[0] | (r.port[1] << 8));
    return w;
}

Write fromRequest(const LenovoUuidRequest &r)
{
    Write w;
    w.umeye = false;
    w.serial = fieldText(r.serialNumber, sizeof r.serialNumber);
    w.user = fieldText(r.userName, sizeof r.userName);
    w.password = fieldText(r.password, sizeof r.password);
    w.uuidKind = fieldText(r.uuidKind, sizeof r.uuidKind);
    w.uuid = fieldText(r.uuid, sizeof r.uuid);
    return w;
}

ReadUuid fromRequest(const UuidReadRequest &r)
{
    ReadUuid read;
    read.serial = fieldText(r.serialNumber, sizeof r.serialNumber);
    read.user = fieldText(r.userName, sizeof r.userName);
    read.password = fieldText(r.password, sizeof r.password);
    return read;
}

void putUuid(UuidReadRequest &request, const std::string &uuid)
{
    fixedfield::putBytes(request.uuid, sizeof request.uuid, uuid.data(), uuid.size());
}

void toRecord(const Announce &a, DiscoveryRecord &record)
{
    std::memset(&record, 0, sizeof record);
    putField(record.deviceIp, sizeof record.deviceIp, a.ip);
    putField(record.serialNumber, sizeof record.serialNumber, a.serial);
    putField(record.userName, sizeof record.userName, a.user);
    putField(record.password, sizeof record.password, a.password);
    putField(record.deviceType, sizeof record.deviceType, a.type);
}

bool isLoopback(std::uint32_t ip)
{
    return (ip >> 24) == 127;
}

std::string toText(const Endpoint &e)
{
    return std::to_string(e.ip >> 24) + '.' + std::to_string((e.ip >> 16) & 0xFF) + '.'
        + std::to_string((e.ip >> 8) & 0xFF) + '.' + std::to_string(e.ip & 0xFF) + ':' + std::to_string(e.port);
}

std::vector<Endpoint> parseTargets(const std::string &all, bool allowRemote)
{
    std::vector<Endpoint> out;
    std::size_t pos = 0;
    while (pos <= all.size()) {
        std::size_t comma = all.find(',', pos);
        if (comma == std::string::npos)
            comma = all.size();
        std::string item = all.substr(pos, comma - pos);
        pos = comma + 1;
        const auto first = item.find_first_not_of(" \t");
        if (first == std::string::npos)
            continue;
        item = item.substr(first, item.find_last_not_of(" \t") - first + 1);
        const std::size_t colon = item.rfind(':');
        if (colon == std::string::npos || colon + 1 >= item.size() || item.size() - colon > 6)
            continue;
        std::string host = item.substr(0, colon);
        const std::string portText = item.substr(colon + 1);
        if (portText.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const unsigned long port = std::strtoul(portText.c_str(), nullptr, 10);
        if (port == 0 || port > 65535)
            continue;
        if (host == "localhost")
            host = "127.0.0.1";
        in_addr addr;
        if (inet_pton(AF_INET, host.c_str(), &addr) != 1)
            continue;
        const Endpoint target{ntohl(addr.s_addr), std::uint16_t(port)};
        if (!isLoopback(target.ip) && !allowRemote)
            continue;
        out.push_back(target);
    }
    return out;
}

} // namespace z7wire
