// libz7netsdk: the seven operations of the device SDK over the UDP protocol of
// docs/protocol.md. One socket and one receiver thread per Init..Cleanup; the
// receiver thread delivers discovery reports, sends the repeated probes and hands
// write acknowledgements to the waiting caller.
#include "platform/netsdk/z7netsdk.h"
#include "platform/netsdk/wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Probes of one run go out at these offsets from its start: loss of a probe or
// of a reply costs a device only one round, and the burst of answers is spread.
const int kProbeOffsetsMs[] = {0, 200, 600, 1200, 2000, 3000, 4500};
constexpr std::uint16_t kReplySpreadMs = 300;

// A write is sent again after each attempt's wait without an acknowledgement:
// 10 x 175 ms stays under 2 s for a silent device, and at 30 % loss each way a
// write still fails only about once in a thousand calls.
constexpr int kWriteAttempts = 10;
constexpr int kWriteAttemptMs = 175;

thread_local bool onReceiverThread = false;

struct Address {
    std::uint32_t ip = 0; // network order
    std::uint16_t port = 0; // network order
    bool operator==(const Address &o) const { return ip == o.ip && port == o.port; }
    bool operator<(const Address &o) const { return std::tie(ip, port) < std::tie(o.ip, o.port); }
};

sockaddr_in toSockaddr(const Address &a)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = a.ip;
    sa.sin_port = a.port;
    return sa;
}

bool isLoopback(std::uint32_t ipNetworkOrder)
{
    return (ntohl(ipNetworkOrder) >> 24) == 127;
}

bool remoteAllowed()
{
    const char *v = std::getenv("Z7_NETSDK_ALLOW_REMOTE");
    return v && std::strcmp(v, "1") == 0;
}

// "host:port[,host:port...]" with numeric IPv4 hosts (or "localhost"). Entries that
// do not parse, and addresses off loopback unless allowed, are left out.
std::vector<Address> parseTargets(const char *text, bool allowRemote)
{
    std::vector<Address> out;
    std::string all(text);
    std::size_t pos = 0;
    while (pos <= all.size()) {
        std::size_t comma = all.find(',', pos);
        if (comma == std::string::npos)
            comma = all.size();
        std::string item = all.substr(pos, comma - pos);
        pos = comma + 1;
        const auto first = item.find_first_not_of(" \t");
        const auto last = item.find_last_not_of(" \t");
        if (first == std::string::npos)
            continue;
        item = item.substr(first, last - first + 1);
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
        if (!isLoopback(addr.s_addr) && !allowRemote)
            continue;
        out.push_back({addr.s_addr, htons(std::uint16_t(port))});
    }
    return out;
}

std::vector<Address> currentTargets(bool allowRemote)
{
    const char *env = std::getenv("Z7_NETSDK_TARGETS");
    if (!env)
        return {{htonl(INADDR_LOOPBACK), htons(z7wire::kDefaultPort)}};
    return parseTargets(env, allowRemote);
}

// One line per API call to the file named by Z7_NETSDK_TRACE, for tests that check
// which calls a program made.
std::mutex traceMutex;

void trace(const char *call, const char *serialField = nullptr, std::size_t width = 0,
           bool nullRequest = false)
{
    const char *path = std::getenv("Z7_NETSDK_TRACE");
    if (!path || !*path)
        return;
    std::string line = call;
    if (nullRequest) {
        line += " (null)";
    } else if (serialField) {
        std::string serial = z7wire::fieldText(serialField, width);
        for (char &c : serial) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                c = '?';
        }
        line += ' ';
        line += serial;
    }
    line += '\n';
    std::lock_guard<std::mutex> lock(traceMutex);
    if (FILE *f = std::fopen(path, "a")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
}

struct ReportKey {
    std::string serial;
    Address from;
    std::string ip;
    bool operator<(const ReportKey &o) const
    {
        return std::tie(serial, from, ip) < std::tie(o.serial, o.from, o.ip);
    }
};

class Sdk
{
public:
    int init();
    int cleanup();
    int setCallback(DiscoveryCallback callback, void *user);
    int startDiscovery();
    int stopDiscovery();
    int write(z7wire::Write request);

private:
    void receiverLoop();
    void handleDatagram(const std::uint8_t *data, std::size_t size, const Address &from);
    void sendProbesDue();
    bool sendTo(const z7wire::Bytes &bytes, const Address &to);
    void wake();

    // Serialises the calls that change the socket, the thread or a pending write.
    std::mutex apiMutex_;
    // Held while a discovery report is handled, so Stop can wait a running callback out.
    std::mutex dispatchMutex_;
    // Everything below that the receiver thread reads or writes.
    std::mutex stateMutex_;
    std::condition_variable ackArrived_;

    int socket_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::thread receiver_;
    std::atomic<bool> quit_{false};
    bool allowRemote_ = false;

    DiscoveryCallback callback_ = nullptr;
    void *user_ = nullptr;

    bool discovering_ = false;
    std::uint32_t runId_ = 0;
    Clock::time_point runStart_;
    std::size_t nextProbe_ = 0;
    std::vector<Address> targets_;
    std::set<ReportKey> reported_;
    std::unordered_map<std::string, Address> lastSeen_; // serial -> address of its last answer

