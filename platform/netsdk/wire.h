// Datagram format shared by libz7netsdk and tarnwell-devicesim (docs/protocol.md),
// and the library's target list. Plain C++17, no Qt: the library must stay a drop-in
// C ABI library. Everything that reads bytes from the network, from a caller's record
// or from the environment is in here, so the fuzzer and the tests exercise exactly
// the code the library and the simulator run.
#pragma once

#include "platform/netsdk/z7netsdk.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace z7wire {

constexpr std::uint16_t kDefaultPort = 37020;
constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kHeaderSize = 8;
// Every valid datagram fits in this; anything longer is dropped unread.
constexpr std::size_t kMaxDatagram = 1024;
// Longest reply spread a device honours, in milliseconds.
constexpr std::uint16_t kMaxSpreadMs = 5000;

enum class Type : std::uint8_t {
    Probe = 1,
    Announce = 2,
    WriteUmeye = 3,
    WriteLenovo = 4,
    WriteAck = 5,
    ReadUuid = 6,
    UuidReport = 7,
};

enum class Status : std::uint8_t {
    Applied = 0,
    BadCredentials = 1,
    Refused = 2,
    UnknownDevice = 3,
    Invalid = 4,
};
constexpr std::uint8_t kLastStatus = 4;

// Sent by the library to every target; devices answer with an Announce.
struct Probe {
    std::uint32_t runId = 0;
    std::uint16_t spreadMs = 0; // each device waits a random 0..spreadMs before answering
};

// A device's answer to a probe. Text limits leave room for the NUL in DiscoveryRecord.
struct Announce {
    std::uint32_t runId = 0;
    std::string ip;       // at most 63 bytes
    std::string serial;   // 1..47 bytes: the device's identity, so never empty or cut
    std::string user;     // at most 31 bytes
    std::string password; // at most 15 bytes
    std::string type;     // at most 31 bytes
};

// An identifier write. umeye selects the form; hostAddr and port exist only in that form.
// Text limits are the request fields' widths (a text may fill its field).
struct Write {
    bool umeye = false;
    std::uint64_t requestId = 0;
    std::string serial;     // 1..48 bytes
    std::string user;       // at most 32
    std::string password;   // at most 16
    std::string hostAddr;   // at most 128, umeye only
    std::string uuidKind;   // at most 16
    std::string uuid;       // 1..48
    std::uint16_t port = 0; // umeye only
};

struct WriteAck {
    std::uint64_t requestId = 0;
    Status status = Status::Invalid;
};

// Asks a device for the identifier it holds. requestId is fresh per call, so a late
// answer to an earlier read is never taken for this one's.
struct ReadUuid {
    std::uint64_t requestId = 0;
    std::string serial;   // 1..48 bytes
    std::string user;     // at most 32
    std::string password; // at most 16
};

// A device's answer to a read: the identifier it holds (empty when none), which is
// only ever sent with status Applied.
struct UuidReport {
    std::uint64_t requestId = 0;
    Status status = Status::Invalid;
    std::string uuid; // at most 48
};

// One decoded datagram; only the member named by type is meaningful.
struct Message {
    Type type = Type::Probe;
    Probe probe;
    Announce announce;
    Write write;
    WriteAck ack;
    ReadUuid read;
    UuidReport report;
};

using Bytes = std::vector<std::uint8_t>;

// Checks length, magic, version, type, every field limit, UTF-8, and that nothing
// trails the last field. Returns false (out unspecified) for anything else.
bool decode(const std::uint8_t *data, std::size_t size, Message &out);

// Encoders refuse (return false, out cleared) what decode would refuse, so every
// datagram sent is one a peer accepts, and decode(encode(m)) == m.
bool encode(const Probe &probe, Bytes &out);
bool encode(const Announce &announce, Bytes &out);
bool encode(const Write &write, Bytes &out);
bool encode(const WriteAck &ack, Bytes &out);
bool encode(const ReadUuid &read, Bytes &out);
bool encode(const UuidReport &report, Bytes &out);

// The request id of a write: a hash of its form and every field, so a write sent
// again with the same content carries the same id and a device applies it once.
std::uint64_t contentId(const Write &write);

bool validUtf8(const std::string &text);

// Bounded access to the fixed-width texts of the C records: a text ends at its
// first NUL or at the field's width, and a copy never passes the width.
std::string fieldText(const char *field, std::size_t width);
void putField(char *field, std::size_t width, const std::string &text);

// Reads a caller's request without reading past its width. requestId is left 0.
Write fromRequest(const UmeyeUuidRequest &request);
Write fromRequest(const LenovoUuidRequest &request);
ReadUuid fromRequest(const UuidReadRequest &request);
// Zero-fills the request's uuid and copies the identifier; one as wide as the field
// fills it without a NUL, as a write's uuid may.
void putUuid(UuidReadRequest &request, const std::string &uuid);

// Zero-fills the record and copies the texts, each NUL-terminated inside its field.
void toRecord(const Announce &announce, DiscoveryRecord &record);

// An IPv4 UDP address, both numbers in host byte order.
struct Endpoint {
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    bool operator==(const Endpoint &o) const { return ip == o.ip && port == o.port; }
    bool operator!=(const Endpoint &o) const { return !(*this == o); }
    bool operator<(const Endpoint &o) const { return ip != o.ip ? ip < o.ip : port < o.port; }
};

bool isLoopback(std::uint32_t ip);

// "a.b.c.d:port".
std::string toText(const Endpoint &endpoint);

// The library's targets from Z7_NETSDK_TARGETS: "host:port[,host:port...]" with
// numeric IPv4 hosts or "localhost". Entries that do not parse are left out, and so
// are addresses outside 127.0.0.0/8 unless allowRemote.
std::vector<Endpoint> parseTargets(const std::string &text, bool allowRemote);

} // namespace z7wire
