// Which processes user mode hears of, the bytes of their messages and listings, and what a
// process that hides or poisons its own memory gets.
#include "tests/notify/notify_fixture.h"

#include "tools/processmsg/process_message_decoder.h"

#include <algorithm>
#include <functional>

namespace {

using vextest::Bytes;
using vextest::MessageBytes;

constexpr ULONG kCui64 = PROCESS_FLAG_CUI | PROCESS_FLAG_64BIT;

class ClassificationTest : public vextest::NotifyTest {
protected:
    static Bytes CuiListing()
    {
        Bytes buffer(16 * 1024);
        EXPECT_EQ(STATUS_SUCCESS, GetCuiPidList(buffer.data(), (ULONG)buffer.size()));
        buffer.resize(vextools::ListingTotalLength(buffer.data(), buffer.size()));
        return buffer;
    }

    static bool Listed(const Bytes& listing, ULONG processId)
    {
        for (const vextools::ProcessMessage& message : vextools::DecodeProcessListing(listing.data(), listing.size())) {
            if (message.processId == processId) {
                return true;
            }
        }
        return false;
    }

    static Bytes Listing(const std::vector<Bytes>& messages)
    {
        Bytes listing(PROCESS_LISTING_HEADER_SIZE);
        for (const Bytes& message : messages) {
            listing.insert(listing.end(), message.begin(), message.end());
        }
        ULONG total = (ULONG)listing.size();
        std::memcpy(listing.data(), &total, sizeof(total));
        return listing;
    }
};

TEST_F(ClassificationTest, StartAndExitMessagesOfQualifyingProcessesAreByteExact)
{
    const std::u16string hostLine = u"C:\\Windows\\System32\\dllhost.exe /Processid:{3AD05575-8857-4850-9277-11B85BDB8E09}";
    struct Row {
        const char* what;
        const char16_t* image;
        ULONG session;
        bool loads;   // loads its base library (twice): one start message
        ULONG flags;  // 0: not reported at all
    };
    const Row rows[] = {
        {"64-bit console program", vextest::kCmd, 1, true, kCui64},
        {"windowed program", vextest::kNotepad, 1, true, 0},
        {"console program in session 0", vextest::kCmd, 0, true, 0},
        {"the product's own program, in any case", u"C:\\TOOLS\\keeper.EXE", 1, true, 0},
        {"32-bit console program", vextest::kCmd32, 1, true, PROCESS_FLAG_CUI},
        {"surrogate host, with its command line", vextest::kDllHost, 1, true, PROCESS_FLAG_SURROGATE | PROCESS_FLAG_64BIT},
        {"console program ending before its base library loads", vextest::kCmd, 1, false, kCui64},
    };
    DeclareSurrogates(u"dllhost.exe");
    Client client = Connect();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PEPROCESS process = Start(row.image, false, row.session, hostLine);
        OnImageLoaded(nullptr, (HANDLE)process->id, nullptr);  // an image without a name starts nothing
        if (row.loads) {
            ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadSystemLibraries(process));
        }
        std::u16string sentLine = (row.flags & PROCESS_FLAG_SURROGATE) != 0 ? hostLine : u"";
        if (row.flags == 0) {
            EXPECT_TRUE(Records().empty());
        } else if (row.loads) {
            EXPECT_EQ(MessageBytes(Pid(process), 1, row.flags, sentLine), Receive(client));
            ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadSystemLibraries(process));
        }
        ULONG pid = Pid(process);
        vexsim::EndProcess(process);
        if (row.flags != 0) {
            EXPECT_EQ(MessageBytes(pid, 0, row.flags, sentLine), Receive(client));
        }
        EXPECT_TRUE(Records().empty());
    }
}

