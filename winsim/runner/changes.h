// What a run changed: as `vpsim diff` finds it by comparing the machine before and after the run, and
// the helpers its text, JSON and HTML forms share (vpsim.cpp; the page: diff_html.cpp); and as the
// sweep compares runs, the machine's items before and after (machine_items.cpp).
#pragma once

#include "machine/machine.h"

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

// Keys and folders that went as a whole are one entry with the count of what was below them; values
// and files are listed one by one.
struct Tree_Entry {
    std::string path;
    size_t below = 0;
};

struct Value_Entry {
    std::string key;
    winsim::Text name;                        // empty: the key's default value
    const winsim::Reg_Value* value = nullptr;  // after the run (added and changed values)
};

struct Security_Entry {
    std::string key, before, after;
};

// A key that lost values and stays, with the values it keeps (a component shared with another
// product keeps that product's).
struct Kept_Key {
    std::string key;
    std::vector<const winsim::Reg_Value*> values;  // of the machine after the run
};

// Whose profile the run saw as HKEY_CURRENT_USER.
struct Run_Profile {
    bool local_system = false;
    std::string account, sid;  // machine.ini's [user]: the administrator whose profile it is (may be empty)
};

// A line of the run's log on what it kept on purpose, left alone or could not remove.
struct Log_Note {
    std::string what;    // "Kept on purpose", "Left alone" or "Not removed"
    std::string reason;  // as the log gives it (may be empty)
    std::string path;
};

// What the run changed in the hive of one user's profile (of ProfileList) other than the run's own
// HKEY_CURRENT_USER: a hive loaded because the user is logged on, or the profile's NTUSER.DAT that the
// run loaded, changed and unloaded. Key paths are below the hive's root.
struct Profile_Hive_Changes {
    std::string sid, folder;  // the ProfileList entry and its ProfileImagePath
    std::string hive;         // HKEY_USERS\SID when loaded; else the hive file's path
    bool loaded = true;
    std::vector<Tree_Entry> keys_removed, keys_added;
    std::vector<Value_Entry> values_removed, values_changed, values_added;
};

struct Changes {
    Run_Profile profile;
    std::vector<Tree_Entry> keys_removed, keys_added;
    std::vector<Value_Entry> values_removed, values_changed, values_added;
    std::vector<Tree_Entry> nodes_removed, nodes_added;  // a folder's path ends in a backslash
    std::vector<std::string> files_changed;
    std::vector<Value_Entry> run_once;  // RunOnce values that the run added or changed
    std::vector<std::string> restart;   // deleted at the next restart
    std::vector<Security_Entry> security;
    std::vector<Security_Entry> file_security;  // files and folders (paths on drive C:)
    std::vector<Kept_Key> kept;
    std::string exit_code;              // empty: the run folder does not say
    std::string computer, collected;    // machine.ini's [collection] (empty: not a collection)
    std::vector<Log_Note> notes;
    std::vector<Profile_Hive_Changes> user_hives;  // in ProfileList's order; only hives that changed
    std::vector<std::shared_ptr<winsim::Reg_Key>> hive_files;  // hive files read after the run (entries point into them)
};

// The title of a profile's hive changes: "SID (FOLDER): the hive loaded as HKEY_USERS\SID" or
// "SID (FOLDER): the hive file PATH, not loaded".
std::string Profile_Hive_Title(const Profile_Hive_Changes& hive);

// A value's data as text: strings as they are (a multi-string's parts joined with " | "), numbers
// in decimal, anything else in hexadecimal bytes.
std::string Value_Data(const winsim::Reg_Value& value);
// "The run's HKEY_CURRENT_USER: ..." without a line end.
std::string Profile_Line(const Run_Profile& profile);

// A security change in words ("On this key, Local Service may now read, change and delete."), one
// sentence a line; key is whether it is a registry key's (sddl_words.cpp).
std::string Security_Words(const std::string& before, const std::string& after, bool key);
// The exit code's meaning for an administrator ("done; no restart needed").
std::string Exit_Code_Meaning(const std::string& code);
// Loads the machine before the run and the run's folder and lists what the run changed; the
// entries point into after.
bool Compare_Runs(winsim::Machine& before, winsim::Machine& after, const std::string& before_dir,
                  const std::string& after_dir, Changes& changes, std::string& error);
// The changes as `vpsim diff --json` writes them; a text as a JSON string.
std::string Json_Text(const Changes& changes);
std::string Json_String(const std::string& text);
// ASCII letters in capitals: paths and key names compared as Windows does for the names the tool writes.
std::string Upper(std::string text);
// Text made safe for an HTML page, and the style sheet the pages share.
std::string Html(const std::string& text);
extern const char kPageStyle[];

// The preview as one HTML page that needs nothing beside it: a summary of the counts, the exit code
// with its meaning (exit_meaning), then the changes by stage of the run (diff_html.cpp).
std::string Html_Page(const Changes& changes, const std::string& exit_meaning);

// The machine as items, one string each, so that what a run changed is the items it took away and
// added: every key ("K PATH"), value ("V PATH "NAME" TYPE DATA"), folder ("D PATH"), file ("F PATH")
// and file content ("C PATH SIZE:HASH"), restart deletion ("R PATH") and key or file security ("S PATH |
// before: ... | after: ..."), names in upper case. The log and the registry backup count by their
// presence, whichever name they took, and so do RunOnce's values and the restart list.
using Items = std::unordered_set<std::string>;

struct Item_Rules {
    std::string log_folder;  // upper case, with its closing backslash
    std::string log_path;    // the log's usual path, upper case
};

Items Machine_Items(winsim::Machine& machine, const Item_Rules& rules);
