// serve.cpp - the device in a browser: an HTTP server (cpp-httplib) in its
// own threads, the device and the tool on the calling thread, a real-time
// clock.
//
// Choices made here:
//  - The server is Debian's cpp-httplib: header-only, no other dependency,
//    a thread pool, chunked responses for Server-Sent Events, and hooks
//    before routing and on errors where every request is checked.
//  - Events go to the page as Server-Sent Events (one-way is all the page
//    needs); keys come back as small POSTs, sent one batch at a time by the
//    page so that they arrive in order.
//  - Every request must carry the token (?t=) printed with the address; a
//    request whose Host is not the served address, or whose Origin (when
//    sent) is not the page's own, is refused with 403 and a transcript line
//    (the checks and the reading of an input batch are in serve_request.cpp).
//    Refusal lines are limited to 20 a second so a flood cannot bury the
//    transcript.
//  - One page drives the keyboard: the first event stream opened; later ones
//    are told they watch. When the driving page goes away, the keys it held
//    are released on the device and the next page to connect drives; a page
//    that connects after the driving page's stream closed (a reload) drives
//    at once.
//  - Requests pass a gate first (gate.h): a client that connects and hangs
//    on cannot hold the threads the page needs.
//  - A key's time on the device is the time the browser stamped on its event
//    (event.timeStamp), mapped onto the device clock by the smallest delay
//    seen so far between a stamp and its arrival; so a hold time on the
//    device is the hold time in the browser, not the time between two POSTs.
//    For that the device's clock runs kLagMs behind the host's (a key handled
//    at once moves it forward to the key's time; it never goes back), so a
//    key that arrives up to kLagMs late still gets its own time. Timers fall
//    due on the device clock as always.
//  - The device runs on the real-time core (cli/runner/realtime.h): Ctrl-C
//    (SIGINT), SIGTERM or SIGHUP on the server is the shell's close request,
//    as in the terminal; a second one ends the server at once. The server
//    threads wake the core's wait when they hand it inputs or notes.
#include "cli/serve/serve.h"

#include "cli/common/keys.h"
#include "cli/runner/realtime.h"
#include "cli/runner/screen.h"
#include "cli/serve/gate.h"
#include "device/device.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace runner {

// The screen model's areas and columns as the page reads them.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(ScreenArea, x, y, w, h)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(ScreenModel::Column, x, w, chars, header)

namespace {

// How far the device's clock runs behind the host's (see above).
constexpr double kLagMs = 250;

// 128 random bits as hex.
std::string NewToken() {
    std::random_device rd;
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", (unsigned)rd());
        s += part;
    }
    return s;
}

// One input from the page, at its time on the device clock.
struct Input {
    PageInput page;
    double due = 0; // device ms
};

constexpr size_t kKeptEvents = 2000; // events a page that connects late still gets
constexpr int kMaxStreams = 4;       // event streams open at a time
constexpr int kNotesPerSecond = 20;  // refusal lines in the transcript

// What the server threads and the device thread share.
struct Hub {
    std::mutex m;
    std::condition_variable stream_cv; // event streams wait for events
    std::deque<Input> inputs;
    std::vector<std::string> notes; // transcript lines from the server threads
    int notes_this_second = 0, notes_dropped = 0;
    double note_second = 0;
    std::deque<std::string> events; // SSE messages, numbered from events_base
    uint64_t events_base = 0;
    std::string state;
    uint64_t state_version = 0;
    bool done = false;
    int exit_code = 0;
    uint64_t next_session = 1;
    uint64_t driver = 0;    // the session that drives the keyboard; 0: none
    int driver_socket = -1; // its event stream's connection
    std::set<uint8_t> held; // keys the driving page holds down
    InputTiming timing;     // the driving page's stamps on the device clock
    int streams = 0;
    RealClock* clock = nullptr;

