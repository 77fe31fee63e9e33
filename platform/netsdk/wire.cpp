#include "platform/netsdk/wire.h"

#include "base/fixedfield.h"
#include "base/utf8.h"

#include <cstring>

namespace z7wire {

namespace {

const std::uint8_t kMagic[4] = {'Z', '7', 'N', 'S'};

// Widths of the texts on the wire; see the structs in wire.h.
constexpr std::size_t kAnnounceIp = 63, kAnnounceSerial = 47, kAnnounceUser = 31,
                      kAnnouncePassword = 15, kAnnounceType = 31;
constexpr std::size_t kWriteSerial = 48, kWriteUser = 32, kWritePassword = 16,
                      kWriteHost = 128, kWriteKind = 16, kWriteUuid = 48;

bool textOk(const std::string &text, std::size_t minLen, std::size_t maxLen)
{
    return text.size() >= minLen && text.size() <= maxLen
           && text.find('\0') == std::string::npos && validUtf8(text);
}

class Writer
{
public:
    explicit Writer(Bytes &out) : out_(out) { out_.clear(); }

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
    Reader(const std::uint8_t *data, std::size_t size) : p_(data), left_(size) {}

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
    bool text(std::string &t, std::size_t minLen, std::size_t maxLen)
    {
        std::uint8_t len = 0;
        if (!u8(len) || len > left_)
            return false;
        t.assign(reinterpret_cast<const char *>(p_), len);
        skip(len);
        return textOk(t, minLen, maxLen);
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
    return textOk(a.ip, 0, kAnnounceIp) && textOk(a.serial, 1, kAnnounceSerial)
           && textOk(a.user, 0, kAnnounceUser) && textOk(a.password, 0, kAnnouncePassword)
           && textOk(a.type, 0, kAnnounceType);
}

bool writeOk(const Write &w)
{
    return textOk(w.serial, 1, kWriteSerial) && textOk(w.user, 0, kWriteUser)
           && textOk(w.password, 0, kWritePassword) && textOk(w.uuidKind, 0, kWriteKind)
           && textOk(w.uuid, 1, kWriteUuid)
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
        ok = in.u32(out.probe.runId) && in.u16(out.probe.spreadMs)
             && out.probe.spreadMs <= kMaxSpreadMs;
        break;
    case Type::Announce: {
        Announce &a = out.announce;
        ok = in.u32(a.runId) && in.text(a.ip, 0, kAnnounceIp)
             && in.text(a.serial, 1, kAnnounceSerial) && in.text(a.user, 0, kAnnounceUser)
             && in.text(a.password, 0, kAnnouncePassword) && in.text(a.type, 0, kAnnounceType);
        break;
    }
    case Type::WriteUmeye:
    case Type::WriteLenovo: {
        Write &w = out.write;
        w = Write();
        w.umeye = out.type == Type::WriteUmeye;
        ok = in.u64(w.requestId) && in.text(w.serial, 1, kWriteSerial)
             && in.text(w.user, 0, kWriteUser) && in.text(w.password, 0, kWritePassword)
             && (!w.umeye || in.text(w.hostAddr, 0, kWriteHost))
             && in.text(w.uuidKind, 0, kWriteKind) && in.text(w.uuid, 1, kWriteUuid)
             && (!w.umeye || in.u16(w.port));
        break;
    }
    case Type::WriteAck: {
        std::uint8_t status = 0;
        ok = in.u64(out.ack.requestId) && in.u8(status) && status <= kLastStatus;
        out.ack.status = Status(status);
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

void toRecord(const Announce &a, DiscoveryRecord &record)
{
    std::memset(&record, 0, sizeof record);
    putField(record.deviceIp, sizeof record.deviceIp, a.ip);
    putField(record.serialNumber, sizeof record.serialNumber, a.serial);
    putField(record.userName, sizeof record.userName, a.user);
    putField(record.password, sizeof record.password, a.password);
    putField(record.deviceType, sizeof record.deviceType, a.type);
}

} // namespace z7wire
