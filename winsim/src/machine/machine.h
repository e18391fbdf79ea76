// The simulated Windows machine behind the API slice of winsim: registry, drive C:, OS identity,
// code page, debugger output, console, simulated clock and fault injection. A test or the scenario
// runner fills one Machine, the tool's code then reaches it only through the Windows API calls.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "machine/child_lists.h"

namespace winsim {

using Text = std::u16string;

// Names of keys, values, files and folders compare without regard to case, as the registry and
// NTFS compare them: each UTF-16 unit is mapped to upper case (ASCII, Latin-1, Latin Extended-A,
// Greek and Cyrillic letters), then the units compare as numbers. Listings are sorted this way.
char16_t Upcase(char16_t c);
int Compare_Names(const Text& a, const Text& b);
bool Same_Name(const Text& a, const Text& b);
// The names of a backslash-separated path; doubled, leading and trailing backslashes add no name.
std::vector<Text> Split_Names(const Text& path);
// A registry name with a zero character in it: the native API can make one, regedit files cannot
// hold it, and the Win32 calls that take a name as text cut it at the zero.
inline bool Holds_Zero(const Text& name) { return name.find(u'\0') != Text::npos; }

std::string To_Utf8(const Text& text);
Text From_Utf8(const std::string& text);  // malformed bytes become U+FFFD
Text From_Wide_Pointer(const WCHAR* text);  // null gives the empty text

struct Reg_Value {
    Text name;  // empty: the key's default value
    DWORD type = REG_SZ;
    std::vector<uint8_t> data;
};

// One entry of a key's discretionary access list. Security identifiers are kept in their text form
// ("S-1-5-32-544").
struct Ace {
    BYTE type = ACCESS_ALLOWED_ACE_TYPE;  // or ACCESS_DENIED_ACE_TYPE
    BYTE flags = 0;                       // OBJECT_INHERIT_ACE, CONTAINER_INHERIT_ACE, ... INHERITED_ACE
    ACCESS_MASK mask = 0;
    std::string sid;
};

// What a key states of its own security; the rest comes from its parent. A key without an owner of
// its own is owned by Administrators; its access list is its own entries followed, unless the list is
// protected, by the entries that its parent passes on to subkeys.
struct Key_Security {
    std::string owner;  // empty: not stated
    std::string group;  // empty: not stated
    bool has_dacl = false;
    bool dacl_protected = false;
    std::vector<Ace> aces;  // the key's own entries
    // A file with other names (hard links): the entries it inherited, kept as Windows keeps them in
    // its one descriptor (see Keep_Inherited_Entries) rather than taken from the folder it is reached
    // through.
    bool inherited_kept = false;
    std::vector<Ace> inherited;
};

struct Reg_Key {
    Text name;
    Sorted_Children<Reg_Key> subkeys;  // in the order Windows enumerates them: sorted by Compare_Names
    Value_List<Reg_Value> values;      // in the order Windows enumerates them: creation order
    bool write_protected = false;  // opening for writing or deleting it is refused with 5
    bool link = false;  // a symbolic link to the key its value "SymbolicLinkValue" (REG_LINK) names
    std::shared_ptr<Key_Security> security;  // null: nothing stated (see Key_Security)

    Reg_Key* Find_Subkey(const Text& name) const;
    Reg_Key* Add_Subkey(const Text& name);  // returns the existing key of that name, or a new one
    bool Remove_Subkey(const Text& name);
    Reg_Value* Find_Value(const Text& name);
    const Reg_Value* Find_Value(const Text& name) const;
    void Set_Value(const Text& name, DWORD type, std::vector<uint8_t> data);
    bool Remove_Value(const Text& name);
};

struct Fs_Node;

// One open of a file or folder through CreateFileW: the node it was opened on (null once that node is
// gone) and what it does and shares, as sharing sees it (kernel_open.h). A rename moves the node,
// never the open.
struct Fs_Open {
    Fs_Node* node = nullptr;
    DWORD access = 0;  // Data_Access bits
    DWORD share = 0;   // FILE_SHARE_*
};

struct Fs_Node {
    Fs_Node() = default;
    Fs_Node(const Fs_Node&) = delete;
    Fs_Node& operator=(const Fs_Node&) = delete;
    ~Fs_Node();  // the opens on it lose their node

