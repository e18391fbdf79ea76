// Advapi32's access tokens: the process token with its privileges, privilege look-up and adjustment,
// and impersonation (a thread's own token, its session, its duplicate on another thread).
//
// A token handle is a kernel handle onto a shared token: OpenProcessToken and OpenThreadToken give
// the very token the process or thread acts with, so that a change made through the handle is the
// change of that token, as on Windows. DuplicateTokenEx makes a new token. Every call asks
// Machine::Record_Call with its own name, so that a test sees the order of the calls and can make any
// of them fail.
#include "machine/handles.h"
#include "machine/machine.h"
#include "machine/open_objects.h"
#include "machine/security.h"

#include <algorithm>
#include <cstring>

namespace winsim {

namespace {

struct Privilege_Name {
    DWORD luid;
    const char16_t* name;
};

// The privileges of Windows with their locally unique identifiers.
const Privilege_Name kPrivileges[] = {
    {2, u"SeCreateTokenPrivilege"},       {3, u"SeAssignPrimaryTokenPrivilege"},
    {4, u"SeLockMemoryPrivilege"},        {5, u"SeIncreaseQuotaPrivilege"},
    {6, u"SeMachineAccountPrivilege"},    {7, u"SeTcbPrivilege"},
    {8, u"SeSecurityPrivilege"},          {9, u"SeTakeOwnershipPrivilege"},
    {10, u"SeLoadDriverPrivilege"},       {11, u"SeSystemProfilePrivilege"},
    {12, u"SeSystemtimePrivilege"},       {13, u"SeProfileSingleProcessPrivilege"},
    {14, u"SeIncreaseBasePriorityPrivilege"}, {15, u"SeCreatePagefilePrivilege"},
    {16, u"SeCreatePermanentPrivilege"},  {17, u"SeBackupPrivilege"},
    {18, u"SeRestorePrivilege"},          {19, u"SeShutdownPrivilege"},
    {20, u"SeDebugPrivilege"},            {21, u"SeAuditPrivilege"},
    {22, u"SeSystemEnvironmentPrivilege"}, {23, u"SeChangeNotifyPrivilege"},
    {24, u"SeRemoteShutdownPrivilege"},   {25, u"SeUndockPrivilege"},
    {26, u"SeSyncAgentPrivilege"},        {27, u"SeEnableDelegationPrivilege"},
    {28, u"SeManageVolumePrivilege"},     {29, u"SeImpersonatePrivilege"},
    {30, u"SeCreateGlobalPrivilege"},     {31, u"SeTrustedCredManAccessPrivilege"},
    {32, u"SeRelabelPrivilege"},          {33, u"SeIncreaseWorkingSetPrivilege"},
    {34, u"SeTimeZonePrivilege"},         {35, u"SeCreateSymbolicLinkPrivilege"},
    {36, u"SeDelegateSessionUserImpersonatePrivilege"},
};

const DWORD kTcbLuid = 7;

std::string Privilege_Text(DWORD luid) {
    for (const Privilege_Name& p : kPrivileges)
        if (p.luid == luid) return To_Utf8(p.name);
    return "luid " + std::to_string(luid);
}

struct Token_Object : Kernel_Object {
    std::shared_ptr<Token> token;
    DWORD access = 0;
    std::string What() const override {
        return std::string(token->type == TokenPrimary ? "primary" : "impersonation") + " token of " + token->user;
    }
};

HANDLE New_Token_Handle(std::shared_ptr<Token> token, DWORD access) {
    auto object = std::make_shared<Token_Object>();
    object->token = std::move(token);
    object->access = access;
    return Add_Handle(object);
}

// A thread's impersonation, held until it is reverted or the thread ends.
void Impersonate(Machine& machine, DWORD thread_id, std::shared_ptr<Token> token, const char* api) {
    Note_Open(Object_Kind::Impersonation, thread_id,
              "token of " + token->user + " set by " + api + ", not reverted");
    machine.thread_tokens[thread_id] = std::move(token);
}

}  // namespace

void Revert(Machine& machine, DWORD thread_id) {
    machine.thread_tokens.erase(thread_id);
    Note_Closed(Object_Kind::Impersonation, thread_id);
}

namespace {

// A failed call: the error becomes the thread's last error.
BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool Call_Fails(Machine& machine, const char* api, const Text& subject, const std::string& note = {}) {
    DWORD error = ERROR_SUCCESS;
    if (!machine.Record_Call(api, subject, &error, note)) return false;
    SetLastError(error);
    return true;
}

std::shared_ptr<Token> Token_Of(HANDLE handle, DWORD needed, DWORD& error) {
    std::shared_ptr<Token_Object> object = Get_Handle_As<Token_Object>(handle);
    if (!object) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if ((object->access & needed) != needed) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return object->token;
}

std::shared_ptr<Token> Make_Token(const std::string& user, std::vector<std::string> groups,
                                  std::initializer_list<DWORD> held, std::initializer_list<DWORD> enabled,
                                  DWORD session) {
    auto token = std::make_shared<Token>();
    token->user = user;
    token->groups = std::move(groups);
    for (DWORD luid : held)
        token->privileges.push_back(
            Token::Privilege{luid, std::find(enabled.begin(), enabled.end(), luid) != enabled.end()});
    token->session = session;
    return token;
}

}  // namespace

Token::Privilege* Token::Find_Privilege(DWORD luid) {
    for (Privilege& p : privileges)
        if (p.luid == luid) return &p;
    return nullptr;
}

bool Token::Has_Enabled(DWORD luid) const {
    for (const Privilege& p : privileges)
        if (p.luid == luid) return p.enabled;
    return false;
}

// An elevated member of Administrators on Windows 10: the administrator's privileges, of which
// SeChangeNotify, SeImpersonate and SeCreateGlobal are enabled; SeTcbPrivilege is not held.
std::shared_ptr<Token> Make_Administrator_Token(DWORD session) {
    return Make_Token("S-1-5-21-3623811015-3361044348-30300820-1001",
                      {"S-1-1-0", "S-1-5-32-544", "S-1-5-32-545", "S-1-5-4", "S-1-5-11"},
                      {5, 8, 9, 10, 11, 12,
                       13, 14, 15, 17, 18, 19,
                       20, 22, 23, 24, 25, 28,
                       29, 30, 33, 34, 35, 36},
                      {23, 29, 30}, session);
}

// LocalSystem: SeTcbPrivilege held and enabled, SeTakeOwnershipPrivilege held but disabled.
std::shared_ptr<Token> Make_Local_System_Token(DWORD session) {
    return Make_Token("S-1-5-18", {"S-1-5-32-544", "S-1-1-0", "S-1-5-11"},
                      {2, 3, 4, 5, 7, 8,
                       9, 10, 11, 12, 13, 14,
                       15, 16, 17, 18, 19, 20,
                       21, 22, 23, 29, 30, 33,
                       34, 35, 36},
                      {4, 7, 13, 14, 15, 16, 20, 21, 23, 29, 30, 33, 34, 35, 36}, session);
}

// A standard user of the machine: SeShutdown, SeChangeNotify (enabled), SeUndock,
// SeIncreaseWorkingSet and SeTimeZone, as Windows 10 gives an ordinary user.
std::shared_ptr<Token> Make_Standard_User_Token(DWORD session) {
    return Make_Token("S-1-5-21-3623811015-3361044348-30300820-1002",
                      {"S-1-1-0", "S-1-5-32-545", "S-1-5-4", "S-1-5-11"}, {19, 23, 25, 33, 34}, {23}, session);
}

std::shared_ptr<Token> Machine::Calling_Token() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (in_other_process && other_process_token) return other_process_token;
    auto found = thread_tokens.find(GetCurrentThreadId());
    return found != thread_tokens.end() ? found->second : process_token;
}

}  // namespace winsim

