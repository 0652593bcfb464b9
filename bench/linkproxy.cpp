// vellumix-linkproxy: one access link between programs on this machine, for the client's
// benchmark on a real network's terms.
//
// It listens on 127.0.0.1, forwards every accepted TCP connection to a target on the loopback
// interface and shapes the traffic like one access link between a user and a server:
//
// - every byte is held for half the round trip in each direction: a byte read from one side at
//   time t is written to the other side at t + RTT/2 at the earliest, so a request and its answer
//   take one round trip more than on the loopback interface;
// - a connection costs the round trip of its TCP handshake: the client's first bytes reach the
//   server one and a half round trips after the connection was accepted (a real client could
//   only send them after the SYN-ACK), the server's first bytes reach the client one round trip
//   after it;
// - each direction is one link of a fixed rate shared by all connections: a chunk read from any
//   connection is serialized after everything handed to the link before it (a FIFO of
//   --queue-ms at most; while it is full nothing more is read, so the senders are held back by
//   TCP as a real bottleneck holds them back);
// - a connection never holds more than --buffer-kib of bytes in one direction: when the
//   receiving side does not read, the sending side is back-pressured, nothing is buffered
//   without limit.
//
// It carries bytes only, so TLS and HTTP/2 pass unchanged. Not modelled: loss, TCP slow start and
// congestion control (a new connection may use the whole rate at once), jitter.
//
// The port it listens on is printed on standard output as the first line. It ends on SIGTERM or
// SIGINT, and by itself after --max-seconds. Plain C++ on Linux (epoll, timerfd, signalfd).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::int64_t kNsPerMs = 1000000;
constexpr std::int64_t kNsPerS = 1000000000;
constexpr std::size_t kChunk = 16 * 1024;

const char *const kUsage = R"(Usage: vellumix-linkproxy --target HOST:PORT [options]

Forwards every TCP connection accepted on 127.0.0.1 to HOST:PORT (a loopback address:
127.0.0.0/8, ::1 or localhost) through one simulated access link. Prints the port it listens
on as the first line of standard output.

Options:
  --listen PORT        the port on 127.0.0.1 (default 0: a free one)
  --rtt MS             the round trip: each direction is delayed by half of it (default 0)
  --bandwidth MBIT     the rate from the server to the client, in 10^6 bit/s, shared by all
                       connections (default 0: unlimited)
  --up-bandwidth MBIT  the rate from the client to the server (default: as --bandwidth)
  --queue-ms MS        the longest queue in front of a link before reading stops (default 5)
  --buffer-kib KIB     the most bytes one connection holds in one direction (default: twice
                       the bandwidth-delay product, at least 1024)
  --max-seconds S      end after S seconds (default 600)
  --verbose            one line per connection on standard error when it closes
)";

std::int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * kNsPerS + ts.tv_nsec;
}

[[noreturn]] void usageError(const std::string &message)
{
    std::fprintf(stderr, "vellumix-linkproxy: %s\n\n%s", message.c_str(), kUsage);
    std::exit(64);
}

[[noreturn]] void fatal(const char *what)
{
    std::fprintf(stderr, "vellumix-linkproxy: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

double parseNumber(std::string_view option, std::string_view text, double low, double high)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !(value >= low)
        || !(value <= high))
        usageError(std::string(option) + " needs a number from " + std::to_string(low) + " to "
                   + std::to_string(high) + ", not \"" + std::string(text) + "\"");
    return value;
}

// The target as a socket address; anything but a loopback address is refused.
sockaddr_storage loopbackTarget(const std::string &text, socklen_t *length)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        usageError("--target needs HOST:PORT");
    std::string host = text.substr(0, colon);
    const int port = int(parseNumber("--target's port", std::string_view(text).substr(colon + 1), 1, 65535));
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host == "localhost")
        host = "127.0.0.1";
    sockaddr_storage address{};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        if ((ntohl(v4->sin_addr.s_addr) >> 24) != 127)
            usageError("the target must be a loopback address, not " + host);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(std::uint16_t(port));
        *length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        if (!IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr))
            usageError("the target must be a loopback address, not " + host);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(std::uint16_t(port));
        *length = sizeof(sockaddr_in6);
    } else {
        usageError("the target's host must be a numeric loopback address or localhost, not "
                   + host);
    }
    return address;
}