    Text name;
    bool directory = false;
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;  // FILE_ATTRIBUTE_DIRECTORY is kept in step with directory
    std::vector<uint8_t> data;
    Sorted_Children<Fs_Node> children;  // in the order NTFS lists them: sorted by Compare_Names
    Text link_target;  // a junction: the absolute path (C:\...) that this folder entry points to; set by Link_To
    // Open in another process: a file held for reading and writing, sharing what held_share says
    // (FILE_SHARE_*; 0 for a file held without sharing), a folder held as a current folder is.
    bool held_open = false;
    DWORD held_share = 0;
    // Another process holds a batch (or read-write-handle) opportunistic lock on the file, through a
    // handle that shares reading, writing and deletion. An open that breaks it waits until the holder
    // acknowledges the break, which the holder may never do (kernel_open.h: Open_Breaks_Oplock).
    bool oplocked = false;
    uint64_t listed_size = 0;  // a file known only from a listing: its size (data stays empty)
    std::vector<Fs_Open*> opens;  // the opens on this node (kernel_open.cpp keeps them)
    // What the entry states of its own security, as a key does (see Key_Security); null: nothing.
    // Shared with other entries only while unchanged: a change replaces it with a copy.
    std::shared_ptr<Key_Security> security;
    // A file with hard links: all its names, this entry among them, the first being the name it was
    // made with; they share its security and attributes. Null: a file with one name.
    std::shared_ptr<std::vector<Fs_Node*>> names;

    Fs_Node* Find_Child(const Text& name) const;
    Fs_Node* Add_Child(const Text& name, bool directory);  // existing or new
    bool Remove_Child(const Text& name);
    // Takes an entry out of the folder without destroying it (a rename or move), or null.
    std::unique_ptr<Fs_Node> Take_Child(const Text& name);
    // Adds a further name of the file `file` to this folder (a hard link), or null when the name is taken.
    Fs_Node* Add_Name(const Text& name, Fs_Node& file);
    // Gives the entry, and every other name of its file, the security it states.
    void Set_Security(std::shared_ptr<Key_Security> stated);
    // Puts an entry taken out of a folder back under the given name; false when that name is taken.
    bool Put_Child(std::unique_ptr<Fs_Node> node, const Text& name);
    // Makes the entry a junction to target (an absolute path), or a link to a file: paths through it
    // now lead elsewhere, so what lookups remembered is dropped (Fs_Generation).
    void Link_To(const Text& target);
};

// The full path (C:\...) of an entry of drive C:, found by walking the drive; empty when it is not there.
Text Path_Of(const Fs_Node& drive_c, const Fs_Node& entry);

// Counts the removals of folder entries, the links made and the resets of the machine: a node found
// while the count has one value is still there, at the same path, while it keeps that value.
uint64_t Fs_Generation();

struct Os_Info {
    DWORD major = 10;
    DWORD minor = 0;
    DWORD build = 19045;
    WORD service_pack = 0;
    BYTE product_type = VER_NT_WORKSTATION;
    WORD suite_mask = 0;
};

// An access token: the identity, privileges and session that a process or thread acts with.
struct Token {
    struct Privilege {
        DWORD luid;
        bool enabled;
    };
    std::string user;
    std::vector<std::string> groups;  // every group enabled; Administrators may own objects
    std::vector<Privilege> privileges;
    DWORD session = 1;
    TOKEN_TYPE type = TokenPrimary;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;

    Privilege* Find_Privilege(DWORD luid);
    bool Has_Enabled(DWORD luid) const;
};

// The process tokens a scenario can run the tool with: an elevated administrator (SeTcbPrivilege
// absent, SeTakeOwnershipPrivilege present but disabled) or LocalSystem, as deployment tools run it.
std::shared_ptr<Token> Make_Administrator_Token(DWORD session);
std::shared_ptr<Token> Make_Local_System_Token(DWORD session);
// An ordinary user's token (a standard user: Users, Everyone, Interactive, Authenticated Users; no
// administrator's privileges). Only such a token meets the access lists of files and folders when it
// creates, renames or deletes entries (see Check_File_Access).
std::shared_ptr<Token> Make_Standard_User_Token(DWORD session);

// A fault makes the nth call (1-based) of a simulated API fail with the given error. With a match
// text, only calls whose subject (path or name) contains it, case-insensitively, are counted.
struct Fault {
    std::string api;  // the API's own name, e.g. "DeleteFileW"
    unsigned nth = 1;
    DWORD error = ERROR_ACCESS_DENIED;
    Text match;
    bool repeat = false;  // fail from the nth matching call on, not only that one
    unsigned seen = 0;
};

class Machine;

// An action run just before the nth call (1-based) of an API whose subject contains the match, as
// another process would act at that moment (Machine::Add_Action).
struct Action {
    std::string api;
    unsigned nth = 1;
    Text match;
    std::function<void(Machine&)> run;
    unsigned seen = 0;
};

class Machine {
public:
    Machine();

