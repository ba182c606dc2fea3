// serve_request.h - what tapwatcher-sim --serve reads from a request, without a
// socket: the served address, whether a request may be served, and the batch of
// inputs a page posts with the device times they get. The server and the fuzzer
// (fuzz/request_fuzzer.cpp) both call these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace runner {

// Where the page is served: the address to listen on as given (default
// 127.0.0.1; an IPv6 literal without its brackets) and the port (0: any free
// port).
struct ServeAddress {
    std::string host = "127.0.0.1";
    int port = 0;
    bool beyond_loopback = false; // may be reached from other machines: warned
};

// Reads "[ADDRESS:]PORT", ADDRESS a name, an IPv4 address or a bracketed IPv6
// literal ("[::1]:8731"). False, with a one-line `error`, for anything else.
bool ParseServeAddress(const std::string& text, ServeAddress& address, std::string& error);

// An address and port as a URL spells them: "127.0.0.1:8731", "[::1]:8731".
std::string AuthorityOf(const std::string& host, int port);

// Who may be served: the access token and the address the page was served at.
struct ServedAt {
    std::string token;
    std::string host; // as ServeAddress has it
    int port = 0;
};

// The parts of a request that decide whether it is served.
struct RequestFields {
    std::string token; // the t= parameter
    std::string host;  // the Host header
    bool has_origin = false;
    std::string origin; // the Origin header, when sent
};

// Why a request is refused, one printable line; empty when it may be served.
std::string RefusalOf(const RequestFields& request, const ServedAt& served);

// `text` for a transcript line: printable ASCII only (others become '?'), at
// most `max` characters.
std::string Printable(const std::string& text, size_t max);

// A request's method and path for a transcript line.
std::string DescribeRequest(const std::string& method, const std::string& path);

// One input in a page's batch.
struct PageInput {
    enum Kind { Sync, Down, Up, Tap } kind = Sync;
    uint8_t vk = 0;
    bool repeat = false;  // an auto-repeat press
    bool on_blur = false; // released because the page lost the focus
    std::string caption;  // a tapped menu-bar button
    double ts = 0;        // the page's stamp in ms; 0: none
};

constexpr size_t kMaxBatch = 256;           // inputs in one batch
constexpr size_t kMaxCaption = 63;          // bytes of a tapped caption
constexpr double kMaxStamp = 1e12;          // ms; a page's stamps count from its load
constexpr size_t kMaxInputBody = 64 * 1024; // bytes of a posted body

// Reads a posted batch, {"events":[{"k":"down","vk":65,"ts":1234.5}, ...]}.
// False, with a short `why`, when it is not one; `batch` is then empty.
bool ParseInputBatch(const std::string& body, std::vector<PageInput>& batch, std::string& why);

// Puts a page's inputs on the device clock: a stamp plus the smallest delay
// seen between a stamp and its arrival, kept in order and never later than
// the arrival.
struct InputTiming {
    bool have_offset = false;
    double offset = 0;   // device ms minus page ms, the smallest seen
    double last_due = 0; // inputs keep their order on the device clock

    // The device times of the inputs of `batch`, which arrived at device time
    // `arrival`, in order, one for each input that is not a Sync (a Sync only
    // calibrates).
    std::vector<double> Schedule(const std::vector<PageInput>& batch, double arrival);
};

} // namespace runner