// One direction of the access link, shared by every connection.
struct Link
{
    double nsPerByte = 0; // 0: no rate limit
    std::int64_t queueNs = 0;
    std::int64_t freeAt = 0; // when the last byte handed to the link has been serialized
    std::uint64_t bytes = 0;

    // Hands n bytes to the link at `now`; answers when their last byte has left it.
    std::int64_t send(std::int64_t now, std::size_t n)
    {
        bytes += n;
        if (nsPerByte <= 0)
            return now;
        freeAt = std::max(freeAt, now) + std::int64_t(double(n) * nsPerByte + 0.5);
        return freeAt;
    }
    bool full(std::int64_t now) const { return nsPerByte > 0 && freeAt - now > queueNs; }
    // When the link takes bytes again.
    std::int64_t acceptsAt() const { return freeAt - queueNs; }
};

struct Chunk
{
    std::int64_t due = 0;
    std::vector<char> data;
    std::size_t written = 0;
    bool end = false; // the sender closed its side (or reset the connection) here
};

// The bytes of one connection in one direction, between their reading and their delivery.
struct Direction
{
    int from = -1;
    int to = -1;
    Link *link = nullptr;
    std::int64_t earliest = 0; // nothing is delivered before (the handshake's round trip)
    std::deque<Chunk> chunks;
    std::size_t held = 0;
    std::uint64_t total = 0;
    bool readable = false;  // `from` has bytes (or its end) to read, as far as is known
    bool ended = false;     // the end has been read from `from`
    bool reset = false;     // and it was a reset
    bool delivered = false; // the end has been passed on to `to`
    bool waitsForWrite = false;
};

struct Connection
{
    std::uint64_t id = 0;
    int client = -1;
    int server = -1;
    bool serverReady = false;
    std::int64_t accepted = 0;
    Direction up;   // client to server
    Direction down; // server to client
    // What epoll watches on each socket. A socket that reports a hang-up or an error while
    // nothing is to be read from it or written to it is taken out of epoll until something is.
    std::uint32_t clientEvents = 0;
    std::uint32_t serverEvents = 0;
    bool clientWatched = true;
    bool serverWatched = true;
    bool clientHungUp = false;
    bool serverHungUp = false;
};

class Proxy
{
public:
    Proxy(const sockaddr_storage &target, socklen_t targetLength, std::int64_t halfRttNs,
          Link down, Link up, std::size_t buffer)
        : m_target(target), m_targetLength(targetLength), m_halfRtt(halfRttNs), m_down(down),
          m_up(up), m_buffer(buffer)
    {
    }

    int listen(int port);
    int run(std::int64_t deadline, bool verbose);

private:
    static constexpr std::uint64_t kListener = 1;
    static constexpr std::uint64_t kTimer = 2;
    static constexpr std::uint64_t kSignals = 3;
    static constexpr std::uint64_t kFirstId = 4;

    void accept(std::int64_t now);
    void onEvent(Connection &c, bool serverSide, std::uint32_t events, std::int64_t now);
    bool readInto(Direction &d, std::int64_t now);
    void serveLinks(std::int64_t now);
    void deliver(Connection &c, Direction &d, std::int64_t now);
    // Whether the direction takes bytes, the link aside.
    bool hasRoom(const Direction &d) const { return !d.ended && d.held < m_buffer; }
    void updateInterest(Connection &c);
    void watch(int fd, std::uint64_t key, std::uint32_t wanted, std::uint32_t &current,
               bool &watched, bool hungUp);
    void close(Connection &c, bool resetBoth);
    void armTimer(std::int64_t now, std::int64_t deadline);

