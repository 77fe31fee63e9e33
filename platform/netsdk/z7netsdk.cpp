// libz7netsdk: the eight operations of the device SDK over the UDP protocol of
// docs/protocol.md. One socket and one receiver thread per Init..Cleanup; the
// receiver thread delivers discovery reports, sends the repeated probes and hands
// write acknowledgements and read answers to the waiting caller.
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

// A write (and a read, on the same rules) is sent again after each attempt's wait without an acknowledgement:
// 10 x 175 ms stays under 2 s for a silent device, and at 30 % loss each way a
// write still fails only about once in a thousand calls.
constexpr int kWriteAttempts = 10;
constexpr int kWriteAttemptMs = 175;

thread_local bool onReceiverThread = false;

using z7wire::Endpoint;

sockaddr_in toSockaddr(const Endpoint &e)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(e.ip);
    sa.sin_port = htons(e.port);
    return sa;
}

bool remoteAllowed()
{
    const char *v = std::getenv("Z7_NETSDK_ALLOW_REMOTE");
    return v && std::strcmp(v, "1") == 0;
}

std::vector<Endpoint> currentTargets(bool allowRemote)
{
    const char *env = std::getenv("Z7_NETSDK_TARGETS");
    if (!env)
        return {{INADDR_LOOPBACK, z7wire::kDefaultPort}};
    return z7wire::parseTargets(env, allowRemote);
}

// One line per API call, and one per serial number conflict, to the file named by
// Z7_NETSDK_TRACE: for tests that check which calls a program made, and for the
// operator to see why a device was not written.
std::mutex traceMutex;

std::string tracePath()
{
    const char *path = std::getenv("Z7_NETSDK_TRACE");
    return path ? path : "";
}

void appendTrace(const std::string &path, std::string line)
{
    if (path.empty())
        return;
    line += '\n';
    std::lock_guard<std::mutex> lock(traceMutex);
    if (FILE *f = std::fopen(path.c_str(), "a")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
}

// A serial number as one line of the trace: control bytes would split or garble it.
std::string printable(std::string text)
{
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return text;
}

void trace(const char *call, const char *serialField = nullptr, std::size_t width = 0, bool nullRequest = false)
{
    std::string line = call;
    if (nullRequest)
        line += " (null)";
    else if (serialField)
        line += ' ' + printable(z7wire::fieldText(serialField, width));
    appendTrace(tracePath(), line);
}

struct ReportKey {
    std::string serial;
    Endpoint from;
    std::string ip;
    bool operator<(const ReportKey &o) const { return std::tie(serial, from, ip) < std::tie(o.serial, o.from, o.ip); }
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
    int read(z7wire::ReadUuid request, std::string &uuid);

private:
    void receiverLoop();
    void handleDatagram(const std::uint8_t *data, std::size_t size, const Endpoint &from);
    void sendProbesDue();
    bool sendTo(const z7wire::Bytes &bytes, const Endpoint &to);
    void wake();
    // Sends the datagram to where the serial was found, again after each silent attempt,
    // until the answer with id arrives from there. False when the serial is not one the
    // run found cleanly or nothing answered; status then is Invalid.
    bool exchange(const std::string &serial, std::uint64_t id, bool isRead, const z7wire::Bytes &datagram,
                  std::unique_lock<std::mutex> &state);

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
    std::vector<Endpoint> targets_;
    std::string runTracePath_; // the receiver thread must not read the environment
    std::set<ReportKey> reported_;
    // Where each serial number was announced in the current run: a write goes only
    // there. A serial announced from a second address is not written at all, or a
    // host that announces a device's serial would receive its password and identifier.
    std::unordered_map<std::string, Endpoint> foundAt_;
    std::set<std::string> conflicted_;

    bool writePending_ = false;
    bool pendingIsRead_ = false;
    std::uint64_t pendingId_ = 0;
    Endpoint pendingTo_;
    bool ackReceived_ = false;
    z7wire::Status ackStatus_ = z7wire::Status::Invalid;
    std::string reportedUuid_;

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
        foundAt_.clear();
        conflicted_.clear();
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
    foundAt_.clear();
    conflicted_.clear();
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
    std::vector<Endpoint> targets = currentTargets(allowRemote_);
    const std::string path = tracePath();
    std::string line = "Targets";
    for (const Endpoint &to : targets)
        line += ' ' + z7wire::toText(to);
    appendTrace(path, line);
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
        runTracePath_ = path;
        reported_.clear();
        foundAt_.clear();
        conflicted_.clear();
        discovering_ = !targets.empty();
    }
    z7wire::Bytes probe;
    z7wire::encode(z7wire::Probe{runId, kReplySpreadMs}, probe);
    bool sent = false;
    for (const Endpoint &to : targets)
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
    const bool answered = exchange(request.serial, request.requestId, false, datagram, state);
    return answered && ackStatus_ == z7wire::Status::Applied ? 1 : 0;
}

