// request_fuzzer.cpp - what tapwatcher-sim --serve reads from a request
// (cli/serve/serve_request.h) on arbitrary input; HTTP itself is cpp-httplib's.
//
// The first byte picks what the rest is (its value modulo 3, so the seeds start
// with a digit):
//  0  request fields, one a line: token, Host, Origin (no third line: no Origin).
//     Checked: a request is served only with the exact token at the served
//     address (with or without port 80), its Origin absent or the page's own;
//     a refusal is one printable line of bounded length; so is a request's
//     description.
//  1  a posted input batch. Checked: a refused batch leaves no inputs and says
//     why; a taken one has at most kMaxBatch inputs, each as it was sent (kind,
//     key code, flags, caption, stamp), captions free of control characters,
//     stamps finite; their device times, over two arrivals, are one per key or
//     tap, finite, in order and never after their arrival.
//  2  a --serve argument. Checked: a taken address is written back as a URL's
//     authority that reads back to the same address and port.
#include "fuzz/tool_checks.h"

#include "cli/serve/serve_request.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

using fuzzcheck::Fail;

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";

// One line of printable ASCII of at most `max` characters.
void CheckLine(const std::string& s, size_t max, const char* what) {
    if (s.empty() || s.size() > max)
        Fail("%s of %zu characters", what, s.size());
    for (unsigned char c : s)
        if (c < 0x20 || c >= 0x7F)
            Fail("%s with the byte 0x%02x", what, c);
}

// Splits at newlines.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(text.substr(at, nl - at));
    lines.push_back(text.substr(at));
    return lines;
}

void CheckRequest(const std::string& text) {
    std::vector<std::string> f = Lines(text);
    runner::RequestFields req;
    req.token = f[0];
    req.host = f.size() > 1 ? f[1] : "";
    req.has_origin = f.size() > 2;
    req.origin = req.has_origin ? f[2] : "";
    const runner::ServedAt served[] = {
        {kToken, "127.0.0.1", 8731}, {kToken, "::1", 8731}, {kToken, "127.0.0.1", 80}};
    const char* const forms[][2] = {{"127.0.0.1:8731", "127.0.0.1:8731"},
                                    {"[::1]:8731", "[::1]:8731"},
                                    {"127.0.0.1:80", "127.0.0.1"}};
    for (int i = 0; i < 3; ++i) {
        std::string why = runner::RefusalOf(req, served[i]);
        auto at = [&](const std::string& v, const std::string& scheme) {
            return v == scheme + forms[i][0] || v == scheme + forms[i][1];
        };
        bool should = req.token == kToken && at(req.host, "") &&
                      (!req.has_origin || at(req.origin, "http://"));
        if (why.empty() != should)
            Fail("request %s at %s: %s", why.empty() ? "served" : "refused", forms[i][0],
                 why.empty() ? "" : why.c_str());
        if (!why.empty())
            CheckLine(why, 200, "a refusal");
        if (why == "no valid token" && req.token == kToken)
            Fail("the token was refused");
    }
    CheckLine(runner::DescribeRequest(req.token, req.host), 91, "a request's description");
}

void CheckBatch(const std::string& body) {
    std::vector<runner::PageInput> batch;
    std::string why;
    if (!runner::ParseInputBatch(body, batch, why)) {
        if (!batch.empty())
            Fail("a refused batch left %zu inputs", batch.size());
        CheckLine(why, 80, "a reason");
        return;
    }
    if (batch.size() > runner::kMaxBatch)
        Fail("a batch of %zu inputs taken", batch.size());
    const nlohmann::json sent = nlohmann::json::parse(body, nullptr, false);
    if (!sent.is_object() || !sent.contains("events") || sent["events"].size() != batch.size())
        Fail("a batch taken that is not the one sent");
    static const char* const kinds[] = {"sync", "down", "up", "tap"};
    for (size_t i = 0; i < batch.size(); ++i) {
        const runner::PageInput& in = batch[i];
        const nlohmann::json& e = sent["events"][i];
        if (e.value("k", "") != kinds[in.kind])
            Fail("input %zu taken as %s", i, kinds[in.kind]);
        if (in.kind == runner::PageInput::Down || in.kind == runner::PageInput::Up) {
            if (in.vk < 1 || in.vk > 254 || e["vk"] != nlohmann::json(in.vk))
                Fail("input %zu: key code %d taken, %s sent", i, in.vk, e["vk"].dump().c_str());
            if (in.repeat != (e.contains("repeat") && e["repeat"] == true) ||
                in.on_blur != (e.contains("blur") && e["blur"] == true))
                Fail("input %zu: flags not as sent", i);
        }
        if (in.kind == runner::PageInput::Tap) {
            if (e["caption"] != in.caption || in.caption.size() > runner::kMaxCaption)
                Fail("input %zu: caption not as sent", i);
            for (unsigned char c : in.caption)
                if (c < 0x20 || c == 0x7F)
                    Fail("input %zu: a caption with the byte 0x%02x", i, c);
        }
        if (!std::isfinite(in.ts) || in.ts < 0 || in.ts > runner::kMaxStamp ||
            (in.ts > 0 && e["ts"] != in.ts))
            Fail("input %zu: stamp %g not as sent", i, in.ts);
    }

    runner::InputTiming timing;
    double last = 0;
    for (double arrival : {5000.0, 5000.0 + (double)body.size()}) {
        std::vector<double> dues = timing.Schedule(batch, arrival);
        size_t keys = 0;
        for (const runner::PageInput& in : batch)
            keys += in.kind != runner::PageInput::Sync;
        if (dues.size() != keys)
            Fail("%zu device times for %zu inputs", dues.size(), keys);
        for (double due : dues) {
            if (!std::isfinite(due) || due < last || due > arrival)
                Fail("device time %g after %g, arrival %g", due, last, arrival);
            last = due;
        }
    }
}

void CheckAddress(const std::string& text) {
    runner::ServeAddress a, again;
    std::string error;
    if (!runner::ParseServeAddress(text, a, error)) {
        if (error.rfind("tapwatcher-sim: --serve: ", 0) != 0)
            Fail("error \"%s\" does not name --serve", error.c_str());
        return;
    }
    if (a.port < 0 || a.port > 65535 || a.host.empty())
        Fail("address \"%s\" port %d taken", a.host.c_str(), a.port);
    std::string authority = runner::AuthorityOf(a.host, a.port);
    if (!runner::ParseServeAddress(authority, again, error) || again.host != a.host ||
        again.port != a.port || again.beyond_loopback != a.beyond_loopback)
        Fail("\"%s\" does not read back as itself", authority.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::string rest((const char*)data + 1, size - 1);
    switch (data[0] % 3) {
    case 0:
        CheckRequest(rest);
        break;
    case 1:
        CheckBatch(rest);
        break;
    default:
        CheckAddress(rest);
        break;
    }
    return 0;
}
