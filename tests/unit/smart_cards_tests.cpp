// The smart-card stage: forgetting the card types (directly, or on a session-0 worker in a remote
// session), the registrations deleted in both views, the provider, and the runner's every step.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "catalogue/Catalogue.h"
#include "machine/handles.h"
#include "machine/open_objects.h"
#include "registry/Smart_Cards.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::u16string Cards = u"SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards";
const std::u16string Cards32 = u"SOFTWARE\\Wow6432Node\\Microsoft\\Cryptography\\Calais\\SmartCards";
const std::u16string Providers = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
const std::u16string Providers32 = u"SOFTWARE\\Wow6432Node\\Microsoft\\Cryptography\\Defaults\\Provider";
const char Cards_Text[] = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards";
const char Providers_Text[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";

std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const WCHAR* name : Smart_Card_Names) names.push_back(winsim::To_Utf8(name));
    return names;
}

// The registry deletion of one card at the loop's depth; a key line per view that holds the card.
std::string Deletion(const std::string& name, bool native, bool wow32) {
    return Lines({"      Cleaning scard registration in registry...",
                  std::string("         Deleting registry keys in path (KEY_SET_VALUE):  ") + Cards_Text}) +
           (native ? Lines({"            Deleting registry key:  " + name}) : "") +
           Lines({std::string("         Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  ") + Cards_Text}) +
           (wow32 ? Lines({"            Deleting registry key:  " + name}) : "");
}

// The provider's scope, without an exit line, and the stage's closing line one step deeper.
std::string Provider_Tail() {
    return Lines({"   vpRemovalTool.exe!Unregister_Provider",
                  std::string("            Deleting registry keys in path (KEY_SET_VALUE):  ") + Providers_Text,
                  "               Deleting registry key:  Corvanta VESPARIO CSP",
                  std::string("            Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  ") +
                      Providers_Text,
                  "               Deleting registry key:  Corvanta VESPARIO CSP", "         Provider unregistered.",
                  "      Smart cards unregistered."});
}

std::vector<std::string> Calls_Of(const std::string& api) {
    std::vector<std::string> calls;
    for (const std::string& call : The_Machine().calls)
        if (call.rfind(api, 0) == 0) calls.push_back(call);
    return calls;
}

// A handle value that marks a point in the run: handle values only grow, and are never used again.
HANDLE Handle_Mark() { return winsim::Add_Handle(std::make_shared<winsim::Kernel_Object>()); }

// How many of the handles made between two marks are still open.
int Open_Handles_Between(HANDLE first, HANDLE last) {
    int open = 0;
    for (uintptr_t value = uintptr_t(first) + 4; value < uintptr_t(last); value += 4)
        if (winsim::Get_Handle(reinterpret_cast<HANDLE>(value))) ++open;
    return open;
}

// The calls after the first call of the API up to the first CloseHandle.
std::vector<std::string> Traced_After(const std::string& api) {
    const std::vector<std::string>& trace = The_Machine().api_trace;
    auto from = std::find(trace.begin(), trace.end(), api);
    if (from == trace.end()) return {"(no " + api + ")"};
    return std::vector<std::string>(from + 1, std::find(from, trace.end(), std::string("CloseHandle")));
}

bool Main_Thread_Impersonates() {
    HANDLE token = nullptr;
    bool impersonates = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
    if (impersonates) CloseHandle(token);
    return impersonates || GetLastError() != DWORD(ERROR_NO_TOKEN);
}

class Smart_Cards : public Log_Test {
protected:
    // Two of the product's cards in both views, another vendor's card, the provider in both views.
    void SetUp() override {
        Log_Test::SetUp();
        auto& hklm = The_Machine().hklm;
        for (const std::u16string& root : {Cards, Cards32}) {
            Make_Key(hklm, root + u"\\VESPARIO")->Set_Value(u"ATR", REG_BINARY, {0x3b});
            Make_Key(hklm, root + u"\\VESPARIO FKC");
            Make_Key(hklm, root + u"\\Halvorsen SecureKey 3");
        }
        for (const std::u16string& root : {Providers, Providers32}) {
            Make_Key(hklm, root + u"\\Corvanta VESPARIO CSP");
            Make_Key(hklm, root + u"\\Halvorsen SecureKey CSP");
        }
    }
    void TearDown() override {
        Log_Test::TearDown();
        RevertToSelf();
    }
    static bool Card_Present(const std::u16string& root, const std::u16string& name) {
        return Find_Key(The_Machine().hklm, root + u"\\" + name) != nullptr;
    }
    // Other vendors' cards and providers and both views' parents survive every run.
    static void Expect_Others_Kept() {
        EXPECT_TRUE(Card_Present(Cards, u"Halvorsen SecureKey 3"));
        EXPECT_TRUE(Card_Present(Cards32, u"Halvorsen SecureKey 3"));
        EXPECT_TRUE(Card_Present(Providers, u"Halvorsen SecureKey CSP"));
        EXPECT_TRUE(Card_Present(Providers32, u"Halvorsen SecureKey CSP"));
        EXPECT_FALSE(Card_Present(Providers, u"Corvanta VESPARIO CSP"));
        EXPECT_FALSE(Card_Present(Providers32, u"Corvanta VESPARIO CSP"));
    }
};

