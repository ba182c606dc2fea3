// gate.h - the HTTP server of --serve (cpp-httplib) with a gate in front of
// each request: a connection must send its whole request head within
// kHeadMs, and the connections still sending one are capped per peer address
// and in all (past kGraceMs the oldest give way to newer ones). A client that connects and
// hangs on thus holds no thread the page needs, and the page's requests,
// which arrive whole at once, pass at once. One request per connection, so
// the gate sees every request; the port is never shared with another
// listener.
#pragma once

#include <httplib.h>
#include <sys/socket.h>

#include <list>
#include <mutex>
#include <string>

namespace runner {

constexpr int kHeadMs = 3000;      // to send a request head
constexpr int kGraceMs = 500;      // before a connection may give way to newer ones
constexpr int kSliceMs = 100;      // how often a waiting connection looks
constexpr int kHeadsPerPeer = 16;  // connections sending a head, per peer address
constexpr int kHeadsInAll = 64;    // ... from all peers
constexpr size_t kMaxHead = 32768; // bytes of a head; more is cut (httplib refuses it)
constexpr int kBacklog = 1024;     // connections waiting to be accepted

// The socket of the request this thread serves; -1 outside one.
int ServedSocket();

// Whether the peer of `sock` has closed its end (or the connection failed).
bool PeerGone(int sock);

class GatedServer : public httplib::Server {
  public:
    // `workers`: requests served at a time, beyond the connections at the gate.
    explicit GatedServer(size_t workers);
    // Whether the bound socket reaches this machine only (127.0.0.0/8, ::1).
    bool BoundToLoopback() const;
    // After the bind: room for kBacklog connections not yet accepted
    // (cpp-httplib leaves 5, and a burst of connections then waits a second
    // for each retry).
    void WidenBacklog() { ::listen(svr_sock_, kBacklog); }

  private:
    struct Pending {
        int sock;
        std::string peer;
    };
    bool process_and_close_socket(socket_t sock) override;
    bool ReadHead(int sock, std::string& head, bool& whole);
    std::mutex m_;
    std::list<Pending*> pending_; // oldest first
};

} // namespace runner
