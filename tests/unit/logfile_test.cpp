// The data file written at shutdown: its bytes, its place, and how each
// failure to write it is reported.
#include "tests/harness/harness.h"

using namespace testing_support;

namespace {

const std::string kHeader = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt\r\n";

std::vector<std::string> Boxes(const device::Device& d) {
    std::vector<std::string> out;
    for (const device::MessageBoxRecord& m : d.message_boxes)
        out.push_back(device::Narrow(m.caption) + ": " + device::Narrow(m.text));
    return out;
}

void WriteHostFile(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

const char16_t* kSaveExe = u"\\Program Files\\Wtapwatcher.exe";

} // namespace

// An empty log is the 31-byte header alone, and the save succeeds.
TEST(LogFile, EmptyLogIsTheHeader) {
    Tool t([](device::Profile& p) { p.exe = kSaveExe; });
    int result = -1;
    t.script.Check([&](device::Device&) { result = SaveLogFile(); }); // at 0 ms, before the sweep
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(kHeader.size(), 31u);
    EXPECT_EQ(ReadFile(t.Host("\\Program Files\\tapwatcherdata.txt")), kHeader);
    EXPECT_TRUE(t.dev->message_boxes.empty());
}

// Each kind of row, byte for byte, with ticks past 2^31 printed signed; an
// older, longer file is replaced whole; saving changes nothing on screen.
TEST(LogFile, RowsByteForByte) {
    Tool t([](device::Profile& p) {
        p.exe = kSaveExe;
        p.start_tick = 0x80000000u - 1;
        p.taken = {{0x72, MOD_CONTROL | MOD_ALT}};
    });
    const std::string path = t.Host("\\Program Files\\tapwatcherdata.txt");
    WriteHostFile(path, std::string(10000, 'x'));
    std::vector<Row> before, after;
    int result = -1;
    t.script.Wait(100).Type({kCtrl, kA}).Wait(3000).Check([&](device::Device& d) {
        before = Rows(d);
        result = SaveLogFile();
        after = Rows(d);
    });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(before, after);
    const std::string want = kHeader + "-2147483648\t72\tF\t\tC\tA\r\n" +
                             "-2147483549\t11\tD\t\tC\t\r\n" + "-2147483549\t41\tD\t\tC\t\r\n" +
                             "-2147483549\t41\tU\t\tC\t\r\n" + "-2147483549\t11\tU\t\tC\t\r\n" +
                             "-2147480549\t\t\t\t\t\r\n";
    EXPECT_EQ(ReadFile(path), want);
}

// Where the file goes: beside the executable, in the root folder, and in the
// root folder for a path with no backslash at all.
TEST(LogFile, PlaceOfTheDataFile) {
    struct Case {
        const char16_t* exe;
        const char* file;
    } cases[] = {
        {u"\\Program Files\\Wtapwatcher.exe", "\\Program Files\\tapwatcherdata.txt"},
        {u"\\Wtapwatcher.exe", "\\tapwatcherdata.txt"},
        {u"\\Program Files\\Tools\\WtapwatcherL.exe", "\\Program Files\\Tools\\tapwatcherdata.txt"},
        {u"Wtapwatcher.exe", "\\tapwatcherdata.txt"}};
    for (const Case& c : cases) {
        Tool t([&](device::Profile& p) { p.exe = c.exe; });
        t.script.Wait(10);
        ASSERT_EQ(t.Run(), 0);
        EXPECT_EQ(ReadFile(t.Host(c.file)), kHeader) << device::Narrow(c.exe);
        EXPECT_TRUE(t.dev->message_boxes.empty()) << device::Narrow(c.exe);
    }
}

// "Exit" saves after the last hot key is released and before the list view
// goes; names that differ only in case save nothing.
TEST(LogFile, SavedAtShutdownInOrder) {
    for (const char16_t* exe :
         {u"\\Program Files\\Wtapwatcher.exe", u"\\Program Files\\WtapwatcherL.exe"}) {
        Tool t([&](device::Profile& p) { p.exe = exe; });
        HWND list = nullptr;
        t.script.Wait(10).Press(kA).Release(kA).Check(
            [&](device::Device& d) { list = ToolList(d)->handle; });
        t.script.Button(u"Exit");
        ASSERT_EQ(t.Run(), 0);
        size_t last_release = 0, create = 0, close = 0, list_gone = 0;
        for (size_t i = 0; i < t.dev->journal.size(); ++i) {
            const device::JournalEntry& e = t.dev->journal[i];
            if (e.what == "UnregisterHotKey" && e.Arg(1) == "2047")
                last_release = i;
            if (e.what == "CreateFileW")
                create = i;
            if (e.what == "CloseHandle")
                close = i;
            if (e.what == "DestroyWindow" && e.hwnd == list)
                list_gone = i;
        }
        EXPECT_LT(last_release, create);
        EXPECT_LT(create, close);
        EXPECT_LT(close, list_gone);
        std::string file = ReadFile(t.Host("\\Program Files\\tapwatcherdata.txt"));
        EXPECT_NE(file.find("\t41\tU\t\t\t\r\n"), std::string::npos) << file;
        EXPECT_EQ(Calls(*t.dev, "WriteFile").size(), 1u + 2u) << "one write per line";
    }
    for (const char16_t* exe :
         {u"\\Program Files\\wtapwatcher.exe", u"\\Program Files\\Wtapwatcher.EXE",
          u"\\Program Files\\tapwatcherL.exe"}) {
        Tool t([&](device::Profile& p) { p.exe = exe; });
        t.script.Wait(10).Button(u"Exit");
        ASSERT_EQ(t.Run(), 0);
        EXPECT_TRUE(Calls(*t.dev, "CreateFileW").empty()) << device::Narrow(exe);
    }
}

// A failed header write does not stop the rows; one message, result 0.
TEST(LogFile, HeaderWriteFails) {
    Tool t([](device::Profile& p) { p.exe = kSaveExe; });
    t.dev->faults.fail_write = [](int nth) { return nth == 1; };
    int result = -1;
    size_t mark = 0, end = 0;
    t.script.Wait(10).Press(kA).Release(kA).Check([&](device::Device& d) {
        mark = d.journal.size();
        result = SaveLogFile();
        end = d.journal.size();
    });
    t.script.Check([&](device::Device& d) { d.faults.fail_write = nullptr; });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(result, 0);
    // The shutdown's own save (fault cleared) rewrote the file; the first
    // save's message is the one to check.
    ASSERT_GE(t.dev->message_boxes.size(), 1u);
    EXPECT_EQ(Boxes(*t.dev)[0], "error: Save file error.(112)");
    EXPECT_EQ(t.dev->message_boxes[0].owner, MainFromJournal(*t.dev));
    EXPECT_EQ(t.dev->message_boxes.size(), 1u);
    std::vector<int64_t> results;
    for (const device::JournalEntry& w : Filter(*t.dev, {"WriteFile"}, mark, end))
        results.push_back(w.result);
    EXPECT_EQ(results, (std::vector<int64_t>{FALSE, TRUE, TRUE})) << "header, then two rows";
}

// A full disk: every write that does not fit fails, the message shows once.
TEST(LogFile, DiskFullShowsOneMessage) {
    Tool t([](device::Profile& p) {
        p.exe = kSaveExe;
        p.disk_free = 40; // the header fits, the rows do not
    });
    t.script.Wait(10).Press(kA).Release(kA).Press(0x42).Release(0x42);
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(Boxes(*t.dev), std::vector<std::string>{"error: Save file error.(112)"});
    EXPECT_EQ(ReadFile(t.Host("\\Program Files\\tapwatcherdata.txt")), kHeader);
}

// A read-only data file is left as it was; the message carries code 5.
TEST(LogFile, ReadOnlyDataFile) {
    Tool t([](device::Profile& p) {
        p.exe = kSaveExe;
        p.read_only = {u"\\Program Files\\tapwatcherdata.txt"};
    });
    const std::string path = t.Host("\\Program Files\\tapwatcherdata.txt");
    WriteHostFile(path, "old bytes\r\n");
    int result = -1;
    t.script.Wait(10).Check([&](device::Device&) { result = SaveLogFile(); });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Boxes(*t.dev), (std::vector<std::string>{"error: Can't open file.(5)",
                                                       "error: Can't open file.(5)"}));
    EXPECT_EQ(ReadFile(path), "old bytes\r\n");
}

