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
    t_.SystemKey((DWORD)(dev_.profile().start_tick + k.time), k);
}

void DeviceWatch::OnMessageBox(const device::MessageBoxRecord& b) {
    std::string caption = device::Narrow(b.caption), text = device::Narrow(b.text);
    t_.Event((DWORD)(dev_.profile().start_tick + b.time), "message_box", DescribeMessageBox(b),
             {{"caption", caption}, {"text", text}, {"buttons", MessageBoxButtons(b.type)}});
}

void DeviceWatch::OnFileWritten(const std::string& path) {
    struct stat st;
    bool known = stat(path.c_str(), &st) == 0;
    std::string size = known ? std::to_string(st.st_size) : "?";
    t_.Event(dev_.Tick(), "data_file", "data file written: " + path + " (" + size + " bytes)",
             {{"path", path}, {"bytes", known ? (int64_t)st.st_size : (int64_t)-1}});
}

void DeviceWatch::OnHostError(const std::string& what, const std::string& path, int e, int count) {
    host_fault_ = true;
    std::string why =
        e == ELOOP ? "a symbolic link, refused under the device root" : std::strerror(e);
    std::string times = count > 1 ? ", " + std::to_string(count) + " times" : "";
    t_.Event(dev_.Tick(), "host_error",
             "host: " + what + " failed: " + why + " (" + path + ")" + times,
             {{"call", what}, {"error", why}, {"errno", e}, {"path", path}, {"count", count}});
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
    if (w && w->kind != device::WindowKind::Foreign && w->pid == dev_.CurrentPid()) {
        // The tool's own hot key: the row tells the event. One the tool
        // synthesised comes back as a row of its own, an echo.
        if (synthesized)
            echoes_.push_back({vk, down});
        return;
    }
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
            pending_.push_back({w.handle, (int)result, dev_.Tick()});
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
        const Pending p = pending_[k];
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
        std::string echo_of;
        for (size_t e = 0; e < echoes_.size(); ++e) {
            char vk[4];
            std::snprintf(vk, sizeof vk, "%02X", echoes_[e].vk);
            if (cells[1] == vk && cells[2] == (echoes_[e].down ? "D" : "U")) {
                echo_of = keys::KeyName(echoes_[e].vk) + (echoes_[e].down ? " down" : " up");
                echoes_.erase(echoes_.begin() + (ptrdiff_t)e);
                break;
            }
        }
        t_.Row(p.tick, p.index + 1, cells, echo_of);
    }
    pending_.clear();
    syncing_ = false;
}

void DeviceWatch::Idle() {
    Sync();
    echoes_.clear();
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
    std::u16string folder = DeviceFolder(p.exe);
    if (!dev.Files().MakeFolder(folder)) {
        error = std::string(kProgram) + ": cannot make the executable's folder " +
                device::Narrow(folder) + " under the device root \"" + p.root + "\"";
        return false;
    }
    // Long runs: no unbounded records; the DeviceWatch sees every event.
    dev.record_system_keys = false;
    dev.journal_on = false;
    std::string description = DescribeProfile(p), exe = device::Narrow(p.exe);
    t.Event(dev.Tick(), "start",
            "start: device " + job.profile_name + " (" + description + "), exe " + exe,
            {{"device", job.profile_name}, {"profile", description}, {"exe", exe}});
    // A data file from an earlier run: said, so that this run is not taken
    // for a fresh one.
    std::string data = dev.Files().HostPath(device::Widen(DataFileDevicePath(p.exe)));
    struct stat st;
    if (!data.empty() && stat(data.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        t.Event(dev.Tick(), "data_file_present",
                "data file already present: " + data + " (" + std::to_string(st.st_size) +
                    " bytes)",
                {{"path", data}, {"bytes", (int64_t)st.st_size}});
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
                    device::Narrow(ro) + " under the device root \"" + p.root + "\"";
            return false;
        }
        std::string path = device::Narrow(ro);
        t.Event(dev.Tick(), "read_only_made",
                "read-only file " + path + " made, empty, as it was missing", {{"path", path}});
    }
    return true;
}

} // namespace runner