// Every address in another process's memory is that process's choice: unmapped ones, ones in
// system space and NT headers outside the image are never followed.
TEST_F(ClassificationTest, UnreadableOrHostileProcessMemoryIsSkippedWithAnExceptionRecord)
{
    constexpr ULONG_PTR kUnmapped = 0x0000000012340000ULL;
    constexpr ULONG_PTR kSystemSpace = 0xFFFFF80000100000ULL;  // readable there, as kernel memory is
    auto parametersOf = [](PEPROCESS process) {
        ULONG_PTR parameters = 0;
        EXPECT_TRUE(vexsim::ReadProcessMemory(process, process->peb + vexsim::kPebProcessParameters, &parameters, 8));
        return parameters;
    };
    auto write = [](PEPROCESS process, ULONG_PTR at, ULONG_PTR value) {
        ASSERT_TRUE(vexsim::WriteProcessMemory(process, at, &value, sizeof(value)));
    };
    // A faithful copy of the process parameters in system space, command line and all.
    auto moveParameters = [&](PEPROCESS process) {
        Bytes page(0x1000);
        ASSERT_TRUE(vexsim::ReadProcessMemory(process, parametersOf(process), page.data(), page.size()));
        vexsim::MapProcessMemory(process, kSystemSpace, page);
        write(process, process->peb + vexsim::kPebProcessParameters, kSystemSpace);
    };
    struct Row {
        const char* what;
        const char16_t* image;
        std::function<void(PEPROCESS)> poison;
        std::vector<std::string> records;  // "{pid}" stands for the process id
        bool started;                      // its start message went out
    };
    const std::string listingFault = "IRP = DEV_CTRL IOCTL = GET_CUI pid = {pid} code = 0xc0000005 ImageName = cmd.exe";
    const Row rows[] = {
        {"image headers unmapped before the base library loads", vextest::kCmd,
         [](PEPROCESS p) { vexsim::SetProcessMemoryReadable(p, p->imageBase, false); },
         {"PROC = CREATED func = NOTIFY pid = {pid} code = 0xc0000005 ImageName = cmd.exe", listingFault}, false},
        {"process parameters at an unmapped address", vextest::kCmd,
         [&](PEPROCESS p) { write(p, p->peb + vexsim::kPebProcessParameters, kUnmapped); }, {listingFault}, true},
        {"process parameters in system space", vextest::kCmd, moveParameters, {listingFault}, true},
        {"command line in system space", vextest::kCmd,
         [&](PEPROCESS p) {
             vexsim::MapProcessMemory(p, kSystemSpace, Bytes(0x1000, 0x41));
             write(p, parametersOf(p) + vexsim::kParametersCommandLine + 8, kSystemSpace);
         },
         {listingFault}, true},
        {"NT headers of a console image placed before a windowed one", vextest::kNotepad,
         [&](PEPROCESS p) {
             vexsim::MapProcessMemory(p, p->imageBase - 0x1000, vexsim::ImageHeaders(3, false));
             LONG before = -0x1000 + 0x80;
             ASSERT_TRUE(vexsim::WriteProcessMemory(p, p->imageBase + vexsim::kDosLfanew, &before, sizeof(before)));
         },
         {}, false},
    };
    ArmLog(0x10);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vexsim::ClearDebugOutput();
        PEPROCESS process = Start(row.image, false);
        row.poison(process);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadSystemLibraries(process));
        EXPECT_FALSE(Listed(CuiListing(), Pid(process)));
        std::vector<std::string> expected = row.records;
        for (std::string& record : expected) {
            record.replace(record.find("{pid}"), 5, std::to_string(Pid(process)));
        }
        EXPECT_EQ(expected, LogMessages());
        bool faulted = !row.records.empty() && row.records[0].rfind("PROC = CREATED", 0) == 0;
        EXPECT_EQ(faulted, vextest::HasDebugLine("EXCEPTION(LI) : pid = " + std::to_string(Pid(process)) +
                                                 " code = 0xc0000005 ImageName = cmd.exe"));
        std::vector<Bytes> records = Records();
        EXPECT_EQ(row.started, !records.empty() && vextools::DecodeProcessMessage(records[0].data(), records[0].size()).started);
        vexsim::EndProcess(process);
    }
}

