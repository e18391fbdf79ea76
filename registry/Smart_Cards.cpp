#include "registry/Smart_Cards.h"

#include <process.h>
#include <winscard.h>

#include <atomic>
#include <memory>

#include "catalogue/Catalogue.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "foundation/Lib_Handles.h"
#include "foundation/Windows_Version.h"
#include "primitives/Registry_Primitives.h"

namespace {

const WCHAR Smart_Cards_Key[] = TEXT("SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards");
const WCHAR Providers_Key[] = TEXT("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider");
const WCHAR Provider_Name[] = TEXT("Corvanta VESPARIO CSP");

bool Is_Remote_Session() { return GetSystemMetrics(SM_REMOTESESSION) != 0; }

// A context of the smart-card resource manager.
struct Card_Context_Kind {
    using Value = SCARDCONTEXT;
    static bool Is_Held(SCARDCONTEXT context) { return context != 0; }
    static void Give_Back(SCARDCONTEXT context) { SCardReleaseContext(context); }
};

// What a worker started suspended runs: its procedure, unless its runner calls the work off before
// letting it go. The worker owns it from its start on, and frees it at its end.
struct Worker_Start {
    unsigned(__stdcall* procedure)(void*);
    void* argument;
    std::atomic<bool> called_off{false};
};

unsigned __stdcall Start_Worker(void* start_argument) {
    std::unique_ptr<Worker_Start> start(static_cast<Worker_Start*>(start_argument));
    return start->called_off ? 0u : start->procedure(start->argument);
}

// A suspended worker that cannot do its work as it should (without its token, say) is let go with
// the work called off, and waited for: it ends at once, neither running with another token nor left
// suspended for ever. One that cannot be let go has run nothing and holds nothing: it is ended where
// it stands, and its start block, which it never took, is freed here. Keeps the thread's last error.
void Call_Off(HANDLE thread, Worker_Start* start) {
    DWORD last_error = GetLastError();
    start->called_off = true;
    if (ResumeThread(thread) != 0xFFFFFFFF) {
        WaitForSingleObject(thread, INFINITE);
    } else if (TerminateThread(thread, ERROR_CANCELLED)) {
        WaitForSingleObject(thread, INFINITE);
        delete start;
    }
    SetLastError(last_error);
}

// Runs the procedure on a worker with the impersonation token moved to session 0, and waits for its
// end. Null with its exit code, or the name of the failed step with its error as the thread's last
// error.
const WCHAR* Run_Worker(unsigned(__stdcall* procedure)(void*), void* argument, DWORD& exit_code) {
    Owned_Handle thread, worker_token, token;  // closed in the order token, worker token, thread
    if (!ImpersonateSelf(SecurityImpersonation)) return TEXT("ImpersonateSelf");
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, FALSE, token.Receive())) {
        token.Release();
        return TEXT("OpenThreadToken");
    }
    DWORD session = 0;
    if (!SetTokenInformation(token.Get(), TokenSessionId, &session, sizeof(session))) {
        return TEXT("SetTokenInformation");
    }
    if (!DuplicateTokenEx(token.Get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenImpersonation,
                          worker_token.Receive())) {
        worker_token.Release();
        return TEXT("DuplicateTokenEx");
    }
    // Created suspended: the worker runs with the session-0 token from its first instruction.
    std::unique_ptr<Worker_Start> start(new Worker_Start{procedure, argument});
    uintptr_t started = _beginthreadex(nullptr, 0, Start_Worker, start.get(), CREATE_SUSPENDED, nullptr);
    if (started == 0 || started == static_cast<uintptr_t>(-1)) return TEXT("_beginthreadex");
    Worker_Start* work = start.release();
    thread = Owned_Handle(reinterpret_cast<HANDLE>(started));
    HANDLE thread_handle = thread.Get();
    if (!SetThreadToken(&thread_handle, worker_token.Get())) {
        Call_Off(thread.Get(), work);
        return TEXT("SetThreadToken");
    }
    if (ResumeThread(thread.Get()) == 0xFFFFFFFF) {
        Call_Off(thread.Get(), work);
        return TEXT("ResumeThread");
    }
    if (WaitForSingleObject(thread.Get(), INFINITE) != WAIT_OBJECT_0) return TEXT("WaitForSingleObject");
    if (!GetExitCodeThread(thread.Get(), &exit_code)) return TEXT("GetExitCodeThread");
    return nullptr;
}

}  // namespace