using namespace winsim;

BOOL OpenProcessToken(HANDLE process, DWORD desired_access, PHANDLE token) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    if (Call_Fails(machine, "OpenProcessToken", Text())) return FALSE;
    if (process != GetCurrentProcess()) return Fail(ERROR_INVALID_HANDLE);  // only the tool's own process
    if (!token) return Fail(ERROR_NOACCESS);
    *token = New_Token_Handle(machine.process_token, desired_access);
    return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR system_name, LPCWSTR name, PLUID luid) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text wanted = From_Wide_Pointer(name);
    if (Call_Fails(machine, "LookupPrivilegeValueW", wanted)) return FALSE;
    if (system_name && *system_name) return Fail(ERROR_BAD_NETPATH);  // no other machine is reachable
    if (!luid) return Fail(ERROR_NOACCESS);
    for (const Privilege_Name& p : kPrivileges)
        if (Same_Name(p.name, wanted)) {
            luid->LowPart = p.luid;
            luid->HighPart = 0;
            return TRUE;
        }
    return Fail(ERROR_NO_SUCH_PRIVILEGE);
}

BOOL AdjustTokenPrivileges(HANDLE token_handle, BOOL disable_all, PTOKEN_PRIVILEGES new_state, DWORD buffer_length,
                           PTOKEN_PRIVILEGES previous_state, PDWORD return_length) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    std::string note;
    if (disable_all) note = "disable all";
    for (DWORD i = 0; !disable_all && new_state && i < new_state->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = new_state->Privileges[i];
        if (!note.empty()) note += ",";
        note += Privilege_Text(entry.Luid.LowPart) +
                ((entry.Attributes & SE_PRIVILEGE_REMOVED)   ? "=removed"
                 : (entry.Attributes & SE_PRIVILEGE_ENABLED) ? "=enabled"
                                                             : "=disabled");
    }
    if (Call_Fails(machine, "AdjustTokenPrivileges", Text(), note)) return FALSE;
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<Token> token = Token_Of(token_handle, TOKEN_ADJUST_PRIVILEGES, error);
    if (!token) return Fail(error);
    if (!disable_all && !new_state) return Fail(ERROR_INVALID_PARAMETER);
    if (previous_state) {
        // The privileges the call changes, each with the state it had, as a TOKEN_PRIVILEGES of the
        // caller's buffer: room for every privilege of the token is asked for.
        DWORD needed = DWORD(sizeof(DWORD) + sizeof(LUID_AND_ATTRIBUTES) * token->privileges.size());
        if (return_length) *return_length = needed;
        if (buffer_length < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
        previous_state->PrivilegeCount = 0;
    }
    bool all_assigned = true;
    if (disable_all) {
        for (Token::Privilege& p : token->privileges) p.enabled = false;
    } else {
        for (DWORD i = 0; i < new_state->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES& entry = new_state->Privileges[i];
            Token::Privilege* held = entry.Luid.HighPart == 0 ? token->Find_Privilege(entry.Luid.LowPart) : nullptr;
            if (!held) {
                all_assigned = false;  // a privilege the token lacks cannot be changed
                continue;
            }
            bool enable = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            if (previous_state && (held->enabled != enable || (entry.Attributes & SE_PRIVILEGE_REMOVED))) {
                LUID_AND_ATTRIBUTES& was = previous_state->Privileges[previous_state->PrivilegeCount++];
                was.Luid = entry.Luid;
                was.Attributes = held->enabled ? SE_PRIVILEGE_ENABLED : 0;
            }
            if (entry.Attributes & SE_PRIVILEGE_REMOVED) {
                token->privileges.erase(token->privileges.begin() + (held - token->privileges.data()));
                continue;
            }
            held->enabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
    }
    // The call succeeds either way; the last error tells whether every privilege was assigned.
    SetLastError(all_assigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

BOOL GetTokenInformation(HANDLE token_handle, TOKEN_INFORMATION_CLASS information_class, LPVOID information,
                         DWORD information_length, PDWORD return_length) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    if (Call_Fails(machine, "GetTokenInformation", Text())) return FALSE;
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<Token> token = Token_Of(token_handle, TOKEN_QUERY, error);
    if (!token) return Fail(error);
    if (information_class != TokenUser || !return_length) return Fail(ERROR_INVALID_PARAMETER);
    // The SID follows the structure in the caller's buffer, as Windows places it.
    std::vector<uint8_t> sid = Sid_Bytes(token->user);
    DWORD needed = DWORD(sizeof(TOKEN_USER) + sid.size());
    *return_length = needed;
    if (!information || information_length < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto* user = static_cast<TOKEN_USER*>(information);
    uint8_t* copy = static_cast<uint8_t*>(information) + sizeof(TOKEN_USER);
    std::memcpy(copy, sid.data(), sid.size());
    user->User.Sid = copy;
    user->User.Attributes = 0;
    return TRUE;
}

BOOL ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL level) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    if (Call_Fails(machine, "ImpersonateSelf", Text())) return FALSE;
    if (level < SecurityAnonymous || level > SecurityDelegation) return Fail(ERROR_INVALID_PARAMETER);
    auto copy = std::make_shared<Token>(*machine.process_token);
    copy->type = TokenImpersonation;
    copy->level = level;
    Impersonate(machine, GetCurrentThreadId(), copy, "ImpersonateSelf");
    return TRUE;
}

BOOL OpenThreadToken(HANDLE thread, DWORD desired_access, BOOL, PHANDLE token) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    if (Call_Fails(machine, "OpenThreadToken", Text())) return FALSE;
    DWORD thread_id = 0;
    if (!Thread_Id_Of(thread, thread_id)) return Fail(ERROR_INVALID_HANDLE);
    if (!token) return Fail(ERROR_NOACCESS);
    auto found = machine.thread_tokens.find(thread_id);
    if (found == machine.thread_tokens.end()) return Fail(ERROR_NO_TOKEN);
    if (found->second->level == SecurityAnonymous) return Fail(ERROR_CANT_OPEN_ANONYMOUS);
    *token = New_Token_Handle(found->second, desired_access);
    return TRUE;
}

