// serve_request.cpp - what tapwatcher-sim --serve reads from a request: the
// served address, the checks every request passes, and a page's input batch.
//
// Choices made here:
//  - An IPv6 address is given in brackets, as a URL has it ("[::1]:8731"); a
//    bare one ("::1:8731") is refused, its port being ambiguous. The address is
//    kept in the form a browser writes it in Host and Origin (lowercase hex,
//    the first longest run of zero groups as "::", no dotted IPv4 tail), so a
//    page opened from the printed address passes the Host check however the
//    address was typed. A zone ("fe80::1%eth0") is refused: browsers take none.
//  - Names are kept in lowercase, as browsers send them.
//  - An IPv4 address is read as browsers read it ("127.1", "0x7f.0.0.1" are
//    127.0.0.1) and kept in its dotted form, which is what they send.
//  - 0.0.0.0 and :: (every address of the machine) are refused: a browser
//    cannot open them, and one address is all the Host check can take.
//  - The server warns when the bound address is not loopback (127.0.0.0/8,
//    ::1), a name (localhost) by what it bound.
//  - On port 80 browsers leave the port out of Host and Origin: both forms
//    are taken there.
//  - A refusal line quotes what was sent, cut to 60 printable characters, so
//    a hostile header cannot write control sequences into the transcript.
//  - A posted batch is taken whole or not at all: a key code must be the
//    integer 1-254 that was sent (not a value that merely converts to one),
//    flags true or false, stamps finite and below kMaxStamp, a tapped caption
//    up to kMaxCaption bytes without control characters (it is quoted on a
//    transcript line).
#include "cli/serve/serve_request.h"

#include "cli/runner/job.h"

#include <arpa/inet.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace runner {

namespace {

// An IPv6 address as a URL writes it (without the brackets).
std::string Ipv6Text(const in6_addr& a) {
    unsigned groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = (unsigned)a.s6_addr[2 * i] << 8 | a.s6_addr[2 * i + 1];
    int best = -1, best_len = 1; // runs of two or more zero groups become "::"
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0)
            ++j;
        if (j - i > best_len) {
            best = i;
            best_len = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    std::string s;
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            s += "::";
            i += best_len - 1;
            continue;
        }
        if (!s.empty() && s.back() != ':')
            s += ':';
        char part[8];
        std::snprintf(part, sizeof part, "%x", groups[i]);
        s += part;
    }
    return s;
}

// A host as a URL writes it: an IPv6 address in brackets.
std::string UrlHost(const std::string& host) {
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

// Compares without stopping at the first difference.
bool SameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    unsigned char d = 0;
    for (size_t i = 0; i < a.size(); ++i)
        d |= (unsigned char)(a[i] ^ b[i]);
    return d == 0;
}

// Whether UTF-8 `s` holds a control character (C0, DEL, C1) or a
// bidirectional override, embedding, isolate or mark.
bool HasControl(const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = (unsigned char)s[i];
        if (c < 0x20 || c == 0x7F)
            return true;
        unsigned next = i + 1 < s.size() ? (unsigned char)s[i + 1] : 0;
        unsigned last = i + 2 < s.size() ? (unsigned char)s[i + 2] : 0;
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F)
            return true; // U+0080-U+009F
        if (c == 0xD8 && next == 0x9C)
            return true; // U+061C
        if (c == 0xE2 && next == 0x80 &&
            ((last >= 0x8E && last <= 0x8F) || (last >= 0xAA && last <= 0xAE)))
            return true; // U+200E-U+200F, U+202A-U+202E
        if (c == 0xE2 && next == 0x81 && last >= 0xA6 && last <= 0xA9)
            return true; // U+2066-U+2069
    }
    return false;
}

// A flag of an input: absent is false. False when present and not a boolean.
bool ReadFlag(const nlohmann::json& e, const char* name, bool& value) {
    auto it = e.find(name);
    value = false;
    if (it == e.end())
        return true;
    if (!it->is_boolean())
        return false;
    value = it->get<bool>();
    return true;
}

// Reads one input of a batch. False, with `why`, when it is not one.
bool ReadInput(const nlohmann::json& e, PageInput& in, std::string& why) {
    auto kind = e.is_object() ? e.find("k") : e.end();
    if (!e.is_object() || kind == e.end() || !kind->is_string()) {
        why = "an input without a kind";
        return false;
    }
    auto ts = e.find("ts");
    if (ts != e.end()) {
        double t = ts->is_number() ? ts->get<double>() : NAN;
        if (!std::isfinite(t) || t > kMaxStamp) {
            why = "a stamp that is not a time in ms";
            return false;
        }
        in.ts = t > 0 ? t : 0;
    }
    const std::string& k = kind->get_ref<const std::string&>();
    if (k == "sync") {
        in.kind = PageInput::Sync;
    } else if (k == "down" || k == "up") {
        auto vk = e.find("vk");
        if (vk == e.end() || !vk->is_number_unsigned() || vk->get<uint64_t>() < 1 ||
            vk->get<uint64_t>() > 254) {
            why = "a key without a key code from 1 to 254";
            return false;
        }
        in.kind = k == "down" ? PageInput::Down : PageInput::Up;
        in.vk = (uint8_t)vk->get<uint64_t>();
        if (!ReadFlag(e, "repeat", in.repeat) || !ReadFlag(e, "blur", in.on_blur)) {
            why = "a flag that is not true or false";
            return false;
        }
    } else if (k == "tap") {
        auto caption = e.find("caption");
        if (caption == e.end() || !caption->is_string() ||
            caption->get_ref<const std::string&>().size() > kMaxCaption) {
            why = "a tap without a caption";
            return false;
        }
        in.kind = PageInput::Tap;
        in.caption = caption->get<std::string>();
        if (HasControl(in.caption)) {
            why = "a tap caption with a control character";
            return false;
        }
    } else {
        why = "an input of an unknown kind";
        return false;
    }
    return true;
}

} // namespace