TEST_F(Smart_Cards, LocalSessionForgetsEachCardThenDeletesItsRegistrations) {
    Unregister_Smart_Cards();
    std::string expected = Lines({"   Unregistering smart cards..."});
    for (const std::string& name : Names()) {
        bool held = name == "VESPARIO" || name == "VESPARIO FKC";
        // The forget deleted the native key already (status 0); an unknown card answers 2.
        expected += Lines({"      Unregistered smart card:  " + name}) + Deletion(name, false, held);
    }
    EXPECT_EQ(Log_Text(), expected + Provider_Tail());
    EXPECT_EQ(Log_Get_Offset(), 3u);
    EXPECT_FALSE(Card_Present(Cards, u"VESPARIO"));
    EXPECT_FALSE(Card_Present(Cards32, u"VESPARIO FKC"));
    Expect_Others_Kept();
    EXPECT_TRUE(Calls_Of("_beginthreadex").empty());
    EXPECT_TRUE(Calls_Of("ImpersonateSelf").empty());
    std::vector<std::string> forgets = Calls_Of("SCardForgetCardTypeW");
    ASSERT_EQ(forgets.size(), 10u);
    EXPECT_EQ(forgets[0], "SCardForgetCardTypeW VESPARIO session=1");
    EXPECT_EQ(Calls_Of("SCardReleaseContext").size(), 10u);
}

TEST_F(Smart_Cards, ServiceStoppedReportsEachCardAndStillDeletesEverything) {
    The_Machine().smart_card_service = false;
    Unregister_Smart_Cards();
    std::string expected = Lines({"   Unregistering smart cards..."});
    for (const std::string& name : Names()) {
        bool held = name == "VESPARIO" || name == "VESPARIO FKC";
        expected += Error_Report("   ", "SCardEstablishContext", 0x8010001DL) + Deletion(name, held, held);
    }
    EXPECT_EQ(Log_Text(), expected + Provider_Tail());
    EXPECT_FALSE(Card_Present(Cards, u"VESPARIO FKC"));
    EXPECT_FALSE(Card_Present(Cards32, u"VESPARIO"));
    Expect_Others_Kept();
    EXPECT_TRUE(Calls_Of("SCardForgetCardTypeW").empty());
    EXPECT_TRUE(Calls_Of("SCardReleaseContext").empty());
}

TEST_F(Smart_Cards, RemoteSessionOnWindowsBeforeVistaOnlyDeletes) {
    The_Machine().remote_session = true;
    The_Machine().os.major = 5;
    The_Machine().os.minor = 2;
    Unregister_Smart_Cards();
    std::string expected = Lines({"   Unregistering smart cards..."});
    for (const std::string& name : Names()) {
        bool held = name == "VESPARIO" || name == "VESPARIO FKC";
        expected += Deletion(name, held, held);
    }
    EXPECT_EQ(Log_Text(), expected + Provider_Tail());
    EXPECT_TRUE(Calls_Of("SCard").empty());
    EXPECT_TRUE(Calls_Of("ImpersonateSelf").empty());
    Expect_Others_Kept();
}

// The default administrator lacks SeTcbPrivilege: the session cannot be changed, no worker starts,
// the impersonation is reverted and every card gets the registry deletion.
TEST_F(Smart_Cards, RemoteSessionAsAdministratorCannotReachSessionZero) {
    The_Machine().remote_session = true;
    The_Machine().process_token = winsim::Make_Administrator_Token(2);
    Unregister_Smart_Cards();
    std::string expected = Lines({"   Unregistering smart cards..."});
    for (const std::string& name : Names()) {
        bool held = name == "VESPARIO" || name == "VESPARIO FKC";
        expected += Error_Report("   ", "SetTokenInformation", 1314) + Deletion(name, held, held);
    }
    EXPECT_EQ(Log_Text(), expected + Provider_Tail());
    EXPECT_TRUE(Calls_Of("_beginthreadex").empty());
    EXPECT_TRUE(Calls_Of("SCard").empty());
    EXPECT_EQ(Calls_Of("RevertToSelf").size(), 10u);
    EXPECT_FALSE(Main_Thread_Impersonates());
    Expect_Others_Kept();
}