    sockaddr_storage m_target;
    socklen_t m_targetLength;
    std::int64_t m_halfRtt;
    Link m_down;
    Link m_up;
    std::size_t m_buffer;
    int m_epoll = -1;
    int m_listener = -1;
    int m_timer = -1;
    int m_signals = -1;
    std::int64_t m_started = 0;
    std::uint64_t m_nextId = kFirstId;
    std::uint64_t m_firstServed = 0;
    std::uint64_t m_accepted = 0;
    bool m_verbose = false;
    std::map<std::uint64_t, std::unique_ptr<Connection>> m_connections;
    std::vector<char> m_readBuffer = std::vector<char>(kChunk);
};

void setNoDelay(int fd)
{
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void resetAndClose(int fd)
{
    if (fd < 0)
        return;
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
}

int Proxy::listen(int port)
{
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listener < 0)
        fatal("socket");
    const int one = 1;
    setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0)
        fatal("bind");
    if (::listen(m_listener, 512) < 0)
        fatal("listen");
    socklen_t length = sizeof address;
    if (getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) < 0)
        fatal("getsockname");
    return ntohs(address.sin_port);
}

void Proxy::accept(std::int64_t now)
{
    for (;;) {
        const int client = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                std::fprintf(stderr, "vellumix-linkproxy: accept: %s\n", std::strerror(errno));
            return;
        }
        const int server = socket(m_target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (server < 0) {
            std::fprintf(stderr, "vellumix-linkproxy: socket: %s\n", std::strerror(errno));
            resetAndClose(client);
            continue;
        }
        setNoDelay(client);
        setNoDelay(server);
        auto c = std::make_unique<Connection>();
        c->id = m_nextId;
        m_nextId += 2;
        c->client = client;
        c->server = server;
        c->accepted = now;
        // A real client sends its first bytes after the SYN-ACK, one round trip after it began
        // to connect; they reach the server half a round trip later. The server's first bytes
        // leave after the SYN reached it, half a round trip after the client began.
        c->up.from = client;
        c->up.to = server;
        c->up.link = &m_up;
        c->up.earliest = now + 3 * m_halfRtt;
        c->down.from = server;
        c->down.to = client;
        c->down.link = &m_down;
        c->down.earliest = now + 2 * m_halfRtt;
        if (connect(server, reinterpret_cast<const sockaddr *>(&m_target), m_targetLength) == 0)
            c->serverReady = true;
        else if (errno != EINPROGRESS) {
            std::fprintf(stderr, "vellumix-linkproxy: connect to the target: %s\n",
                         std::strerror(errno));
            resetAndClose(client);
            ::close(server);
            continue;
        }
        ++m_accepted;
        epoll_event event{};
        event.data.u64 = c->id;
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, client, &event) < 0)
            fatal("epoll_ctl");
        event.data.u64 = c->id + 1;
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, server, &event) < 0)
            fatal("epoll_ctl");
        Connection &ref = *c;
        m_connections.emplace(c->id, std::move(c));
        updateInterest(ref);
    }
}

// Reads one chunk (or the end) from the direction's sender and hands it to the link; answers
// false when there was nothing to read.
bool Proxy::readInto(Direction &d, std::int64_t now)
{
    const std::size_t room = std::min(kChunk, m_buffer - d.held);
    const ssize_t n = recv(d.from, m_readBuffer.data(), room, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        d.readable = false;
        return false;
    }
    Chunk chunk;
    if (n > 0) {
        chunk.data.assign(m_readBuffer.data(), m_readBuffer.data() + n);
        d.held += std::size_t(n);
        d.total += std::uint64_t(n);
        chunk.due = d.link->send(now, std::size_t(n)) + m_halfRtt;
    } else {
        // The end of the stream, or a reset: passed on after the bytes before it.
        chunk.end = true;
        d.ended = true;
        d.reset = n < 0;
        chunk.due = now + m_halfRtt;
    }
    chunk.due = std::max(chunk.due, d.earliest);
    if (!d.chunks.empty())
        chunk.due = std::max(chunk.due, d.chunks.back().due);
    d.chunks.push_back(std::move(chunk));
    return true;
}