BOOL SetTokenInformation(HANDLE token_handle, TOKEN_INFORMATION_CLASS information_class, LPVOID information,
                         DWORD information_length) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    std::string note = information_class == TokenSessionId ? "TokenSessionId" : "class " + std::to_string(information_class);
    if (information_class == TokenSessionId && information && information_length == sizeof(DWORD)) {
        DWORD session;
        std::memcpy(&session, information, sizeof session);
        note += "=" + std::to_string(session);
    }
    if (Call_Fails(machine, "SetTokenInformation", Text(), note)) return FALSE;
    if (information_class != TokenSessionId) return Fail(ERROR_INVALID_PARAMETER);  // only the session is modelled
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<Token> token = Token_Of(token_handle, TOKEN_ADJUST_SESSIONID, error);
    if (!token) return Fail(error);
    if (!information) return Fail(ERROR_NOACCESS);
    if (information_length != sizeof(DWORD)) return Fail(ERROR_BAD_LENGTH);
    // Moving a token to another session takes the TCB privilege, enabled in the caller's token.
    if (!machine.Calling_Token()->Has_Enabled(kTcbLuid)) return Fail(ERROR_PRIVILEGE_NOT_HELD);
    std::memcpy(&token->session, information, sizeof(DWORD));
    return TRUE;
}

