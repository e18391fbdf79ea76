// Last error, thread identity, mutexes and threads of the simulated machine. Mutexes and threads are
// real: a mutex blocks in real time and a thread started with _beginthreadex is a host thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "machine/handles.h"
#include "machine/machine.h"
#include "machine/open_objects.h"

namespace winsim {

namespace {

thread_local DWORD Last_Error = ERROR_SUCCESS;
thread_local DWORD Thread_Id = 0;  // 0 until the thread first needs its id

// Thread ids are multiples of 4 as on Windows; the main thread's is fixed so that runs are repeatable.
const DWORD kMainThreadId = 4;
std::atomic<DWORD> Next_Thread_Id{8};

// The thread that runs the process's static initialisation, before any other initialiser of the
// program: the main thread.
const std::thread::id kMainThread __attribute__((init_priority(101))) = std::this_thread::get_id();

HANDLE const kCurrentProcessHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
HANDLE const kCurrentThreadHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

DWORD Current_Thread_Id() {
    if (Thread_Id == 0) {
        bool main_thread = std::this_thread::get_id() == kMainThread;
        Thread_Id = main_thread ? kMainThreadId : Next_Thread_Id.fetch_add(4);
    }
    return Thread_Id;
}

bool Injected_Fault(const char* api, const Text& subject = Text()) {
    DWORD error = ERROR_SUCCESS;
    if (!The_Machine().Take_Fault(api, subject, &error)) return false;
    Last_Error = error;
    return true;
}

struct Mutex_Object : Kernel_Object {
    Text name;  // empty: unnamed
    std::mutex lock;
    std::condition_variable released;
    DWORD owner = 0;         // thread id of the owner, 0 when free
    unsigned long held = 0;  // how often the owner has acquired it
    std::string creator;     // the account that created it (a SID), for GetSecurityInfo

    std::string Owner_Sid() const override { return creator; }

    DWORD Wait(DWORD milliseconds) override {
        const DWORD me = Current_Thread_Id();
        std::unique_lock<std::mutex> guard(lock);
        if (owner != me) {
            auto free = [this] { return owner == 0; };
            if (milliseconds == INFINITE) {
                released.wait(guard, free);
            } else if (!released.wait_for(guard, std::chrono::milliseconds(milliseconds), free)) {
                return WAIT_TIMEOUT;
            }
            owner = me;
        }
        ++held;
        return WAIT_OBJECT_0;
    }

    std::string What() const override { return name.empty() ? "unnamed mutex" : "mutex " + To_Utf8(name); }

    bool Release() {
        std::lock_guard<std::mutex> guard(lock);
        if (owner != Current_Thread_Id()) return false;
        if (--held == 0) {
            owner = 0;
            released.notify_one();
        }
        return true;
    }

    // The caller holds the mutex no more, at any depth.
    void Disown() {
        std::lock_guard<std::mutex> guard(lock);
        if (owner != Current_Thread_Id()) return;
        held = 0;
        owner = 0;
        released.notify_one();
    }
};

// Names of the mutexes that are still open somewhere. Object names are case-sensitive on Windows.
struct Mutex_Names {
    std::mutex lock;
    std::map<Text, std::weak_ptr<Mutex_Object>> mutexes;
};

Mutex_Names& The_Mutex_Names() {
    static Mutex_Names* names = new Mutex_Names();  // never destroyed: used until the process ends
    return *names;
}

// The threads started or resumed that have not ended: Wait_For_Running_Threads waits for them.
struct Running_Threads {
    std::mutex lock;
    std::condition_variable ended;
    unsigned count = 0;
};

Running_Threads& The_Running_Threads() {
    static auto* running = new Running_Threads();  // never destroyed: threads may end during exit
    return *running;
}

void Count_Running(int change) {
    Running_Threads& running = The_Running_Threads();
    std::lock_guard<std::mutex> guard(running.lock);
    running.count += change;
    if (running.count == 0) running.ended.notify_all();
}

// A thread lives from _beginthreadex until its start routine returns, whether or not a handle of it is
// open: it is noted open (Object_Kind::Thread, by its id) for that time, as suspended until resumed.
struct Thread_Object : Kernel_Object {
    std::mutex lock;
    std::condition_variable changed;
    DWORD id = 0;
    DWORD suspend_count = 0;
    bool terminated = false;  // ended by TerminateThread before it ran: its start routine never runs
    bool finished = false;
    DWORD exit_code = STILL_ACTIVE;

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> guard(lock);
        auto ended = [this] { return finished; };
        if (milliseconds == INFINITE) {
            changed.wait(guard, ended);
        } else if (!changed.wait_for(guard, std::chrono::milliseconds(milliseconds), ended)) {
            return WAIT_TIMEOUT;
        }
        return WAIT_OBJECT_0;
    }

