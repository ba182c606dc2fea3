// job.cpp - the device made ready for a job, for the scenario and the
// interactive run alike.
#include "cli/sim/job.h"

#include "cli/sim/profile.h"
#include "device/files.h"
#include "device/listview.h"

#include <fstream>
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
    return sim::Narrow(folder == u"\\" ? folder : folder + u"\\") + "tapwatcherdata.txt";
}

std::vector<std::array<std::string, 6>> ListRows(sim::Device& dev) {
    std::vector<std::array<std::string, 6>> rows;
    HWND main = dev.MainWindow();
    for (sim::Window* w : dev.Windows()) {
        if (w->kind != sim::WindowKind::ListView || w->parent != main || !w->listview)
            continue;
        for (int r = 0; r < w->listview->Count(); ++r) {
            std::array<std::string, 6> row;
            for (int c = 0; c < 6; ++c)
                row[c] = sim::Narrow(w->listview->Cell(r, c));
            rows.push_back(std::move(row));
        }
        break;
    }
    return rows;
}

bool PrepareDevice(sim::Device& dev, const Job& job, Transcript& t, std::string& error) {
    const sim::Profile& p = dev.profile();
    std::u16string folder = DeviceFolder(p.exe);
    if (!dev.Files().MakeFolder(folder)) {
        error = std::string(kProgram) + ": cannot make the executable's folder " +
                sim::Narrow(folder) + " under the device root \"" + p.root + "\"";
        return false;
    }
    // Long runs: no unbounded records; the hooks below see every event.
    dev.record_system_keys = false;
    dev.journal_on = false;
    const uint32_t start = p.start_tick;
    dev.on_system_key = [&t, start](const sim::SystemKey& k) {
        t.Event((DWORD)(start + k.time), DescribeSystemKey(k));
    };
    dev.on_message_box = [&t, start](const sim::MessageBoxRecord& b) {
        t.Event((DWORD)(start + b.time), DescribeMessageBox(b));
    };
    dev.on_file_written = [&t, &dev](const std::string& path) {
        struct stat st;
        std::string size = stat(path.c_str(), &st) == 0 ? std::to_string(st.st_size) : "?";
        t.Event(dev.Tick(), "data file written: " + path + " (" + size + " bytes)");
    };
    t.Event(dev.Tick(), "start: device " + job.profile_name + " (" + DescribeProfile(p) +
                            "), exe " + sim::Narrow(p.exe));
    // A read-only attribute needs a file to sit on: a listed file that is
    // missing is made, empty, so the device finds it read-only.
    for (const std::u16string& ro : p.read_only) {
        std::string host = dev.Files().HostPath(ro);
        struct stat st;
        if (host.empty() || stat(host.c_str(), &st) == 0)
            continue;
        if (!dev.Files().MakeFolder(DeviceFolder(ro)) ||
            !std::ofstream(dev.Files().HostPath(ro), std::ios::binary)) {
            error = std::string(kProgram) + ": cannot make the read-only file " + sim::Narrow(ro) +
                    " under the device root \"" + p.root + "\"";
            return false;
        }
        t.Event(dev.Tick(),
                "read-only file " + sim::Narrow(ro) + " made, empty, as it was missing");
    }
    return true;
}

} // namespace runner