    bool writePending_ = false;
    std::uint64_t pendingId_ = 0;
    Address pendingTo_;
    bool ackReceived_ = false;
    z7wire::Status ackStatus_ = z7wire::Status::Invalid;

    std::mt19937 random_{std::random_device{}()};
};

Sdk &sdk()
{
    // Never destroyed: a process that exits without Cleanup must not trip over a
    // joinable thread in a static destructor.
    static Sdk *instance = new Sdk;
    return *instance;
}

int Sdk::init()
{
    if (onReceiverThread)
        return 0;
    std::lock_guard<std::mutex> api(apiMutex_);
    if (socket_ >= 0)
        return 1;
    const bool allowRemote = remoteAllowed();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    // Room for a line's burst of answers; the kernel caps it at its own maximum.
    const int rcvbuf = 4 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (allowRemote) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    }
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(allowRemote ? INADDR_ANY : INADDR_LOOPBACK);
    local.sin_port = 0;
    int pipeFds[2];
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0
        || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(fd);
        return 0;
    }
    {
        std::lock_guard<std::mutex> state(stateMutex_);
        socket_ = fd;
        wakePipe_[0] = pipeFds[0];
        wakePipe_[1] = pipeFds[1];
        allowRemote_ = allowRemote;
        discovering_ = false;
        reported_.clear();
        lastSeen_.clear();
    }
    quit_ = false;
    receiver_ = std::thread([this] { receiverLoop(); });
    return 1;
}

int Sdk::cleanup()
{
    // The receiver thread cannot join itself; a callback has no business here.
    if (onReceiverThread)
        return 0;
    std::lock_guard<std::mutex> api(apiMutex_);
    if (socket_ < 0)
        return 1;
    quit_ = true;
    wake();
    receiver_.join();
    std::lock_guard<std::mutex> state(stateMutex_);
    ::close(socket_);
    ::close(wakePipe_[0]);
    ::close(wakePipe_[1]);
    socket_ = -1;
    wakePipe_[0] = wakePipe_[1] = -1;
    discovering_ = false;
    reported_.clear();
    lastSeen_.clear();
    targets_.clear();
    return 1;
}

int Sdk::setCallback(DiscoveryCallback callback, void *user)
{
    std::lock_guard<std::mutex> state(stateMutex_);
    callback_ = callback;
    user_ = user;
    return 1;
}

int Sdk::startDiscovery()
{
    if (onReceiverThread)
        return 0;
    std::lock_guard<std::mutex> api(apiMutex_);
    if (socket_ < 0)
        return 0;
    std::vector<Address> targets = currentTargets(allowRemote_);
    std::uint32_t runId;
    {
        std::lock_guard<std::mutex> state(stateMutex_);
        runId = random_();
        if (runId == runId_)
            ++runId;
        runId_ = runId;
        runStart_ = Clock::now();
        nextProbe_ = 1;
        targets_ = targets;
        reported_.clear();
        discovering_ = !targets.empty();
    }
    z7wire::Bytes probe;
    z7wire::encode(z7wire::Probe{runId, kReplySpreadMs}, probe);
    bool sent = false;
    for (const Address &to : targets)
        sent = sendTo(probe, to) || sent;
    wake(); // the receiver thread times the repeated probes
    return sent ? 1 : 0;
}

int Sdk::stopDiscovery()
{
    {
        std::lock_guard<std::mutex> state(stateMutex_);
        if (socket_ < 0)
            return 0;
        discovering_ = false;
        reported_.clear();
    }
    // Wait out a report being delivered right now; later ones see the run ended.
    // A callback that stops discovery itself is that report, so it must not wait.
    if (!onReceiverThread) {
        dispatchMutex_.lock();
        dispatchMutex_.unlock();
    }
    return 1;
}

int Sdk::write(z7wire::Write request)
{
    if (onReceiverThread)
        return 0;
    std::lock_guard<std::mutex> api(apiMutex_);
    if (socket_ < 0)
        return 0;
    request.requestId = z7wire::contentId(request);
    z7wire::Bytes datagram;
    if (!z7wire::encode(request, datagram))
        return 0;
    std::unique_lock<std::mutex> state(stateMutex_);
    const auto seen = lastSeen_.find(request.serial);
    if (seen == lastSeen_.end())
        return 0;
    writePending_ = true;
    pendingId_ = request.requestId;
    pendingTo_ = seen->second;
    ackReceived_ = false;
    const Address to = pendingTo_;
    const Clock::time_point start = Clock::now();
    for (int attempt = 0; attempt < kWriteAttempts && !ackReceived_; ++attempt) {
        state.unlock();
        sendTo(datagram, to);
        state.lock();
        ackArrived_.wait_until(state, start + milliseconds(kWriteAttemptMs * (attempt + 1)),
                               [this] { return ackReceived_; });
    }
    const bool applied = ackReceived_ && ackStatus_ == z7wire::Status::Applied;
    writePending_ = false;
    return applied ? 1 : 0;
}