    std::string What() const override { return "thread " + std::to_string(id); }

    void Run(unsigned (*start_address)(void*), void* argument) {
        Thread_Id = id;
        {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [this] { return suspend_count == 0 || terminated; });
            if (terminated) return;  // TerminateThread did what the thread's end does
        }
        unsigned result = start_address(argument);
        {
            // The thread's impersonation token ends with it.
            Machine& machine = The_Machine();
            std::lock_guard<std::recursive_mutex> machine_guard(machine.lock);
            Revert(machine, id);
        }
        Note_Closed(Object_Kind::Thread, id);
        {
            std::lock_guard<std::mutex> guard(lock);
            exit_code = result;
            finished = true;
            changed.notify_all();
        }
        Count_Running(-1);
    }
};

}  // namespace

bool Wait_For_Running_Threads(unsigned wait_ms) {
    Running_Threads& running = The_Running_Threads();
    std::unique_lock<std::mutex> guard(running.lock);
    return running.ended.wait_for(guard, std::chrono::milliseconds(wait_ms), [&] { return running.count == 0; });
}

bool Thread_Id_Of(HANDLE handle, DWORD& thread_id) {
    if (handle == kCurrentThreadHandle) {
        thread_id = Current_Thread_Id();
        return true;
    }
    std::shared_ptr<Thread_Object> thread = Get_Handle_As<Thread_Object>(handle);
    if (!thread) return false;
    thread_id = thread->id;
    return true;
}

}  // namespace winsim

using namespace winsim;

DWORD GetLastError() { return Last_Error; }

void SetLastError(DWORD error) { Last_Error = error; }

DWORD GetCurrentThreadId() { return Current_Thread_Id(); }

HANDLE GetCurrentThread() { return kCurrentThreadHandle; }

HANDLE GetCurrentProcess() { return kCurrentProcessHandle; }

LONG InterlockedIncrement(LONG volatile* addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }

LONG InterlockedDecrement(LONG volatile* addend) { return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST); }

LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;  // the value found, whether or not it was replaced
}

