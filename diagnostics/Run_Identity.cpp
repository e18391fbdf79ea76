#include "diagnostics/Run_Identity.h"

#include <vector>

#include "diagnostics/Log_Report.h"
#include "foundation/Lib_Handles.h"
#include "vp_version.h"

namespace {

// The account's name as Windows knows it, DOMAIN\name (a local account's domain is the computer);
// reported and false when it cannot be found.
bool Account_Name(PSID sid, Lib_StringW& name) {
    // Names and domains fit 256 characters; a longer one is asked for again at the size Windows gives.
    DWORD name_size = 256, domain_size = 256;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<WCHAR> account(name_size + 1), domain(domain_size + 1);
        SID_NAME_USE use = SidTypeUnknown;
        if (LookupAccountSidW(nullptr, sid, account.data(), &name_size, domain.data(), &domain_size, &use)) {
            name = Lib_StringW(domain.data());
            if (!name.Is_Empty()) name.Append(TEXT("\\"));
            name.Append(account.data());
            return true;
        }
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || attempt == 1) {
            Report_System_Error(TEXT("LookupAccountSid"), error);
            return false;
        }
    }
    return false;
}

}  // namespace

Lib_String Sid_Text(const SID* sid) {
    unsigned long long authority = 0;
    for (BYTE part : sid->IdentifierAuthority.Value) authority = (authority << 8) | part;
    Lib_String text = TEXT("S-") + Decimal_Text(sid->Revision) + TEXT("-") + Decimal_Text(authority);
    for (BYTE at = 0; at < sid->SubAuthorityCount; ++at) text = text + TEXT("-") + Decimal_Text(sid->SubAuthority[at]);
    return text;
}

Lib_StringW Tool_Version_Line() {
    Lib_StringW line(TEXT("Tool version: "));
    for (const char* c = VP_VERSION_TEXT; *c != 0; ++c) {
        const WCHAR character[2] = {WCHAR(*c), 0};
        line.Append(character);
    }
    return line;
}

Lib_StringW Command_Line_Line() { return Lib_StringW(TEXT("Command line: ")) + GetCommandLineW(); }

Lib_StringW Account_Line() {
    const Lib_StringW unread(TEXT("Account: could not be read"));
    Owned_Handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
        token.Release();
        Report_System_Error(TEXT("OpenProcessToken"), GetLastError());
        return unread;
    }
    DWORD size = 0;
    if (!GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        Report_System_Error(TEXT("GetTokenInformation"), GetLastError());
        return unread;
    }
    std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);
    if (!GetTokenInformation(token.Get(), TokenUser, buffer.data(), DWORD(buffer.size() * sizeof(DWORD)), &size)) {
        Report_System_Error(TEXT("GetTokenInformation"), GetLastError());
        return unread;
    }
    PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    const Lib_StringW sid_text = Sid_Text(static_cast<const SID*>(sid));
    Lib_StringW name;
    if (!Account_Name(sid, name)) return TEXT("Account: ") + sid_text + TEXT(" (the name could not be read)");
    return TEXT("Account: ") + name + TEXT(" (") + sid_text + TEXT(")");
}

Lib_StringW Computer_Line() {
    WCHAR name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &size)) {
        Report_System_Error(TEXT("GetComputerName"), GetLastError());
        return TEXT("Computer: could not be read");
    }
    return Lib_StringW(TEXT("Computer: ")) + name;
}
