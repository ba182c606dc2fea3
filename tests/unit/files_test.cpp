// Device files: what the data-file writer meets on a device - replacing a file,
// a read-only file, missing folders, long and bad names, a full disk, sharing.
#include "platform/platform.h"
#include "device/device.h"
#include "device/files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <iterator>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const DWORD kPoison = 0xDEADBEEF;
const WCHAR* kData = u"\\Program Files\\tapwatcherdata.txt";

// A device booted over a fresh temporary host root holding "Program Files".
class DeviceFiles : public ::testing::Test, public device::Observer {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tw-files-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        top_ = tmpl;
        root_ = top_ + "/root";
        data_ = root_ + "/Program Files/tapwatcherdata.txt";
        fs::create_directories(root_ + "/Program Files");
    }
    void TearDown() override {
        dev_.reset();
        fs::remove_all(top_);
    }
    // Boots the device; call once per test, after setting up host files.
    device::Device& Boot(std::vector<std::u16string> read_only = {}, int64_t disk_free = -1) {
        device::Profile p;
        p.root = root_;
        p.read_only = std::move(read_only);
        p.disk_free = disk_free;
        dev_ = std::make_unique<device::Device>(p);
        dev_->AddObserver(this);
        return *dev_;
    }
    void OnFileWritten(const std::string& path) override { announced_.push_back(path); }
    void OnHostError(const std::string& what, const std::string& path, int e, int count) override {
        host_errors_.push_back(what + " " + path + " errno " + std::to_string(e) + " x" +
                               std::to_string(count));
    }
    std::string Host(const std::string& rel) const { return root_ + "/" + rel; }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static void Put(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    // Opens for read and write, sharing read, as the tool's writer does.
    static HANDLE Open(const WCHAR* path, DWORD disposition = CREATE_ALWAYS,
                       DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD share = FILE_SHARE_READ) {
        return CreateFileW(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }
    static BOOL Write(HANDLE h, const std::string& s, DWORD* written = nullptr) {
        DWORD dummy;
        return WriteFile(h, s.data(), (DWORD)s.size(), written ? written : &dummy, nullptr);
    }
    // Tries to open `path` and returns the error code it fails with (0: it opened).
    DWORD OpenError(const WCHAR* path, DWORD disposition = CREATE_ALWAYS) {
        dev_->last_error = kPoison;
        HANDLE h = Open(path, disposition);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return 0;
        }
        return dev_->last_error;
    }

    std::string top_, root_, data_; // data_: the data file's host path
    std::unique_ptr<device::Device> dev_;
    std::vector<std::string> announced_;
    std::vector<std::string> host_errors_;
};

