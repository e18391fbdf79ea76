// WinSCard's resource manager over the machine: contexts and the card database's forget call.
//
// SCardEstablishContext answers SCARD_E_NO_SERVICE when the scenario's Smart Card service is stopped.
// The card database lives under HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Calais\SmartCards
// of the native (64-bit) view, the view of a 64-bit caller; SCardForgetCardTypeW deletes the card's
// key with everything in it and answers ERROR_FILE_NOT_FOUND for a card the database does not hold.
// In a remote desktop session a call made with a token of the user's session reaches the smart-card
// subsystem of the client computer (the database calls are not redirected to the session host), which
// does not know the card: it answers ERROR_FILE_NOT_FOUND and the machine's own database is untouched.
//
// Every call is recorded in Machine::calls with the session of the calling thread's token
// ("SCardForgetCardTypeW VESPARIO session=0"), so that a test can tell which thread, impersonating
// what, made it.
#include "machine/machine.h"
#include "machine/open_objects.h"

#include <winscard.h>

#include <mutex>
#include <set>

namespace winsim {

namespace {

struct Context_Table {
    std::set<SCARDCONTEXT> open;
    SCARDCONTEXT next = 0xCD010000;
};

Context_Table& Contexts() {
    static auto* table = new Context_Table();  // never destroyed: a context may be released during exit
    return *table;
}

bool Card_Call_Fails(Machine& machine, const char* api, const Text& subject, LONG& status) {
    DWORD error = ERROR_SUCCESS;
    std::string note = "session=" + std::to_string(machine.Calling_Token()->session);
    if (!machine.Record_Call(api, subject, &error, note)) return false;
    status = LONG(error);
    return true;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

LONG SCardEstablishContext(DWORD scope, LPCVOID reserved1, LPCVOID reserved2, LPSCARDCONTEXT context) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    LONG status;
    if (Card_Call_Fails(machine, "SCardEstablishContext", Text(), status)) return status;
    if (!context) return LONG(SCARD_E_INVALID_PARAMETER);
    if (reserved1 || reserved2 || scope > SCARD_SCOPE_SYSTEM) return LONG(SCARD_E_INVALID_VALUE);
    if (!machine.smart_card_service) return LONG(SCARD_E_NO_SERVICE);
    Context_Table& table = Contexts();
    *context = table.next;
    table.next += 1;
    table.open.insert(*context);
    Note_Open(Object_Kind::Smart_Card_Context, uintptr_t(*context),
              "established in session " + std::to_string(machine.Calling_Token()->session));
    return SCARD_S_SUCCESS;
}

LONG SCardForgetCardTypeW(SCARDCONTEXT context, LPCWSTR card_name) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text name = From_Wide_Pointer(card_name);
    LONG status;
    if (Card_Call_Fails(machine, "SCardForgetCardTypeW", name, status)) return status;
    if (!Contexts().open.count(context)) return LONG(SCARD_E_INVALID_HANDLE);
    if (name.empty()) return LONG(SCARD_E_INVALID_PARAMETER);
    if (machine.remote_session && machine.Calling_Token()->session != 0) return ERROR_FILE_NOT_FOUND;
    Reg_Key* cards = Find_Key_By_Path(machine, u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards");
    if (!cards || !cards->Remove_Subkey(name)) return ERROR_FILE_NOT_FOUND;
    return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT context) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    LONG status;
    if (Card_Call_Fails(machine, "SCardReleaseContext", Text(), status)) {
        Note_Closed(Object_Kind::Smart_Card_Context, uintptr_t(context));  // given back, though refused
        return status;
    }
    if (!Contexts().open.erase(context)) return LONG(SCARD_E_INVALID_HANDLE);
    Note_Closed(Object_Kind::Smart_Card_Context, uintptr_t(context));
    return SCARD_S_SUCCESS;
}