// The senders take turns at each link, one chunk each, while the link takes more: the first
// turn goes to the next connection after the one that had it last time, so that connections
// share a link evenly however epoll orders them.
void Proxy::serveLinks(std::int64_t now)
{
    if (m_connections.empty())
        return;
    std::vector<std::pair<std::uint64_t, Direction *>> order;
    order.reserve(2 * m_connections.size());
    auto start = m_connections.upper_bound(m_firstServed);
    if (start == m_connections.end())
        start = m_connections.begin();
    auto it = start;
    do {
        order.emplace_back(it->first, &it->second->down);
        order.emplace_back(it->first, &it->second->up);
        if (++it == m_connections.end())
            it = m_connections.begin();
    } while (it != start);
    bool first = true;
    for (bool progress = true; progress;) {
        progress = false;
        for (const auto &[id, d] : order) {
            if (d->readable && hasRoom(*d) && !d->link->full(now) && readInto(*d, now)) {
                progress = true;
                if (first)
                    m_firstServed = id;
                first = false;
            }
        }
    }
}

void Proxy::deliver(Connection &c, Direction &d, std::int64_t now)
{
    if (d.to == c.server && !c.serverReady)
        return;
    while (!d.chunks.empty() && d.chunks.front().due <= now && !d.waitsForWrite) {
        Chunk &chunk = d.chunks.front();
        if (chunk.end) {
            if (d.reset) {
                close(c, true);
                return;
            }
            shutdown(d.to, SHUT_WR);
            d.delivered = true;
            d.chunks.pop_front();
            break;
        }
        const ssize_t n = send(d.to, chunk.data.data() + chunk.written,
                               chunk.data.size() - chunk.written, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                d.waitsForWrite = true;
                break;
            }
            if (errno == EINTR)
                continue;
            // The receiver is gone: so is the connection, for the sender too.
            close(c, true);
            return;
        }
        chunk.written += std::size_t(n);
        d.held -= std::size_t(n);
        if (chunk.written == chunk.data.size())
            d.chunks.pop_front();
    }
    if (c.up.delivered && c.down.delivered)
        close(c, false);
}

void Proxy::onEvent(Connection &c, bool serverSide, std::uint32_t events, std::int64_t now)
{
    const std::uint64_t id = c.id;
    if (serverSide && !c.serverReady && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(c.server, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            std::fprintf(stderr, "vellumix-linkproxy: connect to the target: %s\n",
                         std::strerror(error));
            close(c, true);
            return;
        }
        c.serverReady = true;
    }
    Direction &incoming = serverSide ? c.down : c.up;
    Direction &outgoing = serverSide ? c.up : c.down;
    if (events & (EPOLLERR | EPOLLHUP))
        (serverSide ? c.serverHungUp : c.clientHungUp) = true;
    if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))
        outgoing.waitsForWrite = false;
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP))
        incoming.readable = true;
    deliver(c, outgoing, now);
    if (m_connections.count(id))
        updateInterest(c);
}

void Proxy::updateInterest(Connection &c)
{
    std::uint32_t client = 0;
    std::uint32_t server = 0;
    // Readable senders are served from serveLinks; epoll watches the others.
    if (hasRoom(c.up) && !c.up.readable)
        client |= EPOLLIN;
    if (c.down.waitsForWrite)
        client |= EPOLLOUT;
    if (!c.serverReady) {
        server |= EPOLLOUT;
    } else {
        if (hasRoom(c.down) && !c.down.readable)
            server |= EPOLLIN;
        if (c.up.waitsForWrite)
            server |= EPOLLOUT;
    }
    watch(c.client, c.id, client, c.clientEvents, c.clientWatched, c.clientHungUp);
    watch(c.server, c.id + 1, server, c.serverEvents, c.serverWatched, c.serverHungUp);
}