// A directory too long for the data-file path is refused before anything is
// formatted past its buffer or written; no module name is reported too.
TEST(LogFile, LongDirectoryAndNoModuleName) {
    // The directory keeps its trailing backslash: 1 + 240 + 1 + 18 = 260 units
    // with no room for the terminator; one unit less fits.
    std::u16string dir = u"\\" + std::u16string(240, u'd');
    Tool t([&](device::Profile& p) { p.exe = dir + u"\\Wtapwatcher.exe"; });
    int result = -1;
    t.script.Wait(10).Check([&](device::Device&) { result = SaveLogFile(); });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Boxes(*t.dev), (std::vector<std::string>{"error: Can't open file.(206)",
                                                       "error: Can't open file.(206)"}));
    EXPECT_TRUE(Calls(*t.dev, "CreateFileW").empty());

    std::u16string fits = u"\\" + std::u16string(239, u'd');
    Tool ok([&](device::Profile& p) { p.exe = fits + u"\\Wtapwatcher.exe"; });
    ok.script.Wait(10);
    ASSERT_EQ(ok.Run(), 0);
    EXPECT_TRUE(ok.dev->message_boxes.empty());
    EXPECT_EQ(ReadFile(ok.Host(device::Narrow(fits) + "\\tapwatcherdata.txt")), kHeader);

    Tool none([](device::Profile& p) { p.exe = kSaveExe; });
    none.dev->faults.no_module_name = true;
    result = -1;
    none.script.Wait(10).Check([&](device::Device&) { result = SaveLogFile(); });
    ASSERT_EQ(none.Run(), 0);
    EXPECT_EQ(result, 0);
    // The shutdown skips the save without a name; only the direct call speaks.
    EXPECT_EQ(Boxes(*none.dev), std::vector<std::string>{"error: Can't open file.(6)"});
}