BOOL CloseHandle(HANDLE handle) {
    if (Injected_Fault("CloseHandle")) {
        Note_Closed(Object_Kind::Kernel_Handle, reinterpret_cast<uintptr_t>(handle));  // given back, though refused
        return FALSE;
    }
    // Closing a pseudo-handle has no effect and succeeds.
    if (handle == kCurrentProcessHandle || handle == kCurrentThreadHandle) return TRUE;
    if (!Remove_Handle(handle)) {
        Last_Error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCWSTR name) {
    const Text mutex_name = From_Wide_Pointer(name);
    if (Injected_Fault("CreateMutexW", mutex_name)) return nullptr;
    if (mutex_name.size() > MAX_PATH) {
        Last_Error = ERROR_FILENAME_EXCED_RANGE;
        return nullptr;
    }
    auto create = [initial_owner] {
        auto mutex = std::make_shared<Mutex_Object>();
        if (initial_owner) {
            mutex->owner = Current_Thread_Id();
            mutex->held = 1;
        }
        return mutex;
    };
    if (mutex_name.empty()) {
        HANDLE handle = Add_Handle(create());
        Last_Error = ERROR_SUCCESS;
        return handle;
    }
    const std::string creator = The_Machine().Calling_Token()->user;
    Mutex_Names& names = The_Mutex_Names();
    std::lock_guard<std::mutex> guard(names.lock);
    if (std::shared_ptr<Mutex_Object> existing = names.mutexes[mutex_name].lock()) {
        // The existing mutex is opened as it is: the initial-owner request applies only to a new one.
        HANDLE handle = Add_Handle(existing);
        Last_Error = ERROR_ALREADY_EXISTS;
        return handle;
    }
    std::shared_ptr<Mutex_Object> mutex = create();
    mutex->name = mutex_name;
    mutex->creator = creator;
    names.mutexes[mutex_name] = mutex;
    HANDLE handle = Add_Handle(mutex);
    Last_Error = ERROR_SUCCESS;
    return handle;
}

// The mutex Windows Installer holds while it runs an installation, in the global namespace.
const Text kInstallerMutexName = u"Global\\_MSIExecute";
// The owner of a mutex that another process holds: no thread of this process has this id (thread ids
// are multiples of 4).
const DWORD kOtherProcessOwner = 1;

HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR name) {
    const Text mutex_name = From_Wide_Pointer(name);
    if (Injected_Fault("OpenMutexW", mutex_name)) return nullptr;
    {
        Mutex_Names& names = The_Mutex_Names();
        std::lock_guard<std::mutex> guard(names.lock);
        auto found = names.mutexes.find(mutex_name);
        if (found != names.mutexes.end()) {
            if (std::shared_ptr<Mutex_Object> existing = found->second.lock()) {
                Last_Error = ERROR_SUCCESS;
                return Add_Handle(existing);
            }
        }
    }
    if (mutex_name == kInstallerMutexName && The_Machine().installer_busy) {
        auto held = std::make_shared<Mutex_Object>();
        held->name = mutex_name;
        held->owner = kOtherProcessOwner;
        held->held = 1;
        held->creator = The_Machine().installer_owner;
        Last_Error = ERROR_SUCCESS;
        return Add_Handle(held);
    }
    Last_Error = ERROR_FILE_NOT_FOUND;
    return nullptr;
}

