// Allocation-failure sweeps over what a sandboxed program does to the registry: every allocation
// of each sequence fails in turn, on a fresh session each time. Every run must end with the
// machine running, the unload check clean and the real registry outside the sandbox unchanged; a
// failure must reach the program as a status, so a run whose every answer matches the clean run's
// must leave the same private copy. Each sequence prints its summary line.
#include "sim/executive/fault_injection.h"
#include "sim/machine/allocation_sweep.h"
#include "tests/support/containment.h"
#include "tests/support/sandbox_session.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

namespace {

using namespace vextest;

const std::u16string kApp = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App";
const std::u16string kUserApp = u"\\REGISTRY\\USER\\" + std::u16string(kUserSid) + u"\\Software\\Vendor\\App";

const std::string kRealRegistry =
    "REGEDIT4\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\r\n\"v\"=dword:00000001\r\n\"s\"=\"text\"\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Sub1]\r\n\"v\"=dword:00000002\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Sub2\\Deeper]\r\n"
    "\r\n[HKEY_USERS\\S-1-5-21-1-2-3-1001\\Software\\Vendor\\App]\r\n\"v\"=dword:00000003\r\n";

// What the program saw: each call's status and the numbers it read.
using Answers = std::vector<ULONG64>;
using Sequence = std::function<void(const Program&, Answers&)>;

void OpenThen(const Program& program, const std::u16string& name, ACCESS_MASK access, Answers& answers,
              const std::function<void(HANDLE)>& use)
{
    HANDLE key = nullptr;
    NTSTATUS status = program.Open(name, access, &key);
    answers.push_back((ULONG)status);
    if (NT_SUCCESS(status)) {
        use(key);
        answers.push_back((ULONG)program.Close(key));
    }
}

const struct {
    const char* name;
    Sequence run;
} kSequences[] = {
    {"open and query", [](const Program& p, Answers& a) {
         OpenThen(p, kApp, KEY_READ, a, [&](HANDLE key) {
             ULONG subkeys, values, data;
             a.push_back((ULONG)p.QueryKey(key, &subkeys, &values));
             a.insert(a.end(), {subkeys, values});
             a.push_back((ULONG)p.QueryValue(key, u"v", &data));
             a.push_back(data);
         });
     }},
    {"create", [](const Program& p, Answers& a) {
         OpenThen(p, kApp, KEY_ALL_ACCESS, a, [&](HANDLE key) {
             HANDLE created = nullptr;
             NTSTATUS status = p.Create(u"New", &created, key);
             a.push_back((ULONG)status);
             if (NT_SUCCESS(status)) {
                 a.push_back((ULONG)p.SetDword(created, u"n", 7));
                 a.push_back((ULONG)p.Close(created));
             }
         });
     }},
    {"first create below a key not yet copied", [](const Program& p, Answers& a) {
         HANDLE created = nullptr;
         NTSTATUS status = p.Create(kApp + u"\\New", &created);
         a.push_back((ULONG)status);
         if (NT_SUCCESS(status)) {
             a.push_back((ULONG)p.Close(created));
         }
         OpenThen(p, kApp, KEY_READ, a, [&](HANDLE key) {
             ULONG subkeys, values;
             NTSTATUS valuesStatus;
             a.push_back((ULONG)p.Enumerate(key, &subkeys, &values, &valuesStatus));
             a.insert(a.end(), {subkeys, values});
         });
     }},
    {"set value", [](const Program& p, Answers& a) {
         OpenThen(p, kApp + u"\\Sub1", KEY_ALL_ACCESS, a, [&](HANDLE key) {
             a.push_back((ULONG)p.SetDword(key, u"v", 9));
             a.push_back((ULONG)p.SetDword(key, u"w", 10));
         });
     }},
    {"enumerate", [](const Program& p, Answers& a) {
         OpenThen(p, kApp, KEY_READ, a, [&](HANDLE key) {
             ULONG subkeys, values;
             NTSTATUS valuesStatus;
             a.push_back((ULONG)p.Enumerate(key, &subkeys, &values, &valuesStatus));
             a.insert(a.end(), {subkeys, values, (ULONG)valuesStatus});
         });
     }},
    {"delete key", [](const Program& p, Answers& a) {
         OpenThen(p, kApp + u"\\Sub1", KEY_ALL_ACCESS, a, [&](HANDLE key) { a.push_back((ULONG)p.DeleteKey(key)); });
         HANDLE again = nullptr;
         a.push_back((ULONG)p.Open(kApp + u"\\Sub1", KEY_READ, &again));
         if (again != nullptr) {
             a.push_back((ULONG)p.Close(again));
         }
     }},
    {"delete value", [](const Program& p, Answers& a) {
         OpenThen(p, kApp, KEY_ALL_ACCESS, a, [&](HANDLE key) {
             ULONG data;
             a.push_back((ULONG)p.DeleteValue(key, u"v"));
             a.push_back((ULONG)p.QueryValue(key, u"v", &data));
         });
     }},
    {"rename", [](const Program& p, Answers& a) {
         OpenThen(p, kApp + u"\\Sub2", KEY_ALL_ACCESS, a, [&](HANDLE key) { a.push_back((ULONG)p.Rename(key, u"Renamed")); });
         OpenThen(p, kApp + u"\\Renamed\\Deeper", KEY_READ, a, [](HANDLE) {});
     }},
    {"user key", [](const Program& p, Answers& a) {
         OpenThen(p, kUserApp, KEY_ALL_ACCESS, a, [&](HANDLE key) {
             ULONG data;
             a.push_back((ULONG)p.QueryValue(key, u"v", &data));
             a.push_back(data);
             a.push_back((ULONG)p.SetDword(key, u"v", 4));
         });
     }},
};

std::string ExportOf(const std::u16string& key)
{
    std::vector<UCHAR> bytes;
    vexsim::RegFileError error;
    if (vexsim::ExportRegistryFile(key, vexsim::RegFileFormat::Regedit4, {}, &bytes, &error) != STATUS_SUCCESS) {
        return "export failed: " + error.message;
    }
    return std::string(bytes.begin(), bytes.end());
}

TEST(AllocationSweepTest, EveryFailurePointOfEachSequenceEndsCleanAndVisible)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const auto& sequence : kSequences) {
        SandboxSession session;
        RealRegistry before;
        Answers answers, cleanAnswers;
        std::string cleanCopy;
        ULONG64 injectedBefore = 0;
        vexsim::AllocationSweepSteps steps;
        steps.prepare = [&] {
            session.Begin(kRealRegistry);
            before = RealRegistryOutsideSandbox();
            answers.clear();
            injectedBefore = vexsim::InjectedFailureCount();
        };
        steps.act = [&] { sequence.run(session.sandboxed, answers); };
        steps.judge = [&](ULONG64 failing) {
            std::vector<std::string> problems;
            RealRegistry after = RealRegistryOutsideSandbox();
            if (!(before == after)) {
                problems.push_back("the real registry changed:\n" + FirstDifference(before, after));
            }
            std::string copy = ExportOf(kRedirectRoot);
            if (failing == 0) {
                cleanAnswers = answers;
                cleanCopy = copy;
            } else if (vexsim::InjectedFailureCount() != injectedBefore && answers == cleanAnswers && copy != cleanCopy) {
                problems.push_back("every answer was the clean run's, yet the private copy differs:\n" + copy);
            }
            for (std::string& problem : session.End()) {
                problems.push_back(std::move(problem));
            }
            return problems;
        };
        vexsim::AllocationSweepResult result = vexsim::SweepAllocationFailures(sequence.name, steps);
        std::printf("%s\n", result.Summary().c_str());
        EXPECT_GT(result.failurePoints, 0u) << sequence.name;
        EXPECT_EQ(0u, result.failedRuns) << result.Summary() << "\n" << [&] {
            std::string all;
            for (const std::string& failure : result.failures) {
                all += failure + "\n";
            }
            return all;
        }();
    }
}

}  // namespace