// As LocalSystem the worker forgets from session 0, and every card's keys go after its forget, as at
// the console: status 0 (VESPARIO) leaves the 32-bit copy, an error (VESPARIO FKC, the service
// failing) both copies, and 2 (VESPARIO SC, known only to the 32-bit view) its 32-bit copy. The
// worker logs at its own indentation.
TEST_F(Smart_Cards, RemoteSessionAsLocalSystemForgetsOnASessionZeroWorkerThenDeletes) {
    The_Machine().remote_session = true;
    The_Machine().process_token = winsim::Make_Local_System_Token(2);
    The_Machine().Add_Fault("SCardForgetCardTypeW", 1, 0x80100001u, u"VESPARIO FKC");
    Make_Key(The_Machine().hklm, Cards32 + u"\\VESPARIO SC");
    Unregister_Smart_Cards();
    std::string expected = Lines({"   Unregistering smart cards..."});
    for (const std::string& name : Names()) {
        if (name == "VESPARIO FKC")
            expected += Error_Report("", "SCardForgetCardType", 0x80100001L) + Deletion(name, true, true);
        else
            expected += Lines({"   Unregistered smart card:  " + name}) +
                        Deletion(name, false, name == "VESPARIO" || name == "VESPARIO SC");
    }
    EXPECT_EQ(Log_Text(), expected + Provider_Tail());
    for (const std::u16string& root : {Cards, Cards32})
        for (const char16_t* name : {u"VESPARIO", u"VESPARIO FKC", u"VESPARIO SC"})
            EXPECT_FALSE(Card_Present(root, name)) << winsim::To_Utf8(root + u"\\" + name);
    Expect_Others_Kept();
    std::vector<std::string> forgets = Calls_Of("SCardForgetCardTypeW");
    ASSERT_EQ(forgets.size(), 10u);
    for (size_t i = 0; i < forgets.size(); ++i)
        EXPECT_EQ(forgets[i], "SCardForgetCardTypeW " + Names()[i] + " session=0");
    EXPECT_EQ(Calls_Of("_beginthreadex"), std::vector<std::string>(10, "_beginthreadex suspended"));
    EXPECT_EQ(Calls_Of("SetTokenInformation"), std::vector<std::string>(10, "SetTokenInformation TokenSessionId=0"));
    EXPECT_FALSE(Main_Thread_Impersonates());
    EXPECT_TRUE(The_Machine().thread_tokens.empty());
    EXPECT_EQ(The_Machine().process_token->session, 2u);  // only the workers' tokens moved
}

