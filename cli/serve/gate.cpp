// gate.cpp - the gate before cpp-httplib reads a request, and the socket
// stream it then reads from (the head the gate read first, then the socket).
#include "cli/serve/gate.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace runner {

namespace {

thread_local int t_served_socket = -1;

// Milliseconds on a steady clock.
int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits up to `ms` for `events` on `sock`.
bool Wait(int sock, short events, int ms) {
    pollfd p{sock, events, 0};
    int r;
    while ((r = ::poll(&p, 1, ms)) < 0 && errno == EINTR) {
    }
    return r > 0;
}

// The numeric address of a socket's peer (or its own end).
void AddressOf(int sock, bool peer, std::string& ip, int& port) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    int r = peer ? getpeername(sock, (sockaddr*)&a, &len) : getsockname(sock, (sockaddr*)&a, &len);
    char host[NI_MAXHOST], serv[NI_MAXSERV];
    if (r != 0 || getnameinfo((sockaddr*)&a, len, host, sizeof host, serv, sizeof serv,
                              NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        ip.clear();
        port = 0;
        return;
    }
    ip = host;
    port = std::atoi(serv);
}

// A connection's socket as cpp-httplib reads and writes it: the head the gate
// read comes first; a head the gate cut ends there.
class GateStream : public httplib::Stream {
  public:
    GateStream(int sock, std::string head, bool whole, int read_ms, int write_ms)
        : sock_(sock), head_(std::move(head)), whole_(whole), read_ms_(read_ms),
          write_ms_(write_ms) {}
    bool is_readable() const override {
        return pos_ < head_.size() || (whole_ && Wait(sock_, POLLIN, read_ms_));
    }
    bool is_writable() const override { return Wait(sock_, POLLOUT, write_ms_); }
    ssize_t read(char* ptr, size_t size) override {
        if (pos_ < head_.size()) {
            size_t n = std::min(size, head_.size() - pos_);
            std::memcpy(ptr, head_.data() + pos_, n);
            pos_ += n;
            return (ssize_t)n;
        }
        if (!whole_)
            return 0;
        if (!Wait(sock_, POLLIN, read_ms_))
            return -1;
        ssize_t r;
        while ((r = ::recv(sock_, ptr, size, 0)) < 0 && errno == EINTR) {
        }
        return r;
    }
    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable())
            return -1;
        ssize_t r;
        while ((r = ::send(sock_, ptr, size, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
        }
        return r;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        AddressOf(sock_, true, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        AddressOf(sock_, false, ip, port);
    }
    socket_t socket() const override { return sock_; }

  private:
    int sock_;
    std::string head_;
    size_t pos_ = 0;
    bool whole_;
    int read_ms_, write_ms_;
};

} // namespace

int ServedSocket() {
    return t_served_socket;
}

bool PeerGone(int sock) {
    pollfd p{sock, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

GatedServer::GatedServer(size_t workers) {
    // Room for every connection the gate holds, and the requests it let pass.
    new_task_queue = [workers] { return new httplib::ThreadPool(kHeadsInAll + workers); };
    // cpp-httplib's default adds SO_REUSEPORT, which lets a second server
    // share the port; SO_REUSEADDR alone only allows a restart.
    set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
}

bool GatedServer::BoundToLoopback() const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getsockname(svr_sock_, (sockaddr*)&a, &len) != 0)
        return false;
    if (a.ss_family == AF_INET)
        return (ntohl(((sockaddr_in*)&a)->sin_addr.s_addr) >> 24) == 127;
    return a.ss_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&((sockaddr_in6*)&a)->sin6_addr);
}

// Reads a request head, at most kMaxHead bytes, within kHeadMs; `whole` when
// it ended. False when the peer is too slow or went away, or when, past
// kGraceMs, kHeadsPerPeer newer connections of its peer (or kHeadsInAll of
// all) are waiting for theirs too: the oldest give way, a burst of quick
// clients does not.
bool GatedServer::ReadHead(int sock, std::string& head, bool& whole) {
    Pending me{sock, {}};
    int port;
    AddressOf(sock, true, me.peer, port);
    std::list<Pending*>::iterator at;
    {
        std::lock_guard<std::mutex> lk(m_);
        at = pending_.insert(pending_.end(), &me);
    }
    const int64_t start = NowMs(), deadline = start + kHeadMs;
    whole = false;
    bool ok = false;
    char buf[4096];
    for (;;) {
        int64_t now = NowMs(), left = deadline - now;
        if (left <= 0)
            break;
        if (!Wait(sock, POLLIN, (int)std::min<int64_t>(left, kSliceMs))) {
            if (NowMs() - start < kGraceMs)
                continue;
            std::lock_guard<std::mutex> lk(m_);
            int same = 0, all = 0;
            for (auto it = std::next(at); it != pending_.end(); ++it, ++all)
                same += (*it)->peer == me.peer;
            if (same >= kHeadsPerPeer || all >= kHeadsInAll)
                break;
            continue;
        }
        ssize_t n = ::recv(sock, buf, std::min(sizeof buf, kMaxHead - head.size()), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        head.append(buf, (size_t)n);
        whole = head.find("\r\n\r\n") != std::string::npos;
        if (whole || head.size() >= kMaxHead) {
            ok = true;
            break;
        }
    }
    std::lock_guard<std::mutex> lk(m_);
    pending_.erase(at);
    return ok;
}

bool GatedServer::process_and_close_socket(socket_t sock) {
    std::string head;
    bool whole = false;
    if (ReadHead(sock, head, whole)) {
        GateStream stream(sock, std::move(head), whole,
                          (int)(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000),
                          (int)(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000));
        t_served_socket = sock;
        bool closed = false;
        process_request(stream, true, closed, nullptr);
        t_served_socket = -1;
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return true;
}

} // namespace runner