    // Registry: HKEY_CLASSES_ROOT is HKEY_CURRENT_USER\Software\Classes merged over
    // HKEY_LOCAL_MACHINE\SOFTWARE\Classes (registry.cpp).
    Reg_Key hklm;
    // HKEY_CURRENT_USER as the tool sees it: the profile of the account it runs as. A scenario holds
    // two profiles: an administrator's, which its files call HKEY_CURRENT_USER (the account that
    // collected it, machine.ini's [user]), and LocalSystem's, which they call HKEY_USERS\.DEFAULT
    // (Windows' alias of HKEY_USERS\S-1-5-18). hkcu is the one of the account the tool runs as
    // (local_system), other_profile the other; Set_Local_System exchanges them.
    Reg_Key hkcu;
    Reg_Key other_profile;
    std::string user_name, user_sid;  // [user]: whose profile the files call HKEY_CURRENT_USER (may be empty)
    // [collection]: the computer a collection was made on and when (its own clock's text); empty for
    // a scenario written by hand.
    std::string collected_computer, collected_date;
    // [run] computer: what GetComputerNameW answers; empty: the collection's computer, else VPSIM-PC.
    std::string computer_name;
    std::string Computer_Name() const;
    // HKEY_USERS' further hives (other users logged on, hives loaded by RegLoadKeyW): each subkey is a
    // hive's root, named as below HKEY_USERS (a SID, or the name a hive was loaded under).
    Reg_Key users;
    // A hive that RegLoadKeyW loaded from a file of drive C: that file, held while the hive is loaded,
    // what the file's hold was before, and the hive's text at the load (an unload writes the file back
    // only when the hive changed). By the hive's name in upper case.
    struct Loaded_Hive {
        Text name;
        Text file;
        bool held_before = false;
        DWORD share_before = 0;
        std::string loaded_text;
        uintptr_t id = 0;  // noted open (machine/open_objects.h) until it is unloaded
    };
    std::map<Text, Loaded_Hive> loaded_hives;
    // The hive HKEY_USERS\name stands for: the running account's (hkcu), LocalSystem's (also
    // .DEFAULT), the [user] account's, or one of users; null when none is loaded under that name.
    Reg_Key* Users_Hive(const Text& name);
    Reg_Key& User_Profile() { return local_system ? other_profile : hkcu; }
    Reg_Key& System_Profile() { return local_system ? hkcu : other_profile; }
    const Reg_Key& User_Profile() const { return local_system ? other_profile : hkcu; }
    const Reg_Key& System_Profile() const { return local_system ? hkcu : other_profile; }

    // Drive C: its root folder.
    Fs_Node drive_c;

    Os_Info os;
    UINT code_page = 1252;
    bool remote_session = false;   // GetSystemMetrics(SM_REMOTESESSION)
    // Windows Installer runs an installation: another process holds the global mutex _MSIExecute.
    bool installer_busy = false;
    // The account that created that mutex: SYSTEM for Windows Installer's own service.
    std::string installer_owner = "S-1-5-18";
    bool local_system = false;     // the process runs as LocalSystem rather than an elevated administrator
    void Set_Local_System(bool value);  // sets local_system; hkcu becomes the profile of that account
    bool smart_card_service = true;  // the Smart Card service runs
    std::shared_ptr<Token> process_token;
    std::map<DWORD, std::shared_ptr<Token>> thread_tokens;  // impersonation tokens, by thread id
    // The token the calling thread acts with: its impersonation token, else the process token.
    std::shared_ptr<Token> Calling_Token();

    // Security changes of the run: for every key whose security a call changed, and every key below
    // it, the path and the SDDL of its whole security before the first change.
    std::vector<std::pair<Text, std::string>> security_before;
    std::set<Text> security_seen;  // the same paths in upper case
    Text module_path = u"C:\\vpRemovalTool.exe";  // what GetModuleFileNameW answers
    Text windows_directory = u"C:\\Windows";        // what GetWindowsDirectoryW answers
    Text command_line = u"\"C:\\vpRemovalTool.exe\"";  // what GetCommandLineW answers (the runner sets it)

    std::vector<Text> debug_output;  // every OutputDebugStringW text, in order
    std::vector<DWORD> debug_threads;  // the thread that wrote each of them
    Text console;                    // everything written to the console
    ULONGLONG clock_ms = 0;          // simulated milliseconds; Sleep advances it
    unsigned long long random_state = 0;  // RtlGenRandom's generator, the same at every start
    SYSTEMTIME start_time{};         // GetSystemTime answers this plus clock_ms