// Waits, a few seconds at most, for a worker that its runner no longer waits for.
template <typename Done>
bool Wait_For_Late_Worker(Done done) {
    for (int tries = 0; tries < 500 && !done(); ++tries) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

// The wait for the first card's worker fails: reported, and the card's keys still go. The worker runs
// on and forgets the card it was started for, not the one the loop has moved on to: every name is
// forgotten exactly once.
TEST_F(Smart_Cards, AFailedWaitLeavesTheLateWorkerItsOwnCard) {
    The_Machine().remote_session = true;
    The_Machine().process_token = winsim::Make_Local_System_Token(2);
    The_Machine().Add_Fault("WaitForSingleObject", 1, ERROR_ACCESS_DENIED, u"thread");
    Unregister_Smart_Cards();
    ASSERT_TRUE(Wait_For_Late_Worker([] { return Calls_Of("SCardForgetCardTypeW").size() == 10; }));
    std::vector<std::string> forgets = Calls_Of("SCardForgetCardTypeW"), expected;
    for (const std::string& name : Names()) expected.push_back("SCardForgetCardTypeW " + name + " session=0");
    std::sort(forgets.begin(), forgets.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(forgets, expected);
    // The late worker's line may fall anywhere among the main thread's: it is taken out first.
    std::string log = Log_Text();
    const std::string late = Lines({"   Unregistered smart card:  VESPARIO"});
    ASSERT_NE(log.find(late), std::string::npos) << log;
    log.erase(log.find(late), late.size());
    EXPECT_NE(log.find(Error_Report("   ", "WaitForSingleObject", ERROR_ACCESS_DENIED) +
                       Lines({"      Cleaning scard registration in registry..."})),
              std::string::npos)
        << log;
    EXPECT_FALSE(Card_Present(Cards32, u"VESPARIO"));
    EXPECT_FALSE(Card_Present(Cards, u"VESPARIO"));
    Expect_Others_Kept();
}

// A worker that cannot be given its session-0 token, or be let go, forgets nothing: its card goes by
// the registry deletion alone, in both views. It ends at once (its token, which the failed resume
// leaves it, goes with it), and every handle of the stage is closed.
TEST_F(Smart_Cards, AWorkerWithoutItsTokenOrNotLetGoForgetsNothingAndEnds) {
    for (const char* api : {"SetThreadToken", "ResumeThread"}) {
        SCOPED_TRACE(api);
        SetUp();
        The_Machine().remote_session = true;
        The_Machine().process_token = winsim::Make_Local_System_Token(2);
        The_Machine().Add_Fault(api, 1, ERROR_ACCESS_DENIED);
        HANDLE first = Handle_Mark();
        Unregister_Smart_Cards();
        EXPECT_TRUE(The_Machine().thread_tokens.empty());
        Backup_Close_File();  // the run's registry backup, which stays open to the run's end
        EXPECT_EQ(Open_Handles_Between(first, Handle_Mark()), 0);
        std::string expected = Lines({"   Unregistering smart cards..."});
        for (const std::string& name : Names()) {
            if (name == "VESPARIO")
                expected += Error_Report("   ", api, ERROR_ACCESS_DENIED) + Deletion(name, true, true);
            else
                expected += Lines({"   Unregistered smart card:  " + name}) +
                            Deletion(name, false, name == "VESPARIO FKC");
        }
        EXPECT_EQ(Log_Text(), expected + Provider_Tail());
        std::vector<std::string> forgets = Calls_Of("SCardForgetCardTypeW");
        EXPECT_EQ(forgets.size(), 9u);
        EXPECT_EQ(std::count(forgets.begin(), forgets.end(), "SCardForgetCardTypeW VESPARIO session=0"), 0);
        Expect_Others_Kept();
    }
}

// A worker that can never be let go (ResumeThread failing for good, the call-off's resume included)
// has run none of its code: it is ended where it stands, waited for, and its start block freed by the
// runner (the leak check of the sanitizer builds sees that block). Nothing of the stage stays open: no
// handle, no thread, no impersonation. When it cannot be ended either, it stays suspended and is
// named as such: the runner does not free a block that a thread may still take.
unsigned __stdcall Never_Run(void* argument) {
    ++*static_cast<int*>(argument);
    return 0;
}

TEST_F(Smart_Cards, AWorkerThatCanNeverBeLetGoIsEndedWhereItStands) {
    for (bool ends : {true, false}) {
        SCOPED_TRACE(ends ? "ended" : "cannot be ended either");
        SetUp();
        The_Machine().remote_session = true;
        The_Machine().process_token = winsim::Make_Local_System_Token(2);
        The_Machine().Add_Fault("ResumeThread", 1, ERROR_ACCESS_DENIED, u"", true);
        if (!ends) The_Machine().Add_Fault("TerminateThread", 1, ERROR_ACCESS_DENIED);
        The_Machine().trace_apis = true;
        HANDLE first = Handle_Mark();
        const std::vector<winsim::Open_Object> before = winsim::Open_Objects();
        int runs = 0;
        Lib_Result result;
        EXPECT_FALSE(Run_In_Session_Zero(Never_Run, &runs, result));
        std::vector<std::string> left;
        for (const winsim::Open_Object& object : winsim::Left_Open(before, 0)) left.push_back(winsim::Describe(object));
        EXPECT_EQ(result.Get_Code(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(Log_Text(), Error_Report("", "ResumeThread", ERROR_ACCESS_DENIED));
        const std::vector<std::string> then =
            ends ? std::vector<std::string>{"ResumeThread", "TerminateThread", "WaitForSingleObject"}
                 : std::vector<std::string>{"ResumeThread", "TerminateThread"};
        EXPECT_EQ(Traced_After("ResumeThread"), then);
        EXPECT_EQ(Open_Handles_Between(first, Handle_Mark()), 0);
        EXPECT_FALSE(Main_Thread_Impersonates());
        if (ends) {
            EXPECT_TRUE(left.empty()) << left.front();
            EXPECT_TRUE(The_Machine().thread_tokens.empty());
        } else {
            ASSERT_EQ(left.size(), 2u) << ::testing::PrintToString(left);
            EXPECT_NE(left[0].find(": created suspended, never resumed"), std::string::npos) << left[0];
            EXPECT_EQ(left[1].rfind("impersonation", 0), 0u) << left[1];
        }
        EXPECT_EQ(runs, 0);
    }
}

unsigned __stdcall Count_Run(void* argument) {
    // A late worker may count while the test reads: the counter is atomic.
    std::atomic<int>* runs = static_cast<std::atomic<int>*>(argument);
    return ++*runs == 1 ? 7u : 0u;
}

// Every step of the runner, failing: one report under its name, the error recorded, false, the
// impersonation reverted and no handle left open. A worker that was made but cannot run as it should
// is let go with its work called off and waited for. Without a remote session the procedure runs on
// the calling thread.
TEST_F(Smart_Cards, RunnerReportsTheFailedStepAndAlwaysReverts) {
    struct Step {
        const char* api;
        const char* name;
        int runs;  // how often the procedure ran
        std::vector<std::string> then;  // the calls after the failed one, up to the first close
    };
    const Step steps[] = {
        {"ImpersonateSelf", "ImpersonateSelf", 0},   {"OpenThreadToken", "OpenThreadToken", 0},
        {"SetTokenInformation", "SetTokenInformation", 0}, {"DuplicateTokenEx", "DuplicateTokenEx", 0},
        {"_beginthreadex", "_beginthreadex", 0},
        {"SetThreadToken", "SetThreadToken", 0, {"ResumeThread", "WaitForSingleObject"}},
        {"ResumeThread", "ResumeThread", 0, {"ResumeThread", "WaitForSingleObject"}},
        {"WaitForSingleObject", "WaitForSingleObject", 1},
        {"GetExitCodeThread", "GetExitCodeThread", 1},
    };
    // A late worker may still run: each case has its own counter.
    static std::atomic<int> runs[std::size(steps)];
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(steps[i].api);
        SetUp();
        The_Machine().remote_session = true;
        The_Machine().process_token = winsim::Make_Local_System_Token(2);
        // The log's lock is waited for too: only the wait for the worker fails.
        The_Machine().Add_Fault(steps[i].api, 1, ERROR_ACCESS_DENIED, steps[i].api == std::string("WaitForSingleObject") ? u"thread" : u"");
        The_Machine().trace_apis = true;
        HANDLE first = Handle_Mark();
        Lib_Result result;
        EXPECT_FALSE(Run_In_Session_Zero(Count_Run, &runs[i], result));
        EXPECT_EQ(Open_Handles_Between(first, Handle_Mark()), 0);
        EXPECT_EQ(result.Get_Code(), 5);
        EXPECT_EQ(Log_Text(), Error_Report("", steps[i].name, 5));
        if (!steps[i].then.empty()) EXPECT_EQ(Traced_After(steps[i].api), steps[i].then);
        // A worker that was started runs to its end, waited for or not.
        Wait_For_Late_Worker([&] { return runs[i] == steps[i].runs; });
        EXPECT_EQ(runs[i], steps[i].runs);
        EXPECT_EQ(Calls_Of("RevertToSelf").size(), 1u);
        EXPECT_FALSE(Main_Thread_Impersonates());
    }

    // A failed revert is reported and kept in the record: the thread goes on with the session-0 token.
    SetUp();
    The_Machine().remote_session = true;
    The_Machine().process_token = winsim::Make_Local_System_Token(2);
    The_Machine().Add_Fault("RevertToSelf", 1, ERROR_ACCESS_DENIED, u"");
    std::atomic<int> reverted = 0;
    Lib_Result revert_result;
    Run_In_Session_Zero(Count_Run, &reverted, revert_result);
    EXPECT_EQ(reverted, 1);
    EXPECT_EQ(revert_result.Get_Code(), 5);
    EXPECT_EQ(Log_Text(), Error_Report("", "RevertToSelf", 5));

    // Success: true for a non-zero exit code (the inverted result), false for 0; the record holds 0.
    SetUp();
    The_Machine().remote_session = true;
    The_Machine().process_token = winsim::Make_Local_System_Token(2);
    std::atomic<int> counter = 0;
    Lib_Result result;
    result.Set(99, 1);
    EXPECT_TRUE(Run_In_Session_Zero(Count_Run, &counter, result));
    EXPECT_EQ(result.Get_Code(), 0);
    EXPECT_FALSE(Run_In_Session_Zero(Count_Run, &counter, result));
    EXPECT_EQ(counter, 2);

    // Local session: the procedure runs here, the record is left alone, and the result is false.
    SetUp();
    counter = 0;
    result.Set(99, 1);
    EXPECT_FALSE(Run_In_Session_Zero(Count_Run, &counter, result));
    EXPECT_EQ(counter, 1);
    EXPECT_EQ(result.Get_Code(), 99);
    EXPECT_TRUE(Calls_Of("ImpersonateSelf").empty());
    EXPECT_EQ(Log_Text(), "");
}

}  // namespace