    // Starts a new second of notes once the last one is over (or at once, at
    // the end of the run), summing up the notes it dropped. Holds m.
    void NextSecond(bool now_or_never = false) {
        double now = HostMs();
        if (now - note_second < 1000 && !now_or_never)
            return;
        if (notes_dropped)
            notes.push_back(std::to_string(notes_dropped) + " more requests refused");
        note_second = now;
        notes_this_second = 0;
        notes_dropped = 0;
    }
    // Milliseconds until the dropped notes are to be summed up; -1: none are.
    int UntilSummary() const {
        return notes_dropped ? std::max(1, (int)(note_second + 1000 - HostMs())) : -1;
    }
    // A transcript line from a server thread, limited per second. Holds m.
    void Note(const std::string& text) {
        NextSecond();
        if (notes_this_second++ < kNotesPerSecond)
            notes.push_back(text);
        else
            ++notes_dropped;
        Realtime::Wake();
    }
    // An event for every page. Holds m.
    void Push(const nlohmann::json& event) {
        events.push_back("event: " + event.value("type", std::string("line")) + "\ndata: " +
                         event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                         "\n\n");
        while (events.size() > kKeptEvents) {
            events.pop_front();
            ++events_base;
        }
        stream_cv.notify_all();
    }
};

// The state of the screen for the page: the screen model, areas in device pixels.
std::string StateJson(device::Device& dev, const ScreenView& view) {
    const ScreenModel& m = view.model;
    nlohmann::json buttons = nlohmann::json::array();
    for (const ScreenModel::Button& b : m.buttons) {
        buttons.push_back(b.area);
        buttons.back().update({{"caption", device::Narrow(b.caption)}, {"enabled", b.enabled}});
    }
    nlohmann::json j = {
        {"type", "state"},
        {"tick", (int32_t)dev.Tick()},
        {"summary", view.summary},
        {"width", m.width},
        {"height", m.height},
        {"taskbar", m.taskbar},
        {"title", device::Narrow(m.title)},
        {"has_window", m.has_window},
        {"header_h", m.header_h},
        {"row_h", m.row_h},
        {"header_shown", m.header_shown},
        {"columns", m.columns},
        {"rows", m.rows},
        {"first_row", m.first_row},
        {"row_count", m.row_count},
        {"buttons", buttons},
    };
    if (m.has_list)
        j["list"] = m.list;
    if (m.has_menubar)
        j["menubar"] = m.menubar;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Drives the device from the hub's inputs on the real-time clock.
class ServeDriver : public RealtimeFrontEnd {
  public:
    ServeDriver(Hub& hub, Transcript& t) : hub_(hub), t_(t) {}

    DeviceWatch* watch = nullptr;

    void Polled(device::Device&) override {
        if (watch)
            watch->Idle();
    }

    // Writes the server threads' notes to the transcript.
    void Read(device::Device& dev, const std::vector<pollfd>&, bool) override { WriteNotes(dev); }

    // Writes the notes; a flood that has ended is summed up too, and at the end
    // of the run one still going on.
    void WriteNotes(device::Device& dev, bool last = false) {
        std::vector<std::string> notes;
        {
            std::lock_guard<std::mutex> lk(hub_.m);
            hub_.NextSecond(last);
            notes.swap(hub_.notes);
        }
        for (const std::string& n : notes)
            t_.Event(dev.Tick(), "browser", n, {{"note", n}});
    }

    bool Ready(device::Device& dev, uint64_t& at) override {
        std::lock_guard<std::mutex> lk(hub_.m);
        if (hub_.inputs.empty())
            return false;
        at = std::max<uint64_t>(dev.Now(), (uint64_t)hub_.inputs.front().due);
        return true;
    }

    int Paint(device::Device& dev, uint64_t) override {
        Publish(dev);
        std::lock_guard<std::mutex> lk(hub_.m);
        return hub_.UntilSummary();
    }

    void Step(device::Device& dev) override {
        Input in;
        {
            std::lock_guard<std::mutex> lk(hub_.m);
            in = hub_.inputs.front();
            hub_.inputs.pop_front();
        }
        const PageInput& p = in.page;
        switch (p.kind) {
        case PageInput::Down:
            if (p.repeat)
                t_.Event(dev.Tick(), "browser",
                         "browser: key " + keys::KeyName(p.vk) + " auto-repeat");
            dev.KeyDown(p.vk);
            break;
        case PageInput::Up:
            if (p.on_blur)
                t_.Event(dev.Tick(), "browser",
                         "browser: key " + keys::KeyName(p.vk) +
                             " released as the page lost the focus");
            dev.KeyUp(p.vk);
            break;
        case PageInput::Tap:
            t_.Event(dev.Tick(), "browser", "browser: tap \"" + p.caption + "\"");
            if (dev.TapButton(device::Widen(p.caption))) {
                if (watch)
                    watch->MenuTap(device::Widen(p.caption));
            } else {
                t_.Event(dev.Tick(), "browser",
                         "browser: no menu-bar button \"" + p.caption + "\"");
            }
            break;
        case PageInput::Sync:
            break; // never queued
        }
        Publish(dev);
    }

    // Sends the screen to the pages when it changed.
    void Publish(device::Device& dev) {
        std::string state = StateJson(dev, DrawScreen(dev));
        std::lock_guard<std::mutex> lk(hub_.m);
        if (state == hub_.state)
            return;
        hub_.state = std::move(state);
        ++hub_.state_version;
        hub_.stream_cv.notify_all();
    }

  private:
    Hub& hub_;
    Transcript& t_;
};

// A request's method and path for the transcript.
std::string Describe(const httplib::Request& req) {
    return DescribeRequest(req.method, req.path);
}

// Takes one batch of inputs from the driving page. False, with `why`, when
// the body is not one. Holds hub.m.
bool TakeInputs(Hub& hub, const std::string& body, std::string& why) {
    std::vector<PageInput> batch;
    if (!ParseInputBatch(body, batch, why))
        return false;
    std::vector<double> dues = hub.timing.Schedule(batch, hub.clock->RealMs());
    size_t next = 0;
    for (PageInput& in : batch) {
        if (in.kind == PageInput::Sync)
            continue;
        if (in.kind == PageInput::Down)
            hub.held.insert(in.vk);
        else if (in.kind == PageInput::Up)
            hub.held.erase(in.vk);
        hub.inputs.push_back({std::move(in), dues[next++]});
    }
    Realtime::Wake();
    return true;
}

// The driving page went away: its keys are released and nobody drives.
void ReleaseDriver(Hub& hub, uint64_t session) {
    if (hub.driver != session)
        return;
    hub.driver = 0;
    double now = hub.clock->RealMs();
    for (uint8_t vk : hub.held) {
        Input in;
        in.page.kind = PageInput::Up;
        in.page.vk = vk;
        in.page.on_blur = true;
        in.due = hub.timing.last_due = std::max(now, hub.timing.last_due);
        hub.inputs.push_back(in);
    }
    hub.held.clear();
    hub.timing.have_offset = false; // the next page's clock is another
    Realtime::Wake();
}

// Refuses a request without the token, for another host or from another
// origin; notes the requests the server could not serve.
void GuardRequests(httplib::Server& svr, Hub& hub, const ServedAt& served) {
    svr.set_pre_routing_handler(
        [&hub, served](const httplib::Request& req, httplib::Response& res) {
            RequestFields fields;
            fields.token = req.get_param_value("t");
            fields.host = req.get_header_value("Host");
            fields.has_origin = req.has_header("Origin");
            fields.origin = req.get_header_value("Origin");
            std::string why = RefusalOf(fields, served);
            if (why.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            res.status = 403;
            res.set_content("refused: " + why + "\n", "text/plain");
            std::lock_guard<std::mutex> lk(hub.m);
            hub.Note("browser: refused " + Describe(req) + ": " + why);
            return httplib::Server::HandlerResponse::Handled;
        });
    svr.set_error_handler([&hub](const httplib::Request& req, httplib::Response& res) {
        if (res.status == 403)
            return; // said above
        if (res.body.empty())
            res.set_content("error " + std::to_string(res.status) + "\n", "text/plain");
        std::lock_guard<std::mutex> lk(hub.m);
        hub.Note("browser: bad request " + Describe(req) + ": status " +
                 std::to_string(res.status));
    });
    svr.set_exception_handler(
        [&hub](const httplib::Request& req, httplib::Response& res, std::exception_ptr) {
            res.status = 500;
            std::lock_guard<std::mutex> lk(hub.m);
            hub.Note("browser: request " + Describe(req) + " failed");
        });
}

// GET /: the page, allowed nothing from elsewhere.
void GetPage(const httplib::Request&, httplib::Response& res) {
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'unsafe-inline'; style-src "
                   "'unsafe-inline'; connect-src 'self'; img-src data:; frame-ancestors "
                   "'none'");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
    res.set_content(kServePage, "text/html; charset=utf-8");
}

// Where one event stream stands.
struct Cursor {
    uint64_t session = 0, next_event = 0, state_version = 0;
    int socket = -1;
    bool driving = false, hello = false;
};

// Sends one event stream what is new (waiting up to 2 s for it): the hello
// first, then events, the screen's state and, at the end, the exit. False
// when the page has gone.
bool SendEvents(Hub& hub, Cursor& cur, httplib::DataSink& sink) {
    std::string out;
    bool finish = false;
    if (PeerGone(cur.socket))
        return false;
    {
        std::unique_lock<std::mutex> lk(hub.m);
        if (!cur.hello) {
            cur.hello = true;
            nlohmann::json hello = {{"session", cur.session}, {"driving", cur.driving}};
            out += "event: hello\ndata: " + hello.dump() + "\n\n";
            cur.next_event = hub.events_base;
        } else {
            hub.stream_cv.wait_for(lk, std::chrono::seconds(2), [&] {
                return hub.done || hub.state_version != cur.state_version ||
                       cur.next_event < hub.events_base + hub.events.size();
            });
        }
        cur.next_event = std::max(cur.next_event, hub.events_base);
        for (; cur.next_event < hub.events_base + hub.events.size(); ++cur.next_event)
            out += hub.events[cur.next_event - hub.events_base];
        if (hub.state_version != cur.state_version) {
            cur.state_version = hub.state_version;
            out += "event: state\ndata: " + hub.state + "\n\n";
        }
        if (hub.done) {
            out += "event: exit\ndata: {\"code\":" + std::to_string(hub.exit_code) + "}\n\n";
            finish = true;
        }
    }
    if (out.empty())
        out = ": ping\n\n"; // finds a page that has gone
    if (!sink.write(out.data(), out.size()))
        return false;
    if (finish)
        sink.done();
    return true;
}

// GET /events: a page's event stream; the first one open drives the keyboard.
void GetEvents(Hub& hub, httplib::Response& res) {
    auto cur = std::make_shared<Cursor>();
    {
        std::lock_guard<std::mutex> lk(hub.m);
        if (hub.streams >= kMaxStreams) {
            res.status = 503;
            res.set_content("too many pages open\n", "text/plain");
            return;
        }
        ++hub.streams;
        cur->session = hub.next_session++;
        cur->socket = ServedSocket();
        // A reload closes the driving page's stream just before it opens its
        // own: the keyboard passes at once.
        if (hub.driver != 0 && PeerGone(hub.driver_socket))
            ReleaseDriver(hub, hub.driver);
        cur->driving = hub.driver == 0 && !hub.done;
        if (cur->driving) {
            hub.driver = cur->session;
            hub.driver_socket = cur->socket;
        }
    }
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [&hub, cur](size_t, httplib::DataSink& sink) { return SendEvents(hub, *cur, sink); },
        [&hub, cur](bool) {
            std::lock_guard<std::mutex> lk(hub.m);
            --hub.streams;
            ReleaseDriver(hub, cur->session);
            hub.stream_cv.notify_all();
        });
}