unsigned __stdcall Forget_Smart_Card_Type(void* argument) {
    const WCHAR* card_name = *static_cast<const WCHAR* const*>(argument);
    LibT_Owned<Card_Context_Kind> context;
    LONG status = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context.Receive());
    if (status != SCARD_S_SUCCESS) {
        Report_System_Error(TEXT("SCardEstablishContext"), static_cast<DWORD>(status));
    } else {
        status = SCardForgetCardTypeW(context.Get(), card_name);
        if (status == SCARD_S_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
            Log_Info_Detail(TEXT("Unregistered smart card: "), card_name);
        } else {
            Report_System_Error(TEXT("SCardForgetCardType"), static_cast<DWORD>(status));
        }
    }
    return static_cast<unsigned>(status);
}

bool Run_In_Session_Zero(unsigned(__stdcall* procedure)(void*), void* argument, Lib_Result& result) {
    if (!Is_Remote_Session()) {
        procedure(argument);
        return false;
    }
    DWORD exit_code = 0;
    const WCHAR* failed_step = Run_Worker(procedure, argument, exit_code);
    DWORD error = ERROR_SUCCESS;
    if (failed_step != nullptr) {
        error = GetLastError();
        Report_System_Error(failed_step, error);
    }
    // A thread left impersonating would run the rest of the removal with the session-0 token: said.
    if (!RevertToSelf()) {
        error = GetLastError();
        Report_System_Error(TEXT("RevertToSelf"), error);
    }
    result.Set(static_cast<int32_t>(error), Lib_Result_Source_System);
    return failed_step == nullptr && exit_code != 0;
}

void Unregister_Smart_Cards() {
    Log_Info(TEXT("Unregistering smart cards..."));
    Lib_Result cards_result;
    bool forget = !Is_Remote_Session() || Is_Version_At_Least(6, 0);

    // Each name is handed to the worker as the address of its entry in the catalogue, which lives
    // and stays unchanged for the whole process, whatever becomes of a worker.
    for (const WCHAR* const& card_name : Smart_Card_Names) {
        Log_Indent();
        if (forget) {
            Changes().Forget_Smart_Card_Type(
                (Lib_StringW(Smart_Cards_Key) + TEXT("\\") + card_name).Get_Text(), [&card_name, &cards_result] {
                    Run_In_Session_Zero(Forget_Smart_Card_Type, const_cast<const WCHAR**>(&card_name), cards_result);
                });
        }
        // The card's keys go after every forget, whatever its outcome and in whichever session it ran:
        // a forget that failed, or one of a card the resource manager did not know, leaves keys in one
        // view or both, and deleting keys the forget already removed does no harm.
        Log_Info(TEXT("Cleaning scard registration in registry..."));
        Log_Indent();
        Changes().Delete_Registry_Keys_In_Path(HKEY_LOCAL_MACHINE, Smart_Cards_Key, card_name, cards_result);
        Log_Unindent();
        Log_Unindent();
    }

    // The provider's scope has no exit line: the stage leaves the indentation one step deeper.
    Log_Indent();
    Trace_Enter_Scope(TEXT("Unregister_Provider"));
    Lib_Result provider_result;
    Log_Indent();
    Changes().Delete_Registry_Keys_In_Path(HKEY_LOCAL_MACHINE, Providers_Key, Provider_Name, provider_result);
    Log_Unindent();
    Log_Info(TEXT("Provider unregistered."));
    Log_Unindent();
    Log_Info(TEXT("Smart cards unregistered."));
}
