// The simulated kernel objects: last error, thread ids, handles, mutexes and threads.

#include <gtest/gtest.h>
#include <aclapi.h>
#include <process.h>
#include <windows.h>
#include <winscard.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "machine/handles.h"
#include "machine/machine.h"
#include "machine/open_objects.h"

namespace {

class Winsim_Sync : public ::testing::Test {
protected:
    void SetUp() override {
        winsim::The_Machine().Reset();
        SetLastError(0);
    }
};

// Runs a call on a fresh host thread and hands back its result.
template <typename F>
auto On_Other_Thread(F call) -> decltype(call()) {
    decltype(call()) result{};
    std::thread worker([&] { result = call(); });
    worker.join();
    return result;
}

TEST_F(Winsim_Sync, Last_Error_Belongs_To_The_Thread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen_there = On_Other_Thread([] {
        DWORD initial = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
        return initial;
    });
    EXPECT_EQ(seen_there, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Winsim_Sync, Thread_Ids_Are_Stable_And_Distinct) {
    EXPECT_EQ(GetCurrentThreadId(), 4u);
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
    std::vector<DWORD> ids =
        On_Other_Thread([] { return std::vector<DWORD>{GetCurrentThreadId(), GetCurrentThreadId()}; });
    EXPECT_EQ(ids[0], ids[1]);
    EXPECT_NE(ids[0], 4u);
    EXPECT_EQ(ids[0] % 4, 0u);
    DWORD another = On_Other_Thread([] { return GetCurrentThreadId(); });
    EXPECT_NE(another, ids[0]);
}

TEST_F(Winsim_Sync, Close_Handle_Of_Unknown_Handle_Fails_With_6) {
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(CloseHandle(mutex));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // Pseudo-handles keep Windows' values; closing one has no effect and succeeds.
    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)));
    EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)));
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    // A plain kernel object cannot be waited for.
    HANDLE plain = winsim::Add_Handle(std::make_shared<winsim::Kernel_Object>());
    EXPECT_EQ(WaitForSingleObject(plain, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(plain));
}