TEST_F(DeviceFiles, CreateAlwaysReplacesAndSuccessLeavesLastError) {
    device::Device& dev = Boot();
    // A new file: every call succeeds and the last error stays as it was.
    dev.last_error = kPoison;
    HANDLE h = Open(kData);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_NE(h, nullptr);
    DWORD written = 0;
    EXPECT_TRUE(Write(h, "SysTime\r\n", &written));
    EXPECT_EQ(written, 9u);
    EXPECT_TRUE(announced_.empty()) << "announced before the handle was closed";
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(dev.last_error, kPoison);
    ASSERT_EQ(announced_.size(), 1u);
    EXPECT_EQ(announced_[0], data_);

    // A longer file is replaced completely; Windows reports 183 on success.
    Put(data_, std::string(500, 'x'));
    h = Open(kData);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(dev.last_error, (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(Write(h, "new\r\n"));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Read(data_), "new\r\n");

    // Device names are not case-sensitive: another spelling finds the same file.
    h = Open(u"\\PROGRAM FILES\\TapWatcherData.TXT", OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Write(h, "N"));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Read(data_), "New\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(Host("Program Files")), {}), 1);
}

TEST_F(DeviceFiles, ReadOnlyFileIsRefusedAndKept) {
    Put(data_, "keep me");
    device::Device& dev = Boot({u"\\program files\\TAPWATCHERDATA.TXT", u"\\new.txt"});

    EXPECT_EQ(OpenError(kData), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError(kData, OPEN_EXISTING), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Read(data_), "keep me");
    // Reading it is allowed.
    HANDLE h = Open(kData, OPEN_EXISTING, GENERIC_READ);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    dev.last_error = kPoison;
    EXPECT_FALSE(Write(h, "x"));
    EXPECT_EQ(dev.last_error, (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(h);

    // A listed path that does not exist yet can be made, and is read-only after.
    EXPECT_EQ(OpenError(u"\\new.txt"), 0u);
    EXPECT_EQ(OpenError(u"\\new.txt"), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(DeviceFiles, BadPathsNeverReachTheHost) {
    Put(Host("afile"), "");
    Boot();
    EXPECT_EQ(OpenError(u"\\No Such Folder\\tapwatcherdata.txt"), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError(u"\\afile\\x.txt"), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError(u"tapwatcherdata.txt"), (DWORD)ERROR_INVALID_NAME);
    EXPECT_EQ(OpenError(u"\\Program Files\\..\\..\\escaped.txt"), (DWORD)ERROR_INVALID_NAME);
    EXPECT_EQ(OpenError(u"\\Program Files\\a?b"), (DWORD)ERROR_INVALID_NAME);
    EXPECT_EQ(OpenError(u"\\Program Files\\a\tb"), (DWORD)ERROR_INVALID_NAME);
    EXPECT_EQ(OpenError(u"\\Program Files\\", CREATE_ALWAYS), (DWORD)ERROR_INVALID_NAME);
    EXPECT_EQ(OpenError(u"\\Program Files", CREATE_ALWAYS), (DWORD)ERROR_ACCESS_DENIED);

    // MAX_PATH counts the NUL: 259 units open, 260 do not.
    std::u16string dir = u"\\Program Files\\";
    std::u16string fits = dir + std::u16string(259 - dir.size(), u'n');
    EXPECT_EQ(OpenError(fits.c_str()), 0u);
    std::u16string too_long = fits + u"n";
    EXPECT_EQ(OpenError(too_long.c_str()), (DWORD)ERROR_FILENAME_EXCED_RANGE);

    EXPECT_FALSE(fs::exists(top_ + "/escaped.txt"));
    EXPECT_FALSE(fs::exists(root_ + "/escaped.txt"));
}

TEST_F(DeviceFiles, FullDiskWritesNothingAndTruncationFreesSpace) {
    device::Device& dev = Boot({}, 40);
    const std::string header = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt\r\n"; // 31 bytes
    HANDLE h = Open(kData);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Write(h, header));
    EXPECT_EQ(dev.Files().DiskFree(), 9);

    DWORD written = 77;
    dev.last_error = kPoison;
    EXPECT_FALSE(Write(h, "0123456789", &written));
    EXPECT_EQ(dev.last_error, (DWORD)ERROR_DISK_FULL);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(Write(h, "123456789")); // exactly what is left
    EXPECT_EQ(dev.Files().DiskFree(), 0);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Read(data_), header + "123456789") << "partial write";

    // Replacing the file gives its 40 bytes back.
    h = Open(kData);
    EXPECT_EQ(dev.Files().DiskFree(), 40);
    CloseHandle(h);
}

// A file an earlier run left is no room for this one: emptying it gives nothing back.
TEST_F(DeviceFiles, FileLeftBeforeBootMakesNoRoom) {
    fs::create_directories(fs::path(data_).parent_path());
    std::ofstream(data_, std::ios::binary) << std::string(500, 'x');
    device::Device& dev = Boot({}, 40);
    HANDLE h = Open(kData);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(dev.Files().DiskFree(), 40);
    EXPECT_FALSE(Write(h, std::string(41, 'y')));
    EXPECT_EQ(dev.last_error, (DWORD)ERROR_DISK_FULL);
    CloseHandle(h);
}

TEST_F(DeviceFiles, InjectedWriteFailureHitsOnlyThatWrite) {
    device::Device& dev = Boot();
    dev.faults.fail_write = [](int nth) { return nth == 1; };
    HANDLE h = Open(kData);
    dev.last_error = kPoison;
    EXPECT_FALSE(Write(h, "header\r\n"));
    EXPECT_EQ(dev.last_error, (DWORD)ERROR_DISK_FULL);
    EXPECT_TRUE(Write(h, "row\r\n"));
    CloseHandle(h);
    EXPECT_EQ(Read(data_), "row\r\n");
}

TEST_F(DeviceFiles, SharingAndHandles) {
    device::Device& dev = Boot();
    Put(data_, "first");
    HANDLE a = Open(kData, OPEN_EXISTING);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    // A second writer is refused, and the file is not truncated by the attempt.
    EXPECT_EQ(OpenError(kData), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(OpenError(u"\\program files\\tapwatcherdata.txt"), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Read(data_), "first");
    // A reader that lets the writer write is allowed.
    HANDLE b = Open(kData, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_NE(a, b);

    dev.last_error = kPoison;
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_FALSE(CloseHandle(a));
    EXPECT_EQ(dev.last_error, (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(Write(a, "late"));
    EXPECT_EQ(dev.last_error, (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_TRUE(announced_.empty()) << "nothing was written";
    EXPECT_EQ(OpenError(kData), 0u);
}

TEST_F(DeviceFiles, Dispositions) {
    Put(data_, "abcdef");
    device::Device& dev = Boot();
    EXPECT_EQ(OpenError(kData, CREATE_NEW), (DWORD)ERROR_FILE_EXISTS);
    EXPECT_EQ(OpenError(u"\\Program Files\\none.txt", OPEN_EXISTING), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fs::exists(Host("Program Files/none.txt")));

    dev.last_error = kPoison;
    HANDLE h = Open(kData, OPEN_ALWAYS); // keeps the bytes, writes from the start
    EXPECT_EQ(dev.last_error, (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(Write(h, "XY"));
    CloseHandle(h);
    EXPECT_EQ(Read(data_), "XYcdef");

    EXPECT_EQ(OpenError(kData, TRUNCATE_EXISTING), 0u);
    EXPECT_EQ(Read(data_), "");
}

TEST_F(DeviceFiles, FoldersAndJournal) {
    device::Device& dev = Boot();
    EXPECT_TRUE(dev.Files().MakeFolder(u"\\Windows\\Start Menu"));
    EXPECT_TRUE(fs::is_directory(Host("Windows/Start Menu")));
    EXPECT_EQ(dev.Files().HostPath(u"\\PROGRAM FILES\\x.exe"), Host("Program Files/x.exe"));

    dev.journal_on = true;
    HANDLE h = Open(kData);
    Write(h, "abc");
    CloseHandle(h);
    ASSERT_EQ(dev.journal.size(), 3u);
    EXPECT_EQ(dev.journal[0].what, "CreateFileW");
    EXPECT_EQ(dev.journal[0].Arg(4), std::to_string(CREATE_ALWAYS));
    EXPECT_EQ(dev.journal[0].result, (int64_t)(intptr_t)h);
    EXPECT_EQ(dev.journal[1].what, "WriteFile");
    EXPECT_EQ(dev.journal[1].Arg(2), "3");
    EXPECT_EQ(dev.journal[2].what, "CloseHandle");
}

// No file operation reaches through a symbolic link, wherever it points (even
// back inside the root), by openat2 and by the O_NOFOLLOW walk alike: the
// device sees ERROR_ACCESS_DENIED, its listeners a host error, and nothing
// outside the root changes.
TEST_F(DeviceFiles, SymbolicLinksAreRefused) {
    struct Case {
        const char* what;
        std::string link;   // made a link, relative to the root
        std::string target; // where it points
        bool folder;        // the link stands for the data file's folder
    } cases[] = {
        {"a file outside", "Program Files/tapwatcherdata.txt", top_ + "/victim.txt", false},
        {"a dangling link", "Program Files/tapwatcherdata.txt", top_ + "/dangling.txt", false},
        {"a linked folder", "Program Files", top_ + "/outside", true},
        {"a link inside to inside", "Program Files/tapwatcherdata.txt", "../other.txt", false},
    };
    for (bool openat2 : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (openat2 ? ", openat2" : ", walk"));
            TearDown();
            SetUp();
            host_errors_.clear();
            Put(top_ + "/victim.txt", "victim");
            Put(Host("other.txt"), "other");
            fs::create_directory(top_ + "/outside");
            fs::remove_all(Host(c.link));
            fs::create_symlink(c.target, Host(c.link));
            device::UseOpenat2(openat2);
            device::Device& dev = Boot();
            for (DWORD disposition : {CREATE_ALWAYS, OPEN_ALWAYS, CREATE_NEW, OPEN_EXISTING})
                EXPECT_EQ(OpenError(kData, disposition), (DWORD)ERROR_ACCESS_DENIED);
            EXPECT_EQ(dev.Files().MakeFolder(u"\\Program Files\\sub"), !c.folder);
            device::UseOpenat2(true);
            ASSERT_FALSE(host_errors_.empty());
            EXPECT_NE(host_errors_[0].find("errno " + std::to_string(ELOOP)), std::string::npos)
                << host_errors_[0];
            EXPECT_EQ(Read(top_ + "/victim.txt"), "victim");
            EXPECT_EQ(Read(Host("other.txt")), "other");
            EXPECT_FALSE(fs::exists(top_ + "/dangling.txt"));
            EXPECT_TRUE(fs::is_empty(top_ + "/outside"));
        }
    }
}

// A save killed half-way leaves the file it was replacing whole.
TEST_F(DeviceFiles, KilledSaveLeavesTheOldFileWhole) {
    const std::string old = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt\r\n1000\t41\tD\t0\t0\t0\r\n";
    Put(data_, old);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        device::Profile p;
        p.root = root_;
        device::Device dev(p);
        HANDLE h = Open(kData);
        const std::string row(4096, 'r');
        for (int i = 0; i < 100000; ++i) { // 400 MB at most
            Write(h, row);
            if (i == 256 && write(ready[1], "x", 1) != 1)
                _exit(2);
        }
        _exit(1);
    }
    close(ready[1]);
    char c;
    EXPECT_EQ(read(ready[0], &c, 1), 1) << "the child never wrote 1 MB";
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(ready[0]);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(Read(data_), old);

    // The next save replaces it as ever.
    Boot();
    HANDLE h = Open(kData);
    EXPECT_TRUE(Write(h, "new\r\n"));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Read(data_), "new\r\n");
}

// Writes the host fails (here: past the process's file-size limit) are told
// once for the handle, with their count, when it closes.
TEST_F(DeviceFiles, HostWriteFailuresAreToldOncePerHandle) {
    device::Device& dev = Boot();
    HANDLE h = Open(kData);
    rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit limit = old_limit;
    limit.rlim_cur = 100;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    int failed = 0;
    for (int i = 0; i < 30; ++i)
        failed += !Write(h, "0123456789");
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(failed, 20);
    EXPECT_EQ(dev.last_error, 31u); // ERROR_GEN_FAILURE
    EXPECT_TRUE(host_errors_.empty()) << "told before the handle closed";
    EXPECT_TRUE(CloseHandle(h));
    ASSERT_EQ(host_errors_.size(), 1u);
    EXPECT_EQ(host_errors_[0], "write " + data_ + " errno " + std::to_string(EFBIG) + " x20");
}

} // namespace