void Proxy::watch(int fd, std::uint64_t key, std::uint32_t wanted, std::uint32_t &current,
                  bool &watched, bool hungUp)
{
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = key;
    if (wanted == 0 && hungUp) {
        // epoll reports a hang-up whether asked or not: it would wake the loop until the
        // connection ends.
        if (watched && epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr) < 0)
            fatal("epoll_ctl");
        watched = false;
    } else if (!watched) {
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) < 0)
            fatal("epoll_ctl");
        watched = true;
    } else if (wanted != current) {
        if (epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event) < 0)
            fatal("epoll_ctl");
    }
    current = wanted;
}

void Proxy::close(Connection &c, bool resetBoth)
{
    if (m_verbose) {
        std::fprintf(stderr,
                     "connection %llu: open %.3f s to %.3f s, %llu bytes up, %llu bytes down%s\n",
                     (unsigned long long)((c.id - kFirstId) / 2 + 1),
                     double(c.accepted - m_started) / kNsPerS,
                     double(nowNs() - m_started) / kNsPerS, (unsigned long long)c.up.total,
                     (unsigned long long)c.down.total, resetBoth ? ", reset" : "");
    }
    if (resetBoth) {
        resetAndClose(c.client);
        resetAndClose(c.server);
    } else {
        ::close(c.client);
        ::close(c.server);
    }
    m_connections.erase(c.id);
}

void Proxy::armTimer(std::int64_t now, std::int64_t deadline)
{
    std::int64_t next = deadline;
    for (const auto &[id, c] : m_connections) {
        for (const Direction *d : {&c->up, &c->down}) {
            if (!d->chunks.empty() && !d->waitsForWrite)
                next = std::min(next, d->chunks.front().due);
            if (d->readable && hasRoom(*d) && d->link->full(now))
                next = std::min(next, d->link->acceptsAt());
        }
    }
    next = std::max(next, now + 1);
    itimerspec when{};
    when.it_value.tv_sec = next / kNsPerS;
    when.it_value.tv_nsec = next % kNsPerS;
    if (timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &when, nullptr) < 0)
        fatal("timerfd_settime");
}

