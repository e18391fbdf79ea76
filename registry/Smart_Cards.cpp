#include "registry/Smart_Cards.h"

#include <process.h>
#include <string.h>
#include <winscard.h>

#include "catalogue/Catalogue.h"
#include "diagnostics/Check_Pass.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "foundation/Windows_Version.h"
#include "primitives/Registry_Backup.h"
#include "primitives/Registry_Primitives.h"

namespace {

const WCHAR Smart_Cards_Key[] = TEXT("SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards");
const WCHAR Providers_Key[] = TEXT("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider");
const WCHAR Provider_Name[] = TEXT("Corvanta VESPARIO CSP");

bool Is_Remote_Session() { return GetSystemMetrics(SM_REMOTESESSION) != 0; }

}  // namespace

unsigned __stdcall Forget_Smart_Card_Type(void* argument) {
    const WCHAR* card_name = *static_cast<const WCHAR* const*>(argument);
    SCARDCONTEXT context = 0;
    LONG status = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (status != SCARD_S_SUCCESS) {
        Report_System_Error(TEXT("SCardEstablishContext"), static_cast<DWORD>(status));
    } else {
        status = SCardForgetCardTypeW(context, card_name);
        if (status == SCARD_S_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
            Log_Info_Detail(TEXT("Unregistered smart card: "), card_name);
        } else {
            Report_System_Error(TEXT("SCardForgetCardType"), static_cast<DWORD>(status));
        }
    }
    if (context != 0) SCardReleaseContext(context);
    return static_cast<unsigned>(status);
}

bool Run_In_Session_Zero(unsigned(__stdcall* procedure)(void*), void* argument, Lib_Result& result) {
    if (!Is_Remote_Session()) {
        procedure(argument);
        return false;
    }

    HANDLE token = nullptr;
    HANDLE worker_token = nullptr;
    HANDLE thread = nullptr;
    const WCHAR* failed_step = nullptr;
    bool outcome = false;
    do {
        if (!ImpersonateSelf(SecurityImpersonation)) {
            failed_step = TEXT("ImpersonateSelf");
            break;
        }
        if (!OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, FALSE, &token)) {
            token = nullptr;
            failed_step = TEXT("OpenThreadToken");
            break;
        }
        DWORD session = 0;
        if (!SetTokenInformation(token, TokenSessionId, &session, sizeof(session))) {
            failed_step = TEXT("SetTokenInformation");
            break;
        }
        if (!DuplicateTokenEx(token, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenImpersonation,
                              &worker_token)) {
            worker_token = nullptr;
            failed_step = TEXT("DuplicateTokenEx");
            break;
        }
        // Created suspended: the worker runs with the session-0 token from its first instruction.
        uintptr_t started = _beginthreadex(nullptr, 0, procedure, argument, CREATE_SUSPENDED, nullptr);
        if (started == 0 || started == static_cast<uintptr_t>(-1)) {
            failed_step = TEXT("_beginthreadex");
            break;
        }
        thread = reinterpret_cast<HANDLE>(started);
        if (!SetThreadToken(&thread, worker_token)) {
            failed_step = TEXT("SetThreadToken");
            break;
        }
        if (ResumeThread(thread) == 0xFFFFFFFF) {
            failed_step = TEXT("ResumeThread");
            break;
        }
        if (WaitForSingleObject(thread, INFINITE) != WAIT_OBJECT_0) {
            failed_step = TEXT("WaitForSingleObject");
            break;
        }
        DWORD exit_code = 0;
        if (!GetExitCodeThread(thread, &exit_code)) {
            failed_step = TEXT("GetExitCodeThread");
            break;
        }
        outcome = exit_code != 0;
    } while (false);

    DWORD error = ERROR_SUCCESS;
    if (failed_step != nullptr) {
        error = GetLastError();
        Report_System_Error(failed_step, error);
    }
    result.Set(static_cast<int32_t>(error), Lib_Result_Source_System);
    if (token != nullptr) CloseHandle(token);
    if (worker_token != nullptr) CloseHandle(worker_token);
    if (thread != nullptr) CloseHandle(thread);
    RevertToSelf();
    return outcome;
}

void Unregister_Smart_Cards() {
    Log_Info(TEXT("Unregistering smart cards..."));
    Lib_Result cards_result;
    // The read-only pass forgets nothing: the card types' keys tell what is registered.
    bool forget = (!Is_Remote_Session() || Is_Version_At_Least(6, 0)) && !In_Check_Pass();

    // Each name is handed to the worker as the address of its entry in the catalogue, which lives
    // and stays unchanged for the whole process, whatever becomes of a worker.
    for (const WCHAR* const& card_name : Smart_Card_Names) {
        Log_Indent();
        if (forget) {
            // The resource manager deletes the card's native key itself: saved before it may.
            Backup_Key_Tree(HKEY_LOCAL_MACHINE, (Lib_StringW(Smart_Cards_Key) + TEXT("\\") + card_name).Get_Text());
            Run_In_Session_Zero(Forget_Smart_Card_Type, const_cast<const WCHAR**>(&card_name), cards_result);
        }
        // The card's keys go after every forget, whatever its outcome and in whichever session it ran:
        // a forget that failed, or one of a card the resource manager did not know, leaves keys in one
        // view or both, and deleting keys the forget already removed does no harm.
        Log_Info(TEXT("Cleaning scard registration in registry..."));
        Log_Indent();
        Delete_Registry_Keys_In_Path(HKEY_LOCAL_MACHINE, Smart_Cards_Key, card_name, cards_result);
        Log_Unindent();
        Log_Unindent();
    }

    // The provider's scope has no exit line: the stage leaves the indentation one step deeper.
    Log_Indent();
    Trace_Enter_Scope(TEXT("Unregister_Provider"));
    Lib_Result provider_result;
    Log_Indent();
    Delete_Registry_Keys_In_Path(HKEY_LOCAL_MACHINE, Providers_Key, Provider_Name, provider_result);
    Log_Unindent();
    Log_Info(TEXT("Provider unregistered."));
    Log_Unindent();
    Log_Info(TEXT("Smart cards unregistered."));
}