BOOL ReleaseMutex(HANDLE handle) {
    std::shared_ptr<Mutex_Object> mutex = Get_Handle_As<Mutex_Object>(handle);
    if (Injected_Fault("ReleaseMutex")) {
        // ERROR_NOT_OWNER, the failure Windows documents, says that the caller does not own the
        // mutex: the machine agrees with the answer. A caller still holding the mutex after being told
        // it does not is a state Windows never shows; with a second thread waiting for that mutex
        // while the caller waits for the thread, the run would hang.
        if (mutex && Last_Error == ERROR_NOT_OWNER) mutex->Disown();
        return FALSE;
    }
    if (!mutex) {
        Last_Error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (!mutex->Release()) {
        Last_Error = ERROR_NOT_OWNER;
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::shared_ptr<Kernel_Object> object = Get_Handle(handle);
    // The subject tells a fault which kind of object is waited for.
    Text kind = dynamic_cast<Mutex_Object*>(object.get()) ? u"mutex" : object ? u"thread" : u"";
    if (Injected_Fault("WaitForSingleObject", kind)) return WAIT_FAILED;
    if (!object) {
        Last_Error = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    return object->Wait(milliseconds);
}

uintptr_t _beginthreadex(void*, unsigned, unsigned (*start_address)(void*), void* argument, unsigned init_flag,
                         unsigned* thread_id) {
    DWORD error = ERROR_SUCCESS;
    if (The_Machine().Record_Call("_beginthreadex", Text(), &error,
                                  (init_flag & CREATE_SUSPENDED) ? "suspended" : "running")) {
        Last_Error = error;
        return 0;
    }
    if (start_address == nullptr) {
        Last_Error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    auto thread = std::make_shared<Thread_Object>();
    thread->id = Next_Thread_Id.fetch_add(4);
    thread->suspend_count = (init_flag & CREATE_SUSPENDED) ? 1 : 0;
    Note_Open(Object_Kind::Thread, thread->id,
              thread->suspend_count ? "created suspended, never resumed" : "still running");
    if (thread->suspend_count == 0) Count_Running(+1);
    try {
        std::thread([thread, start_address, argument] { thread->Run(start_address, argument); }).detach();
    } catch (const std::system_error&) {
        Note_Closed(Object_Kind::Thread, thread->id);
        if (thread->suspend_count == 0) Count_Running(-1);
        Last_Error = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    if (thread_id != nullptr) *thread_id = thread->id;
    return reinterpret_cast<uintptr_t>(Add_Handle(thread));
}

DWORD ResumeThread(HANDLE handle) {
    if (Injected_Fault("ResumeThread")) return 0xFFFFFFFFu;
    if (handle == kCurrentThreadHandle) return 0;  // the calling thread is running
    std::shared_ptr<Thread_Object> thread = Get_Handle_As<Thread_Object>(handle);
    if (!thread) {
        Last_Error = ERROR_INVALID_HANDLE;
        return 0xFFFFFFFFu;
    }
    std::lock_guard<std::mutex> guard(thread->lock);
    if (thread->terminated) return 0;  // it has ended: nothing is suspended
    DWORD previous = thread->suspend_count;
    if (previous > 0 && --thread->suspend_count == 0) {
        Note_Open(Object_Kind::Thread, thread->id, "resumed, still running");
        Count_Running(+1);
        thread->changed.notify_all();
    }
    return previous;
}

// A thread created suspended and never resumed has run none of its code: it ends where it stands with
// the given exit code, its impersonation and its being noted open end with it, and its handle is
// signalled. The simulated machine cannot stop a thread that runs (its code runs on a host thread): a
// thread that was resumed, or has ended, is refused with ERROR_NOT_SUPPORTED.
BOOL TerminateThread(HANDLE handle, DWORD exit_code) {
    if (Injected_Fault("TerminateThread")) return FALSE;
    std::shared_ptr<Thread_Object> thread = Get_Handle_As<Thread_Object>(handle);
    if (!thread) {
        Last_Error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(thread->lock);
        if (thread->suspend_count == 0 || thread->terminated) {
            Last_Error = ERROR_NOT_SUPPORTED;
            return FALSE;
        }
        thread->terminated = true;
    }
    {
        Machine& machine = The_Machine();
        std::lock_guard<std::recursive_mutex> machine_guard(machine.lock);
        Revert(machine, thread->id);
    }
    Note_Closed(Object_Kind::Thread, thread->id);
    std::lock_guard<std::mutex> guard(thread->lock);
    thread->exit_code = exit_code;
    thread->finished = true;
    thread->changed.notify_all();
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exit_code) {
    if (Injected_Fault("GetExitCodeThread")) return FALSE;
    std::shared_ptr<Thread_Object> thread;
    if (handle != kCurrentThreadHandle) {
        thread = Get_Handle_As<Thread_Object>(handle);
        if (!thread) {
            Last_Error = ERROR_INVALID_HANDLE;
            return FALSE;
        }
    }
    if (exit_code == nullptr) {
        Last_Error = ERROR_NOACCESS;
        return FALSE;
    }
    if (!thread) {
        *exit_code = STILL_ACTIVE;
        return TRUE;
    }
    std::lock_guard<std::mutex> guard(thread->lock);
    *exit_code = thread->finished ? thread->exit_code : STILL_ACTIVE;
    return TRUE;
}