int Proxy::run(std::int64_t deadline, bool verbose)
{
    m_verbose = verbose;
    m_started = nowNs();
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) < 0)
        fatal("sigprocmask");
    m_signals = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    m_timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_signals < 0 || m_timer < 0 || m_epoll < 0)
        fatal("setting up");
    for (const auto &[fd, id] : {std::pair{m_listener, kListener}, std::pair{m_timer, kTimer},
                                 std::pair{m_signals, kSignals}}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = id;
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) < 0)
            fatal("epoll_ctl");
    }

    const char *why = "--max-seconds passed";
    std::vector<epoll_event> events(256);
    for (;;) {
        std::int64_t now = nowNs();
        if (now >= deadline)
            break;
        armTimer(now, deadline);
        const int n = epoll_wait(m_epoll, events.data(), int(events.size()), -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fatal("epoll_wait");
        }
        now = nowNs();
        bool stop = false;
        for (int i = 0; i < n; ++i) {
            const std::uint64_t key = events[std::size_t(i)].data.u64;
            if (key == kListener) {
                accept(now);
            } else if (key == kTimer) {
                std::uint64_t expirations;
                [[maybe_unused]] const ssize_t r = read(m_timer, &expirations, sizeof expirations);
            } else if (key == kSignals) {
                signalfd_siginfo info{};
                [[maybe_unused]] const ssize_t r = read(m_signals, &info, sizeof info);
                why = "signal received";
                stop = true;
            } else {
                const auto it = m_connections.find(key & ~std::uint64_t(1));
                if (it != m_connections.end())
                    onEvent(*it->second, key & 1, events[std::size_t(i)].events, now);
            }
        }
        if (stop)
            break;
        // The senders that the links take, whatever has come due, and the senders again (a
        // delivery makes room), then what epoll is to watch.
        now = nowNs();
        serveLinks(now);
        std::vector<std::uint64_t> ids;
        ids.reserve(m_connections.size());
        for (const auto &[id, c] : m_connections)
            ids.push_back(id);
        for (const std::uint64_t id : ids) {
            auto it = m_connections.find(id);
            if (it == m_connections.end())
                continue;
            Connection &c = *it->second;
            deliver(c, c.up, now);
            if (m_connections.count(id))
                deliver(c, c.down, now);
        }
        serveLinks(now);
        for (const auto &[id, c] : m_connections)
            updateInterest(*c);
    }
    const std::size_t open = m_connections.size();
    while (!m_connections.empty())
        close(*m_connections.begin()->second, true);
    std::fprintf(stderr,
                 "vellumix-linkproxy: ended (%s) after %.1f s: %llu connections (%zu still open), "
                 "%llu bytes up, %llu bytes down\n",
                 why, double(nowNs() - m_started) / kNsPerS, (unsigned long long)m_accepted, open,
                 (unsigned long long)m_up.bytes, (unsigned long long)m_down.bytes);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    int listenPort = 0;
    std::string target;
    double rttMs = 0;
    double downMbit = 0;
    double upMbit = -1;
    double queueMs = 5;
    double bufferKib = 0;
    double maxSeconds = 600;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--verbose") {
            verbose = true;
            continue;
        }
        if (i + 1 >= argc)
            usageError(std::string("unknown option or missing value: ") + argv[i]);
        const std::string_view value = argv[++i];
        if (option == "--listen")
            listenPort = int(parseNumber(option, value, 0, 65535));
        else if (option == "--target")
            target = value;
        else if (option == "--rtt")
            rttMs = parseNumber(option, value, 0, 10000);
        else if (option == "--bandwidth")
            downMbit = parseNumber(option, value, 0, 100000);
        else if (option == "--up-bandwidth")
            upMbit = parseNumber(option, value, 0, 100000);
        else if (option == "--queue-ms")
            queueMs = parseNumber(option, value, 0, 10000);
        else if (option == "--buffer-kib")
            bufferKib = parseNumber(option, value, 16, 1024 * 1024);
        else if (option == "--max-seconds")
            maxSeconds = parseNumber(option, value, 0.001, 86400);
        else
            usageError(std::string("unknown option ") + argv[i - 1]);
    }
    if (target.empty())
        usageError("--target is required");
    if (upMbit < 0)
        upMbit = downMbit;

    socklen_t targetLength = 0;
    const sockaddr_storage address = loopbackTarget(target, &targetLength);
    const auto makeLink = [queueMs](double mbit) {
        Link link;
        link.nsPerByte = mbit > 0 ? 8000.0 / mbit : 0; // 10^6 bit/s: 8,000 ns per byte at 1
        link.queueNs = std::int64_t(queueMs * kNsPerMs);
        return link;
    };
    // Twice what one connection keeps in flight on the faster link, so that one connection can
    // fill it; never less than 1 MiB.
    const double fastest = std::max(downMbit, upMbit);
    const double bdp = fastest > 0 ? fastest * 1e6 / 8 * (rttMs + queueMs) / 1000 : 0;
    const std::size_t buffer = bufferKib > 0
        ? std::size_t(bufferKib * 1024)
        : std::max<std::size_t>(1024 * 1024, std::size_t(2 * bdp));

    signal(SIGPIPE, SIG_IGN);
    Proxy proxy(address, targetLength, std::int64_t(rttMs * kNsPerMs / 2), makeLink(downMbit),
                makeLink(upMbit), buffer);
    const int port = proxy.listen(listenPort);
    std::printf("%d\n", port);
    std::fflush(stdout);
    std::fprintf(stderr,
                 "vellumix-linkproxy: 127.0.0.1:%d -> %s, round trip %g ms, down %g Mbit/s, up %g "
                 "Mbit/s (0: unlimited), queue %g ms, %zu KiB per connection and direction\n",
                 port, target.c_str(), rttMs, downMbit, upMbit, queueMs, buffer / 1024);
    return proxy.run(nowNs() + std::int64_t(maxSeconds * kNsPerS), verbose);
}