// POST /input: a batch of inputs, taken from the driving page only.
void PostInput(Hub& hub, const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> lk(hub.m);
    std::string session = req.get_param_value("s");
    if (hub.done) {
        res.status = 410;
        res.set_content("the tool has exited\n", "text/plain");
        return;
    }
    if (hub.driver == 0 || session != std::to_string(hub.driver)) {
        res.status = 409;
        res.set_content("another page drives the device\n", "text/plain");
        hub.Note("browser: refused input from a page that watches");
        return;
    }
    std::string why;
    if (!TakeInputs(hub, req.body, why)) {
        res.status = 400;
        res.set_content("bad input: " + why + "\n", "text/plain");
        hub.Note("browser: bad input: " + why);
        return;
    }
    res.set_content("ok\n", "text/plain");
}

// Sets up the routes of the page, its event stream and its inputs.
void Route(httplib::Server& svr, Hub& hub, const ServedAt& served) {
    GuardRequests(svr, hub, served);
    svr.Get("/", GetPage);
    svr.Get("/events",
            [&hub](const httplib::Request&, httplib::Response& res) { GetEvents(hub, res); });
    svr.Post("/input", [&hub](const httplib::Request& req, httplib::Response& res) {
        PostInput(hub, req, res);
    });
}

} // namespace