TEST_F(Winsim_Sync, Unnamed_Mutex_Is_Recursive_For_Its_Owner) {
    SetLastError(ERROR_GEN_FAILURE);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    // Still held once: another thread cannot take it.
    EXPECT_EQ(On_Other_Thread([mutex] { return WaitForSingleObject(mutex, 0); }), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(Winsim_Sync, Release_From_Another_Thread_Fails_With_Not_Owner) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(mutex, nullptr);
    std::vector<DWORD> there = On_Other_Thread([mutex] {
        BOOL released = ReleaseMutex(mutex);
        return std::vector<DWORD>{static_cast<DWORD>(released), GetLastError()};
    });
    EXPECT_EQ(there[0], static_cast<DWORD>(FALSE));
    EXPECT_EQ(there[1], static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(Winsim_Sync, Wait_Blocks_Until_The_Owner_Releases) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(mutex, nullptr);
    std::atomic<bool> acquired{false};
    std::atomic<bool> released{false};
    DWORD result = WAIT_FAILED;
    bool released_before_acquiring = false;
    std::thread waiter([&] {
        result = WaitForSingleObject(mutex, INFINITE);
        released_before_acquiring = released.load();
        acquired = true;
        ReleaseMutex(mutex);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(acquired.load());
    released = true;
    EXPECT_TRUE(ReleaseMutex(mutex));
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    EXPECT_TRUE(released_before_acquiring);
    EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(Winsim_Sync, Wait_Times_Out_In_Real_Time) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(mutex, nullptr);
    auto elapsed_ms = On_Other_Thread([mutex] {
        auto start = std::chrono::steady_clock::now();
        DWORD result = WaitForSingleObject(mutex, 60);
        auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        return result == WAIT_TIMEOUT ? took.count() : -1;
    });
    EXPECT_GE(elapsed_ms, 60);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(Winsim_Sync, Named_Mutex_Opens_The_Existing_One) {
    HANDLE first = CreateMutexW(nullptr, TRUE, TEXT("vp-sync-named"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    // The second creator asks for ownership but gets the existing mutex, still owned by the first.
    std::vector<DWORD> there = On_Other_Thread([] {
        HANDLE second = CreateMutexW(nullptr, TRUE, TEXT("vp-sync-named"));
        DWORD created = GetLastError();
        DWORD wait = WaitForSingleObject(second, 0);
        CloseHandle(second);
        return std::vector<DWORD>{created, wait};
    });
    EXPECT_EQ(there[0], static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(there[1], WAIT_TIMEOUT);
    // Names are case-sensitive.
    HANDLE other_case = CreateMutexW(nullptr, FALSE, TEXT("VP-SYNC-NAMED"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(other_case));
    // Once every handle is closed the name is free again.
    HANDLE again = CreateMutexW(nullptr, FALSE, TEXT("vp-sync-named"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(CloseHandle(again));
}

TEST_F(Winsim_Sync, Injected_Faults_Fail_The_Calls) {
    winsim::Machine& machine = winsim::The_Machine();
    machine.Add_Fault("CreateMutexW", 1, ERROR_ACCESS_DENIED, u"locked");
    EXPECT_NE(CreateMutexW(nullptr, FALSE, TEXT("free")), nullptr);
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, TEXT("the-locked-one")), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    machine.Add_Fault("WaitForSingleObject", 1, ERROR_GEN_FAILURE);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    machine.Add_Fault("ReleaseMutex", 1, ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(ReleaseMutex(mutex));
    machine.Add_Fault("CloseHandle", 1, ERROR_BUSY);
    EXPECT_FALSE(CloseHandle(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_TRUE(CloseHandle(mutex));
}

unsigned Record_Thread_Id(void* argument) {
    auto* seen = static_cast<std::atomic<DWORD>*>(argument);
    seen->store(GetCurrentThreadId());
    return 0x1234;
}

TEST_F(Winsim_Sync, Suspended_Thread_Runs_After_Resume_And_Reports_Its_Exit_Code) {
    std::atomic<DWORD> seen{0};
    unsigned thread_id = 0;
    uintptr_t started = _beginthreadex(nullptr, 0, Record_Thread_Id, &seen, CREATE_SUSPENDED, &thread_id);
    ASSERT_NE(started, 0u);
    HANDLE thread = reinterpret_cast<HANDLE>(started);
    EXPECT_NE(thread_id, 0u);
    EXPECT_NE(thread_id, GetCurrentThreadId());
    EXPECT_EQ(WaitForSingleObject(thread, 30), WAIT_TIMEOUT);
    EXPECT_EQ(seen.load(), 0u);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(seen.load(), thread_id);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0x1234u);
    EXPECT_EQ(ResumeThread(thread), 0u);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(ResumeThread(thread), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// A thread that never ran is ended where it stands: its routine never runs, not even when it is
// resumed afterwards, its handle is signalled with the given exit code, and it is no longer noted
// open. A thread that runs or has ended cannot be ended by the simulated machine: refused.
TEST_F(Winsim_Sync, Terminate_Thread_Ends_A_Thread_That_Never_Ran) {
    std::atomic<DWORD> seen{0};
    const std::vector<winsim::Open_Object> before = winsim::Open_Objects();
    HANDLE thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Record_Thread_Id, &seen, CREATE_SUSPENDED, nullptr));
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(TerminateThread(thread, 1223));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 1223u);
    EXPECT_EQ(ResumeThread(thread), 0u);
    EXPECT_FALSE(TerminateThread(thread, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_TRUE(winsim::Left_Open(before, 0).empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(seen.load(), 0u);

    thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Record_Thread_Id, &seen, 0, nullptr));
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_FALSE(TerminateThread(thread, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0x1234u);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(TerminateThread(thread, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    winsim::The_Machine().Add_Fault("TerminateThread", 1, ERROR_ACCESS_DENIED);
    thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Record_Thread_Id, &seen, CREATE_SUSPENDED, nullptr));
    EXPECT_FALSE(TerminateThread(thread, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST_F(Winsim_Sync, Thread_Calls_On_Bad_Handles) {
    DWORD code = 7;
    EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(code, 7u);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    EXPECT_EQ(ResumeThread(mutex), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(GetExitCodeThread(mutex, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_EQ(_beginthreadex(nullptr, 0, nullptr, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Winsim_Sync, Thread_Faults) {
    winsim::Machine& machine = winsim::The_Machine();
    std::atomic<DWORD> seen{0};
    machine.Add_Fault("_beginthreadex", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(_beginthreadex(nullptr, 0, Record_Thread_Id, &seen, CREATE_SUSPENDED, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HANDLE thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Record_Thread_Id, &seen, CREATE_SUSPENDED, nullptr));
    ASSERT_NE(thread, nullptr);
    machine.Add_Fault("ResumeThread", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(ResumeThread(thread), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    machine.Add_Fault("GetExitCodeThread", 1, ERROR_ACCESS_DENIED);
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0x1234u);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST_F(Winsim_Sync, Interlocked_Counts_Exactly_Across_Threads) {
    LONG volatile counter = 0;
    EXPECT_EQ(InterlockedIncrement(&counter), 1);
    EXPECT_EQ(InterlockedDecrement(&counter), 0);
    EXPECT_EQ(InterlockedDecrement(&counter), -1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&counter] {
            for (int i = 0; i < 20000; ++i) {
                InterlockedIncrement(&counter);
                InterlockedIncrement(&counter);
                InterlockedDecrement(&counter);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, 4 * 20000 - 1);
}

// Everything a call hands out is noted open until it is given back; a run is judged by what is open
// after it that was not before, each named by its kind and what it stands for.
TEST_F(Winsim_Sync, Left_Open_Names_Each_Object_Not_Given_Back) {
    winsim::Machine& machine = winsim::The_Machine();
    machine.Make_Folders(u"C:\\Temp");
    const std::vector<winsim::Open_Object> before = winsim::Open_Objects();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Maker", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    HANDLE file = CreateFileW(u"C:\\Temp\\a.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Local\\Lock");
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &sid));
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    char* message = nullptr;
    ASSERT_NE(FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, 5, 0, reinterpret_cast<LPSTR>(&message), 0, nullptr), 0u);
    unsigned thread_id = 0;
    HANDLE thread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, [](void*) -> unsigned { return 0; }, nullptr, CREATE_SUSPENDED, &thread_id));
    ASSERT_NE(thread, nullptr);

    std::vector<std::string> lines;
    for (const winsim::Open_Object& object : winsim::Left_Open(before, 0)) lines.push_back(winsim::Describe(object));
    auto hex = [](const void* id) {
        char text[32];
        snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(id)));
        return std::string(text);
    };
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "registry key " + hex(key) + ": HKEY_LOCAL_MACHINE\\SOFTWARE\\Maker",
                         "handle " + hex(file) + ": file C:\\Temp\\a.txt",
                         "handle " + hex(mutex) + ": mutex Local\\Lock",
                         "handle " + hex(thread) + ": thread " + std::to_string(thread_id),
                         "thread " + std::to_string(thread_id) + ": created suspended, never resumed",
                         "SID: S-1-5-32-544",
                         "LocalAlloc block: message text of FormatMessageA(5)",
                         "smart-card context " + hex(reinterpret_cast<void*>(context)) + ": established in session 1",
                     }));

    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    for (HANDLE handle : {file, mutex, thread}) EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(FreeSid(sid), nullptr);
    EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
    EXPECT_EQ(LocalFree(message), nullptr);
    EXPECT_TRUE(winsim::Left_Open(before, 0).empty());
}

}  // namespace