    std::vector<Fault> faults;
    std::vector<std::string> calls;  // "API subject" of every call that a test may want to see
    bool keep_calls = true;          // off where nobody reads calls: a sweep's runs, runs of millions of calls
    unsigned long call_count = 0;    // every call that Take_Fault saw, whatever its API
    bool trace_apis = false;         // when set, api_trace receives the API of every such call in order
    std::vector<std::string> api_trace;
    bool trace_sites = false;        // with trace_apis: site_trace receives each call's site (fault_site)
    std::vector<std::string> site_trace;
    // Every call that an injected fault made fail: its API, its subject, how many debugger-output
    // texts had been written before it (where its error report is to be looked for), and its call
    // site: what fault_site, when set, answers from within the failing call.
    struct Fault_Hit {
        std::string api;
        Text subject;
        size_t debug_texts = 0;
        std::string site;
        DWORD thread = 0;  // the thread whose call failed, which reports it
    };
    std::vector<Fault_Hit> fault_hits;
    std::function<std::string()> fault_site;
    // "API path" of every call that would have waited for an opportunistic lock's holder to
    // acknowledge its break: on Windows such a call does not return while the holder waits. winsim
    // lets it go on as though the holder had closed its handle; vpsim fails a run that has any.
    std::vector<std::string> oplock_waits;

    // Empties the machine: no keys, no files, default OS, no faults.
    void Reset();

    void Add_Fault(const std::string& api, unsigned nth, DWORD error, const Text& match = {},
                   bool repeat = false);
    // Runs the action just before the nth call of the API whose subject contains match (any call without
    // it), with another process's identity: an ordinary user's token (other_process_token) is the
    // calling token while it runs, and its own calls are neither counted, recorded nor faulted.
    void Add_Action(const std::string& api, unsigned nth, const Text& match, std::function<void(Machine&)> run);
    std::vector<Action> actions;
    std::shared_ptr<Token> other_process_token;  // an ordinary user's, in session 1
    bool in_other_process = false;               // an action (or another process's call) is running

    // Counts the call and tells whether an injected fault hits it.
    bool Take_Fault(const char* api, const Text& subject, DWORD* error);
    // The same for a call that tests may want to see: it is also recorded in calls as "API subject",
    // followed by a blank and the note when one is given.
    bool Record_Call(const char* api, const Text& subject, DWORD* error, const std::string& note = {});

    // Resolves "C:\a\b" (case-insensitive, single or doubled separators) to a node of drive C:,
    // or null. parent receives the folder that would hold the last component (null when missing).
    Fs_Node* Find_Path(const Text& path, Fs_Node** parent = nullptr, Text* last = nullptr);
    // Creates every missing folder of an absolute path and returns the last one.
    Fs_Node* Make_Folders(const Text& path);
    Reg_Key* Root_Key(HKEY root);  // the simulated key behind a predefined root (the machine's classes), or null

    std::recursive_mutex lock;  // serialises the simulated API calls of several threads

    // The folders of the last path looked up (paths.h), from the root down: the next lookup starts at
    // the deepest of them that its own path passes through, instead of at the root (a tool names a
    // deep folder's path again in each of its calls). Good while Fs_Generation() stays what it was.
    struct Folder_Memo {
        Text full;  // the normalised path
        // Each folder on it, reached without crossing a junction, and where its text ends in full:
        // the root first ("C:", 2).
        std::vector<std::pair<Fs_Node*, size_t>> folders;
        uint64_t generation = 0;
    } folder_memo;