int RunServe(const Job& job, const ServeAddress& address, std::ostream& out, std::ostream& errors) {
    Hub hub;
    Realtime loop({kLagMs});
    hub.clock = &loop.clock();
    const std::string token = NewToken();

    GatedServer svr(kMaxStreams + 4);
    svr.set_payload_max_length(kMaxInputBody);
    svr.set_read_timeout(5, 0);
    svr.set_write_timeout(5, 0);
    int port = address.port;
    if (port == 0)
        port = svr.bind_to_any_port(address.host);
    else if (!svr.bind_to_port(address.host, port))
        port = -1;
    if (port <= 0) {
        errors << kProgram << ": --serve: cannot listen on "
               << AuthorityOf(address.host, address.port) << std::endl;
        return kExitBadInput;
    }
    svr.WidenBacklog();
    const std::string authority = AuthorityOf(address.host, port);
    Route(svr, hub, ServedAt{token, address.host, port});
    if (!svr.BoundToLoopback())
        errors << kProgram << ": warning: serving on " << address.host
               << ", not only this machine's loopback: anyone who can reach it and has the "
                  "token can drive the device"
               << std::endl;
    out << "tapwatcher-sim: the device is at http://" << authority << "/?t=" << token << std::endl;

    device::Device dev(job.profile);
    Transcript t(&out);
    t.line_buffered = true; // a run a person or a program follows live
    DeviceWatch watch(dev, job, t);
    t.on_line = [&hub](const std::string& line) {
        std::lock_guard<std::mutex> lk(hub.m);
        hub.Push({{"type", "line"}, {"text", line}});
    };
    std::string error;
    if (!PrepareDevice(dev, job, t, error)) {
        errors << error << std::endl;
        return kExitBadInput;
    }
    // Message boxes go to the page too, after the transcript has them.
    struct BoxesToPage : device::Observer {
        device::Device& dev;
        Hub& hub;
        BoxesToPage(device::Device& d, Hub& h) : dev(d), hub(h) { dev.AddObserver(this); }
        ~BoxesToPage() override { dev.RemoveObserver(this); }
        void OnMessageBox(const device::MessageBoxRecord& b) override {
            std::lock_guard<std::mutex> lk(hub.m);
            hub.Push({{"type", "box"},
                      {"caption", device::Narrow(b.caption)},
                      {"text", device::Narrow(b.text)},
                      {"ok_cancel", (b.type & 0xF) == 1}});
        }
    } boxes(dev, hub);

    ServeDriver driver(hub, t);
    driver.watch = &watch;
    std::thread server([&svr] { svr.listen_after_bind(); });
    std::string stalled;
    const int status = loop.Run(dev, driver, t, stalled);
    driver.Publish(dev);
    watch.Sync();
    driver.WriteNotes(dev, true);
    if (stalled.empty())
        t.Event(dev.Tick(), "exit", "exit " + std::to_string(status),
                {{"status", status}, {"tool_code", status}});
    t.Flush();
    {
        // The pages are told; each event stream ends once it has said so.
        std::unique_lock<std::mutex> lk(hub.m);
        hub.done = true;
        hub.exit_code = status;
        hub.stream_cv.notify_all();
        hub.stream_cv.wait_for(lk, std::chrono::seconds(3), [&] { return hub.streams == 0; });
    }
    svr.stop();
    server.join();
    if (!stalled.empty())
        errors << kProgram << ": the tool stopped making progress: " << stalled << std::endl;
    return status;
}

} // namespace runner