int Sdk::read(z7wire::ReadUuid request, std::string &uuid)
{
    uuid.clear();
    if (onReceiverThread)
        return 0;
    std::lock_guard<std::mutex> api(apiMutex_);
    if (socket_ < 0)
        return 0;
    std::unique_lock<std::mutex> state(stateMutex_);
    request.requestId = (std::uint64_t(random_()) << 32) | random_();
    if (request.requestId == pendingId_ || request.requestId == 0)
        request.requestId ^= 0x8000000000000001ull;
    z7wire::Bytes datagram;
    if (!z7wire::encode(request, datagram))
        return 0;
    if (!exchange(request.serial, request.requestId, true, datagram, state) || ackStatus_ != z7wire::Status::Applied)
        return 0;
    uuid = reportedUuid_;
    return 1;
}

bool Sdk::exchange(const std::string &serial, std::uint64_t id, bool isRead, const z7wire::Bytes &datagram,
                   std::unique_lock<std::mutex> &state)
{
    ackStatus_ = z7wire::Status::Invalid;
    const auto found = foundAt_.find(serial);
    if (found == foundAt_.end() || conflicted_.count(serial))
        return false;
    writePending_ = true;
    pendingIsRead_ = isRead;
    pendingId_ = id;
    pendingTo_ = found->second;
    ackReceived_ = false;
    reportedUuid_.clear();
    const Endpoint to = pendingTo_;
    const Clock::time_point start = Clock::now();
    for (int attempt = 0; attempt < kWriteAttempts && !ackReceived_; ++attempt) {
        state.unlock();
        sendTo(datagram, to);
        state.lock();
        ackArrived_.wait_until(state, start + milliseconds(kWriteAttemptMs * (attempt + 1)),
                               [this] { return ackReceived_; });
    }
    writePending_ = false;
    if (!ackReceived_)
        ackStatus_ = z7wire::Status::Invalid;
    return ackReceived_;
}

bool Sdk::sendTo(const z7wire::Bytes &bytes, const Endpoint &to)
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
    std::vector<Endpoint> targets;
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
    for (const Endpoint &to : targets)
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
            handleDatagram(buffer.data(), std::size_t(n), {ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)});
        }
    }
}

void Sdk::handleDatagram(const std::uint8_t *data, std::size_t size, const Endpoint &from)
{
    if (!allowRemote_ && !z7wire::isLoopback(from.ip))
        return;
    z7wire::Message message;
    if (!z7wire::decode(data, size, message))
        return;
    if (message.type == z7wire::Type::WriteAck || message.type == z7wire::Type::UuidReport) {
        const bool isRead = message.type == z7wire::Type::UuidReport;
        const std::uint64_t id = isRead ? message.report.requestId : message.ack.requestId;
        std::lock_guard<std::mutex> state(stateMutex_);
        if (writePending_ && !ackReceived_ && pendingIsRead_ == isRead && id == pendingId_ && from == pendingTo_) {
            ackReceived_ = true;
            ackStatus_ = isRead ? message.report.status : message.ack.status;
            if (isRead)
                reportedUuid_ = message.report.uuid;
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
    std::string conflict, path;
    {
        std::lock_guard<std::mutex> state(stateMutex_);
        if (!discovering_ || a.runId != runId_)
            return;
        if (!reported_.insert({a.serial, from, a.ip}).second)
            return;
        const auto found = foundAt_.emplace(a.serial, from);
        if (!found.second && found.first->second != from) {
            conflicted_.insert(a.serial);
            conflict = "Conflict " + printable(a.serial) + ' ' + z7wire::toText(found.first->second) + ' '
                + z7wire::toText(from);
            path = runTracePath_;
        }
        callback = callback_;
        user = user_;
    }
    // Still reported: two rows with one serial number show the operator the conflict.
    appendTrace(path, conflict);
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

int Z7_NET_DVR_GetUuid(UuidReadRequest *request)
{
    if (!request) {
        trace("GetUuid", nullptr, 0, true);
        return 0;
    }
    trace("GetUuid", request->serialNumber, sizeof request->serialNumber);
    std::string uuid;
    const int ok = sdk().read(z7wire::fromRequest(*request), uuid);
    z7wire::putUuid(*request, uuid);
    return ok;
}

} // extern "C"