TEST_F(ClassificationTest, ListingsHoldTheQualifyingProcessesAndTellTheSizeNeeded)
{
    PEPROCESS console = Start(vextest::kCmd);
    Start(vextest::kNotepad);
    Start(vextest::kCmd, true, 0);
    Start(vextest::kKeeper);
    PEPROCESS host = Start(vextest::kDllHost, true, 1, u"dllhost.exe -Embedding");

    Bytes expected = Listing({MessageBytes(Pid(console), 1, kCui64)});
    EXPECT_EQ(expected, CuiListing());
    Bytes tooSmall(expected.size() - 1);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, GetCuiPidList(tooSmall.data(), (ULONG)tooSmall.size()));
    EXPECT_EQ(expected.size(), vextools::ListingTotalLength(tooSmall.data(), tooSmall.size()));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, GetCuiPidList(tooSmall.data(), 3));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, GetCuiPidList(nullptr, 4096));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, GetSurrogatePidList(nullptr, 0, nullptr, 4096));

    const std::u16string names = u"other.exe*DLLHOST.EXE";
    Bytes output(4096);
    ASSERT_EQ(STATUS_SUCCESS, GetSurrogatePidList((PVOID)names.c_str(), (ULONG)(names.size() + 1) * 2, output.data(), 4096));
    output.resize(vextools::ListingTotalLength(output.data(), output.size()));
    EXPECT_EQ(Listing({MessageBytes(Pid(host), 1, PROCESS_FLAG_SURROGATE | PROCESS_FLAG_64BIT, u"dllhost.exe -Embedding")}), output);
}

TEST_F(ClassificationTest, SurrogateNamesAreWholeCharactersSeparatedByStarsAndEndedByNul)
{
    auto bytesOf = [](const std::u16string& text) {
        return Bytes((const unsigned char*)text.data(), (const unsigned char*)(text.data() + text.size()));
    };
    const Bytes nul{0, 0};
    auto join = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Row {
        const char* what;
        Bytes input;
        NTSTATUS status;
        ULONG count;                        // names cached, the empty one included
        std::vector<std::u16string> names;  // found by IsSurrogateProc
    };
    const Row rows[] = {
        {"two names and a NUL", join(bytesOf(u"a.exe*b.exe"), nul), STATUS_SUCCESS, 2, {u"a.exe", u"b.exe"}},
        {"no NUL: the unfinished name is dropped", bytesOf(u"a.exe*b.exe"), STATUS_SUCCESS, 1, {u"a.exe"}},
        {"an odd length: the half character is never read", join(bytesOf(u"a.exe*b"), Bytes{'x'}), STATUS_SUCCESS, 1, {u"a.exe"}},
        {"an empty name between two stars", join(bytesOf(u"**a.exe"), nul), STATUS_SUCCESS, 2, {u"a.exe"}},
        {"the longest name a counted string holds", join(bytesOf(std::u16string(32767, u'x')), nul), STATUS_SUCCESS, 1, {}},
        {"a name one character longer", join(bytesOf(u"a.exe*" + std::u16string(32768, u'x')), nul), STATUS_NAME_TOO_LONG, 1,
         {u"a.exe"}},
        {"nothing before the NUL", nul, STATUS_SUCCESS, 0, {}},
    };
    ArmLog(0x40);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes input = row.input;  // exactly the input's bytes, so a read past them is caught
        EXPECT_EQ(row.status, UpdateSurrogateCache((PCWSTR)input.data(), (ULONG)input.size()));
        ULONG count = 99;
        ASSERT_EQ(STATUS_SUCCESS, CTGetElementCount(&g_NotifyChannel.SurrogateCache, &count));
        EXPECT_EQ(row.count, count);
        for (const std::u16string& name : row.names) {
            BOOLEAN surrogate = FALSE;
            vextest::Wide path(u"C:\\Any\\" + name);
            EXPECT_EQ(STATUS_SUCCESS, IsSurrogateProc(path.get(), &surrogate));
            EXPECT_TRUE(surrogate) << vextest::Utf8(name);
        }
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, UpdateSurrogateCache(nullptr, 4));
    std::vector<std::string> records = LogMessages();
    EXPECT_EQ(1, std::count(records.begin(), records.end(),
                            "IRP = DEV_CTRL IOCTL = GET_SURROGATE status = 0xC0000106L path = "));
}