bool Sdk::sendTo(const z7wire::Bytes &bytes, const Address &to)
{
    const sockaddr_in sa = toSockaddr(to);
    const ssize_t n = ::sendto(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    return n == ssize_t(bytes.size());
}

void Sdk::wake()
{
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing to do then.
    [[maybe_unused]] ssize_t n = ::write(wakePipe_[1], &byte, 1);
}

void Sdk::sendProbesDue()
{
    std::vector<Address> targets;
    std::uint32_t runId = 0;
    {
        std::lock_guard<std::mutex> state(stateMutex_);
        if (!discovering_ || nextProbe_ >= std::size(kProbeOffsetsMs))
            return;
        if (Clock::now() < runStart_ + milliseconds(kProbeOffsetsMs[nextProbe_]))
            return;
        ++nextProbe_;
        targets = targets_;
        runId = runId_;
    }
    z7wire::Bytes probe;
    z7wire::encode(z7wire::Probe{runId, kReplySpreadMs}, probe);
    for (const Address &to : targets)
        sendTo(probe, to);
}

void Sdk::receiverLoop()
{
    onReceiverThread = true;
    std::vector<std::uint8_t> buffer(z7wire::kMaxDatagram + 1);
    while (!quit_) {
        int timeoutMs = -1;
        {
            std::lock_guard<std::mutex> state(stateMutex_);
            if (discovering_ && nextProbe_ < std::size(kProbeOffsetsMs)) {
                const auto due = runStart_ + milliseconds(kProbeOffsetsMs[nextProbe_]);
                const auto left = std::chrono::duration_cast<milliseconds>(due - Clock::now()).count();
                timeoutMs = left > 0 ? int(left) + 1 : 0;
            }
        }
        pollfd fds[2] = {{socket_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
            }
        }
        sendProbesDue();
        if (!(fds[0].revents & POLLIN))
            continue;
        // Drain what is queued; a burst of answers arrives together.
        for (int i = 0; i < 256 && !quit_; ++i) {
            sockaddr_in from;
            socklen_t fromLen = sizeof from;
            const ssize_t n = ::recvfrom(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr *>(&from), &fromLen);
            if (n < 0)
                break;
            if (fromLen != sizeof from || from.sin_family != AF_INET)
                continue;
            handleDatagram(buffer.data(), std::size_t(n), {from.sin_addr.s_addr, from.sin_port});
        }
    }
}

void Sdk::handleDatagram(const std::uint8_t *data, std::size_t size, const Address &from)
{
    if (!allowRemote_ && !isLoopback(from.ip))
        return;
    z7wire::Message message;
    if (!z7wire::decode(data, size, message))
        return;
    if (message.type == z7wire::Type::WriteAck) {
        std::lock_guard<std::mutex> state(stateMutex_);
        if (writePending_ && !ackReceived_ && message.ack.requestId == pendingId_ && from == pendingTo_) {
            ackReceived_ = true;
            ackStatus_ = message.ack.status;
            ackArrived_.notify_all();
        }
        return;
    }
    if (message.type != z7wire::Type::Announce)
        return;
    const z7wire::Announce &a = message.announce;
    std::lock_guard<std::mutex> dispatch(dispatchMutex_);
    DiscoveryCallback callback;
    void *user;
    {
        std::lock_guard<std::mutex> state(stateMutex_);
        if (!discovering_ || a.runId != runId_)
            return;
        if (!reported_.insert({a.serial, from, a.ip}).second)
            return;
        lastSeen_[a.serial] = from;
        callback = callback_;
        user = user_;
    }
    if (!callback)
        return;
    DiscoveryRecord record;
    z7wire::toRecord(a, record);
    callback(&record, user);
}

} // namespace

extern "C" {

int Z7_NET_DVR_Init(void)
{
    trace("Init");
    return sdk().init();
}

int Z7_NET_DVR_Cleanup(void)
{
    trace("Cleanup");
    return sdk().cleanup();
}

int Z7_NET_DVR_SetDiscoveryCallBack(DiscoveryCallback callback, void *user)
{
    trace("SetDiscoveryCallBack");
    return sdk().setCallback(callback, user);
}

int Z7_NET_DVR_StartDiscoveryIPC(void)
{
    trace("StartDiscoveryIPC");
    return sdk().startDiscovery();
}

int Z7_NET_DVR_StopDiscoveryIPC(void)
{
    trace("StopDiscoveryIPC");
    return sdk().stopDiscovery();
}

int Z7_NET_DVR_SetUMEyeUuid(UmeyeUuidRequest *request)
{
    if (!request) {
        trace("SetUMEyeUuid", nullptr, 0, true);
        return 0;
    }
    trace("SetUMEyeUuid", request->serialNumber, sizeof request->serialNumber);
    return sdk().write(z7wire::fromRequest(*request));
}

int Z7_NET_DVR_SetLenovoUuid(LenovoUuidRequest *request)
{
    if (!request) {
        trace("SetLenovoUuid", nullptr, 0, true);
        return 0;
    }
    trace("SetLenovoUuid", request->serialNumber, sizeof request->serialNumber);
    return sdk().write(z7wire::fromRequest(*request));
}

} // extern "C"
