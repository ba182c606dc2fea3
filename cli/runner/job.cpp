// job.cpp - the device made ready for a job, for the scenario and the
// interactive run alike.
#include "cli/runner/job.h"

#include "cli/common/keys.h"
#include "cli/runner/profile.h"
#include "device/files.h"
#include "device/listview.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace runner {

namespace {

// A path or name from outside (an option, the host) as transcript text:
// whole, its control characters escaped.
std::string Clean(std::string_view text) {
    return Printable(text, std::string::npos);
}

// Whether the tool (not another owner) holds a hot key.
bool ToolHoldsAKey(device::Device& dev) {
    for (const device::HotKey& hk : dev.HotKeys())
        if (const device::Window* w = dev.Find(hk.owner))
            if (w->kind != device::WindowKind::Foreign)
                return true;
    return false;
}

} // namespace

std::u16string DeviceFolder(std::u16string_view path) {
    size_t slash = path.find_last_of(u"\\/");
    if (slash == std::u16string_view::npos || slash == 0)
        return u"\\";
    return std::u16string(path.substr(0, slash));
}

std::string DataFileDevicePath(const std::u16string& exe) {
    std::u16string folder = DeviceFolder(exe);
    return device::Narrow(folder == u"\\" ? folder : folder + u"\\") + "tapwatcherdata.txt";
}

std::vector<std::array<std::string, 6>> ListRows(device::Device& dev) {
    std::vector<std::array<std::string, 6>> rows;
    HWND main = dev.MainWindow();
    for (device::Window* w : dev.Windows()) {
        if (w->kind != device::WindowKind::ListView || w->parent != main || !w->listview)
            continue;
        for (int r = 0; r < w->listview->Count(); ++r) {
            std::array<std::string, 6> row;
            for (int c = 0; c < 6; ++c)
                row[c] = device::Narrow(w->listview->Cell(r, c));
            rows.push_back(std::move(row));
        }
        break;
    }
    return rows;
}

DeviceWatch::DeviceWatch(device::Device& dev, const Job& job, Transcript& t)
    : dev_(dev), t_(t), job_(job) {
    dev.AddObserver(this);
    t.before_event = [this] { Sync(); };
}

DeviceWatch::~DeviceWatch() {
    dev_.RemoveObserver(this);
    t_.before_event = nullptr;
}

void DeviceWatch::OnSystemKey(const device::SystemKey& k) {
    DWORD tick = (DWORD)(dev_.profile().start_tick + k.time);
    t_.SystemKey(tick, k);
    // Before the tool has made its first hot key it holds no key: said once,
    // so that keys without rows are not taken for keys it missed.
    if (!told_not_ready_ && !ToolHoldsAKey(dev_)) {
        told_not_ready_ = true;
        t_.Event(tick, "before_ready",
                 "the tool was not ready yet: keys before its first hot key reach the system",
                 {{"key", keys::KeyName(k.vk)}});
    }
}

void DeviceWatch::OnMessageBox(const device::MessageBoxRecord& b) {
    std::string caption = device::Narrow(b.caption), text = device::Narrow(b.text);
    t_.Event((DWORD)(dev_.profile().start_tick + b.time), "message_box", DescribeMessageBox(b),
             {{"caption", caption}, {"text", text}, {"buttons", MessageBoxButtons(b.type)}});
}

void DeviceWatch::OnFileWritten(const std::string& path) {
    struct stat st;
    bool known = stat(path.c_str(), &st) == 0;
    std::string size = known ? std::to_string(st.st_size) : "?", where = Clean(path);
    t_.Event(dev_.Tick(), "data_file", "data file written: " + where + " (" + size + " bytes)",
             {{"path", where}, {"bytes", known ? (int64_t)st.st_size : (int64_t)-1}});
}

void DeviceWatch::OnHostError(const std::string& what, const std::string& path, int e, int count) {
    host_fault_ = true;
    std::string why =
        e == ELOOP ? "a symbolic link, refused under the device root" : std::strerror(e);
    std::string where = Clean(path);
    std::string times = count > 1 ? ", " + std::to_string(count) + " times" : "";
    t_.Event(dev_.Tick(), "host_error",
             "host: " + what + " failed: " + why + " (" + where + ")" + times,
             {{"call", what}, {"error", why}, {"errno", e}, {"path", where}, {"count", count}});
}

std::string DeviceWatch::OwnerName(const device::HotKey& hk) const {
    const device::Window* w = dev_.Find(hk.owner);
    if (!w)
        return "a window gone";
    if (w->kind == device::WindowKind::Foreign && w->cls == u"ShellHotKeys") {
        size_t i = (size_t)(hk.id - 0xC000);
        if (hk.id >= 0xC000 && i < job_.taken_owners.size() && !job_.taken_owners[i].empty())
            return job_.taken_owners[i];
        return "shell";
    }
    if (w->kind == device::WindowKind::Foreign)
        return Printable(device::Narrow(w->title.empty() ? w->cls : w->title));
    return "process " + std::to_string(w->pid);
}