TEST_F(ClassificationTest, AProcessIdUsedAgainAfterAMissedExitHasOnlyItsOwnRecord)
{
    struct Row {
        const char16_t* image;
        ULONG flags;  // of the second process's own record; 0: it has none
    };
    const Row rows[] = {
        {vextest::kCmd32, PROCESS_FLAG_CUI},
        {vextest::kNotepad, 0},  // not recorded itself: the earlier record must go all the same
    };
    for (const Row& row : rows) {
        PEPROCESS first = Start(vextest::kCmd, false);
        ULONG_PTR id = first->id;
        ASSERT_EQ(STATUS_SUCCESS, UnregisterProcessNotify());
        vexsim::EndProcess(first);
        ASSERT_EQ(STATUS_SUCCESS, RegisterProcessNotify());
        vexsim::StartParams params;
        params.imagePath = row.image;
        params.id = id;
        PEPROCESS second = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::StartProcess(params, &second));
        std::vector<Bytes> expected;
        if (row.flags != 0) {
            expected.push_back(MessageBytes((ULONG)id, 0, row.flags));
        }
        EXPECT_EQ(expected, Records()) << vextest::Utf8(row.image);
        vexsim::EndProcess(second);
    }
}

// Whichever allocation fails, a process has its own record, whole, or none.
TEST_F(ClassificationTest, RecordingAndAnnouncingAProcessSurviveEveryAllocationFailure)
{
    const std::u16string hostLine = u"dllhost.exe /Processid:{3AD05575-8857-4850-9277-11B85BDB8E09}";
    DeclareSurrogates(u"dllhost.exe");
    struct Row {
        const char16_t* image;
        ULONG flags;
        std::u16string commandLine;  // in the record
    } rows[] = {
        {vextest::kCmd, kCui64, u""},
        {vextest::kDllHost, PROCESS_FLAG_SURROGATE | PROCESS_FLAG_64BIT, hostLine},
    };
    for (const Row& row : rows) {
        ULONG pid = 0;
        vextest::ForEachAllocationFailure(
            [&] {
                PEPROCESS process = Start(row.image, false, 1, hostLine);
                pid = Pid(process);
                std::vector<Bytes> recorded = Records();
                vexsim::EndProcess(process);
                vexsim::WaitForWorkQueueIdle();
                return recorded;
            },
            [&](const std::vector<Bytes>& recorded, int failing) {
                if (!recorded.empty()) {
                    EXPECT_EQ(std::vector<Bytes>{MessageBytes(pid, 0, row.flags, row.commandLine)}, recorded) << failing;
                }
                EXPECT_TRUE(Records().empty()) << failing;
                EXPECT_EQ(0u, vexsim::LivePoolAllocationCount(VEXH_TAG)) << failing;
            });
    }
}

// The base library is told by the end of the loaded image's name, in any letter case.
TEST_F(ClassificationTest, TheBaseLibraryIsToldByTheEndOfTheImageName)
{
    struct Row {
        const char16_t* name;
        bool starts;
    } rows[] = {
        {u"\\Device\\HarddiskVolume3\\Windows\\System32\\KernelBase.dll", true},
        {u"\\Windows\\System32\\KernelBase.dll", true},  // the end alone
        {u"\\WINDOWS\\syswow64\\kernelbase.DLL", true},
        {u"Windows\\System32\\KernelBase.dll", false},  // one character short of the end
        {u"\\Windows\\System32\\KernelBase.dll.mui", false},
        {u"\\Windows\\System\\KernelBase.dll", false},
    };
    for (const Row& row : rows) {
        PEPROCESS process = Start(vextest::kCmd, false);
        vextest::Wide name(row.name);
        OnImageLoaded(name.get(), (HANDLE)process->id, nullptr);
        std::vector<Bytes> records = Records();
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ(row.starts, vextools::DecodeProcessMessage(records[0].data(), records[0].size()).started)
            << vextest::Utf8(row.name);
        vexsim::EndProcess(process);
    }
}

}  // namespace