bool ParseServeAddress(const std::string& text, ServeAddress& address, std::string& error) {
    address = ServeAddress{};
    const std::string form =
        std::string(kProgram) + ": --serve: expected [ADDRESS:]PORT, got \"" + text + "\"";
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = form;
            return false;
        }
        in6_addr a;
        if (inet_pton(AF_INET6, text.substr(1, close - 1).c_str(), &a) != 1) {
            error = std::string(kProgram) + ": --serve: \"" + text.substr(1, close - 1) +
                    "\" is not an IPv6 address";
            return false;
        }
        address.host = Ipv6Text(a);
        port = text.substr(close + 2);
    } else if (size_t colon = text.rfind(':'); colon != std::string::npos) {
        address.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address.host.empty() || address.host.find(':') != std::string::npos ||
            address.host.find_first_of("/?#@[] ") != std::string::npos) {
            error = form;
            return false;
        }
        for (char& c : address.host)
            if (c >= 'A' && c <= 'Z')
                c = (char)(c - 'A' + 'a');
        in_addr a;
        char dotted[INET_ADDRSTRLEN];
        if (address.host.find_first_not_of("0123456789abcdefx.") == std::string::npos &&
            inet_aton(address.host.c_str(), &a) == 1 &&
            inet_ntop(AF_INET, &a, dotted, sizeof dotted))
            address.host = dotted;
    }
    if (address.host == "0.0.0.0" || address.host == "::") {
        error = std::string(kProgram) + ": --serve: " + UrlHost(address.host) +
                " is every address of this machine; give the one to serve on "
                "(127.0.0.1: this machine only)";
        return false;
    }
    address.beyond_loopback = address.host.rfind("127.", 0) != 0 && address.host != "::1";
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
        error = std::string(kProgram) + ": --serve: expected a port from 0 to 65535, got \"" +
                text + "\"";
        return false;
    }
    address.port = std::stoi(port);
    return true;
}

std::string AuthorityOf(const std::string& host, int port) {
    return UrlHost(host) + ":" + std::to_string(port);
}

std::string RefusalOf(const RequestFields& request, const ServedAt& served) {
    if (!SameSecret(request.token, served.token))
        return "no valid token";
    const std::string authority = AuthorityOf(served.host, served.port);
    // The served address, with or without the port browsers leave out.
    auto served_at = [&](const std::string& value, const std::string& scheme) {
        return value == scheme + authority ||
               (served.port == 80 && value == scheme + UrlHost(served.host));
    };
    if (!served_at(request.host, ""))
        return "Host \"" + Printable(request.host, 60) + "\" is not " + authority;
    if (request.has_origin && !served_at(request.origin, "http://"))
        return "Origin \"" + Printable(request.origin, 60) + "\" is not http://" + authority;
    return "";
}

std::string Printable(const std::string& text, size_t max) {
    std::string s = text.substr(0, max);
    for (char& c : s)
        if ((unsigned char)c < 0x20 || (unsigned char)c >= 0x7F)
            c = '?';
    return s;
}

std::string DescribeRequest(const std::string& method, const std::string& path) {
    return Printable(method, 10) + " " + Printable(path, 80);
}

bool ParseInputBatch(const std::string& body, std::vector<PageInput>& batch, std::string& why) {
    batch.clear();
    nlohmann::json j = body.size() <= kMaxInputBody ? nlohmann::json::parse(body, nullptr, false)
                                                    : nlohmann::json();
    auto events = j.is_object() ? j.find("events") : j.end();
    if (!j.is_object() || events == j.end() || !events->is_array() || events->size() > kMaxBatch) {
        why = "not a batch of inputs";
        return false;
    }
    for (const nlohmann::json& e : *events) {
        PageInput in;
        if (!ReadInput(e, in, why)) {
            batch.clear();
            return false;
        }
        batch.push_back(std::move(in));
    }
    return true;
}

std::vector<double> InputTiming::Schedule(const std::vector<PageInput>& batch, double arrival) {
    std::vector<double> dues;
    for (const PageInput& in : batch) {
        if (in.ts > 0 && (!have_offset || arrival - in.ts < offset)) {
            offset = arrival - in.ts;
            have_offset = true;
        }
        if (in.kind != PageInput::Sync)
            dues.push_back(in.ts > 0 ? in.ts + offset : arrival);
    }
    for (double& due : dues) {
        due = std::min(std::max(due, last_due), arrival);
        last_due = due;
    }
    return dues;
}

} // namespace runner