void DeviceWatch::OnKeyTaken(uint8_t vk, bool down, bool synthesized, const device::HotKey& hk) {
    const device::Window* w = dev_.Find(hk.owner);
    if (w && w->kind != device::WindowKind::Foreign && w->pid == dev_.CurrentPid())
        return; // the tool's own hot key: the row tells the event
    device::SystemKey k{};
    k.vk = vk;
    k.down = down;
    k.mods = dev_.ModsHeld();
    k.synthesized = synthesized;
    std::string owner = OwnerName(hk);
    std::string name = keys::KeyName(vk), mods = keys::ModsName(k.mods);
    std::string text = DescribeSystemKey(k) + ", taken by " + owner;
    t_.Event(dev_.Tick(), "taken", text,
             {{"key", name},
              {"vk", (int)vk},
              {"down", down},
              {"mods", mods},
              {"synthesised", synthesized},
              {"owner", owner}});
}

void DeviceWatch::OnListChange(const device::Window& w, UINT msg, LRESULT result) {
    if (w.pid != dev_.CurrentPid())
        return;
    Sync();
    if (msg == LVM_INSERTITEMW) {
        if (result >= 0) {
            // Added while the tool handles a hot key its own synthesised key
            // fired: an echo, named by that key.
            std::string echo_of;
            if (const MSG* m = dev_.SynthesisedHotKeyInHand())
                echo_of = keys::KeyName(HIWORD(m->lParam)) +
                          (LOWORD(m->lParam) & MOD_KEYUP ? " up" : " down");
            pending_.push_back({w.handle, (int)result, dev_.Tick(), std::move(echo_of)});
            ++rows_;
        }
        return;
    }
    int n = rows_;
    rows_ = 0;
    t_.Event(dev_.Tick(), "clear",
             "log cleared (" + std::to_string(n) + (n == 1 ? " row)" : " rows)"), {{"rows", n}});
}

void DeviceWatch::Sync() {
    if (pending_.empty() || syncing_)
        return;
    syncing_ = true;
    std::array<std::string, 6>& cells = cells_;
    for (size_t k = 0; k < pending_.size(); ++k) {
        const Pending& p = pending_[k];
        const device::Window* w = dev_.Find(p.list);
        if (!w || !w->listview || p.index >= w->listview->Count())
            continue;
        for (int c = 0; c < 6; ++c) {
            std::u16string_view cell = w->listview->Cell(p.index, c);
            bool ascii = true;
            for (char16_t ch : cell)
                ascii = ascii && ch < 0x80;
            if (ascii)
                cells[c].assign(cell.begin(), cell.end());
            else
                cells[c] = device::Narrow(cell);
        }
        t_.Row(p.tick, p.index + 1, cells, p.echo_of);
    }
    pending_.clear();
    syncing_ = false;
}

void DeviceWatch::Idle() {
    Sync();
}

void DeviceWatch::MenuTap(std::u16string_view caption) {
    std::string button = Printable(device::Narrow(caption));
    t_.Event(dev_.Tick(), "menu_tap", "menu tap \"" + button + "\"", {{"button", button}});
}

LineReader::Result PullLine(Job& job, std::string& error) {
    std::string line;
    for (;;) {
        size_t before = job.scenario.size();
        LineReader::Result r = job.stream->Next(line, error);
        if (r != LineReader::Line)
            return r;
        if (!job.scenario.Add(line, job.stream->Number(), job.stream->Name(), error))
            return LineReader::Bad;
        if (job.scenario.size() > before)
            return LineReader::Line;
    }
}

bool PrepareDevice(device::Device& dev, const Job& job, Transcript& t, std::string& error) {
    const device::Profile& p = dev.profile();
    dev.Files().make_exe_folder = true;
    // Long runs: no unbounded records; the DeviceWatch sees every event.
    dev.record_system_keys = false;
    dev.journal_on = false;
    std::string description = DescribeProfile(p), exe = Clean(device::Narrow(p.exe)),
                name = Clean(job.profile_name);
    t.Event(dev.Tick(), "start", "start: device " + name + " (" + description + "), exe " + exe,
            {{"device", name}, {"profile", description}, {"exe", exe}});
    // A data file from an earlier run: said, so that this run is not taken
    // for a fresh one.
    std::string data = dev.Files().HostPath(device::Widen(DataFileDevicePath(p.exe)));
    struct stat st;
    if (!data.empty() && stat(data.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        t.Event(dev.Tick(), "data_file_present",
                "data file already present: " + Clean(data) + " (" + std::to_string(st.st_size) +
                    " bytes)",
                {{"path", Clean(data)}, {"bytes", (int64_t)st.st_size}});
    // A read-only attribute needs a file to sit on: a listed file that is
    // missing is made, empty, so the device finds it read-only.
    for (const std::u16string& ro : p.read_only) {
        std::string host = dev.Files().HostPath(ro);
        if (host.empty() || stat(host.c_str(), &st) == 0)
            continue;
        DWORD err = 0;
        HANDLE h = INVALID_HANDLE_VALUE;
        if (dev.Files().MakeFolder(DeviceFolder(ro)))
            h = dev.Files().Create(ro.c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0, err);
        if (h == INVALID_HANDLE_VALUE || !dev.Files().Close(h, err)) {
            error = std::string(kProgram) + ": cannot make the read-only file " +
                    Clean(device::Narrow(ro)) + " under the device root \"" + Clean(p.root) + "\"";
            return false;
        }
        std::string path = Clean(device::Narrow(ro));
        t.Event(dev.Tick(), "read_only_made",
                "read-only file " + path + " made, empty, as it was missing", {{"path", path}});
    }
    return true;
}

} // namespace runner