    // Published names of OEM driver packages (oemN.inf) that an installed device uses: uninstalling one
    // needs SUOI_FORCEDELETE. Compared without regard to case.
    std::vector<Text> oem_packages_in_use;
};

Machine& The_Machine();
// Ends a thread's impersonation (RevertToSelf, SetThreadToken without a token, the thread's end).
void Revert(Machine& machine, DWORD thread_id);

// Scenario folders: registry.reg, drive_c/, machine.ini.
// Load refuses a malformed scenario with "FILE:LINE: message" in error.
bool Load_Scenario(Machine& machine, const std::string& folder, std::string& error);
bool Save_Scenario(Machine& machine, const std::string& folder, std::string& error);
// The hive that a scenario's full key path names: HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER (the
// administrator's profile, also written HKEY_USERS\<[user]'s SID>), HKEY_USERS\.DEFAULT (LocalSystem's,
// also written HKEY_USERS\S-1-5-18) or another hive below HKEY_USERS (made when first named); the
// root's names are taken off the front of names. Null for any other root.
Reg_Key* Scenario_Hive(Machine& machine, std::vector<Text>& names);
// machine.ini's text applied to a machine whose registry and drive C: are loaded already; refused
// with "machine.ini:LINE: message" in error.
bool Load_Machine_Ini(Machine& machine, const std::vector<uint8_t>& bytes, std::string& error);
bool Import_Registry_File(Machine& machine, const std::vector<uint8_t>& bytes,
                          const std::string& file_name, std::string& error);
// The same from an open file of the given size, read in blocks of block_size bytes.
bool Import_Registry_File(Machine& machine, std::FILE* file, uint64_t file_size, const std::string& file_name,
                          std::string& error, size_t block_size = 1 << 20);
std::string Export_Registry_File(const Machine& machine);  // UTF-8 regedit text
bool Export_Registry_File(const Machine& machine, std::FILE* file);  // the same text written to a file
// A user's hive as its file holds it in a scenario: regedit text (UTF-8 here) whose keys are written
// below HKEY_CURRENT_USER, the hive's root.
std::string Export_Hive_Text(const Reg_Key& root);
// Reads such a file (UTF-16LE with a byte-order mark, or without it as a collection writes it,
// "Windows Registry Editor Version 5.00") into a hive root; false for anything else, or for keys
// outside HKEY_CURRENT_USER.
bool Import_Hive_File(const std::vector<uint8_t>& bytes, Reg_Key& root);
// The same text as such a file's bytes.
std::vector<uint8_t> Hive_File_Bytes(const std::string& text);

// Registry security in SDDL, Windows' text form of a security descriptor.
// What the hive roots state: SYSTEM and Administrators have full access, Users may read.
std::shared_ptr<Key_Security> Make_Root_Security();
// The key at a full path ("HKEY_LOCAL_MACHINE\SOFTWARE\X"), or null.
Reg_Key* Find_Key_By_Path(Machine& machine, const Text& path);
// Reads what a scenario states of a key: owner, group and the key's own entries; inherited entries
// (ID) are refused. False with the reason in why.
bool Parse_Key_Sddl(const std::string& sddl, Key_Security& security, std::string& why);
// The key's own statement, as a scenario writes it.
std::string Stated_Sddl(const Key_Security& security);
// The key's whole security, inherited entries included, for a key at the given path.
std::string Effective_Sddl(Machine& machine, const Text& path);
// security.txt: the keys whose security the run changed, with the SDDL before and after.
std::string Security_Changes(Machine& machine);

// File and folder security, in the same model. A path "C:\..." names an entry of drive C:;
// Effective_Sddl answers for it too (a junction as the last component answers for itself).
// The security Windows gives drive C:'s root, and the folders below it that state their own: the
// Windows and program folders, and ProgramData, where users may create folders and files and
// CREATOR OWNER gets full control of what they create. Applied when a scenario is loaded.
std::shared_ptr<Key_Security> Make_Drive_Root_Security();
void Apply_Default_File_Security(Machine& machine);
// A file with other names inherits what the folder of its first name passed on when the name was
// made; from then on a change of an inheritable list above any of its names is passed on to it (and
// so to all its names), as Windows' propagation rewrites the file's one descriptor. Called when a
// further name is made; the second form for every such file of a loaded scenario.
void Keep_Inherited_Entries(Machine& machine, Fs_Node& file);
void Keep_Inherited_Entries_Of_Hard_Links(Machine& machine);
// Whether a default of Apply_Default_File_Security is what the entry states (not written back).
bool Is_Default_File_Security(const std::shared_ptr<Key_Security>& security);
// The entry at a path (junctions crossed, the last component itself), or null.
Fs_Node* Find_File_By_Path(Machine& machine, const Text& path);
// Access checks of the calling thread's token on drive C:. Only a token outside Administrators and
// without SYSTEM is checked (an ordinary user's process); every other token is granted, so the
// tool's own calls behave as before. The answers are 0 or ERROR_ACCESS_DENIED.
bool Checks_File_Access(Machine& machine);
// Creating an entry at path: FILE_ADD_SUBDIRECTORY (a folder) or FILE_ADD_FILE on its folder.
DWORD Check_Create_Access(Machine& machine, const Text& path, bool folder);
// Deleting or renaming the entry at path: DELETE on it, or FILE_DELETE_CHILD on its folder.
DWORD Check_Delete_Access(Machine& machine, const Text& path);
// A new entry made by the calling thread: an ordinary user owns it (others leave it to the default).
void Set_Creator(Machine& machine, Fs_Node& node);
// An ordinary user's junction: a new folder at link (Check_Create_Access) made a junction to target,
// as CreateDirectoryW followed by FSCTL_SET_REPARSE_POINT does. 0, or the error Windows gives.
DWORD Create_Junction(const Text& link, const Text& target);

}  // namespace winsim