BOOL DuplicateTokenEx(HANDLE existing, DWORD desired_access, LPSECURITY_ATTRIBUTES, SECURITY_IMPERSONATION_LEVEL level,
                      TOKEN_TYPE type, PHANDLE new_token) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    if (Call_Fails(machine, "DuplicateTokenEx", Text())) return FALSE;
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<Token> token = Token_Of(existing, TOKEN_DUPLICATE, error);
    if (!token) return Fail(error);
    if (!new_token || (type != TokenPrimary && type != TokenImpersonation)) return Fail(ERROR_INVALID_PARAMETER);
    // An impersonation token cannot be raised above its own level.
    if (token->type == TokenImpersonation && level > token->level) return Fail(ERROR_BAD_IMPERSONATION_LEVEL);
    auto copy = std::make_shared<Token>(*token);
    copy->type = type;
    copy->level = type == TokenImpersonation ? level : SecurityAnonymous;
    *new_token = New_Token_Handle(copy, (desired_access & MAXIMUM_ALLOWED) ? TOKEN_ALL_ACCESS : desired_access);
    return TRUE;
}

BOOL SetThreadToken(PHANDLE thread, HANDLE token_handle) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    if (Call_Fails(machine, "SetThreadToken", Text())) return FALSE;
    DWORD thread_id = 0;
    if (!Thread_Id_Of(thread ? *thread : GetCurrentThread(), thread_id)) return Fail(ERROR_INVALID_HANDLE);
    if (!token_handle) {
        Revert(machine, thread_id);
        return TRUE;
    }
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<Token> token = Token_Of(token_handle, TOKEN_IMPERSONATE, error);
    if (!token) return Fail(error);
    if (token->type != TokenImpersonation) return Fail(ERROR_BAD_TOKEN_TYPE);
    Impersonate(machine, thread_id, token, "SetThreadToken");
    return TRUE;
}

BOOL RevertToSelf() {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    if (Call_Fails(machine, "RevertToSelf", Text())) {
        Note_Closed(Object_Kind::Impersonation, GetCurrentThreadId());  // given back, though refused
        return FALSE;
    }
    Revert(machine, GetCurrentThreadId());
    return TRUE;
}
