// What a run changed: as `vpsim diff` finds it by comparing the machine before and after the run, and
// the helpers its text, JSON and HTML forms share (vpsim.cpp; the page: diff_html.cpp); and as the
// sweep compares runs, the machine's items before and after (machine_items.cpp).
#pragma once

#include "machine/machine.h"

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
};

// A value's data as text: strings as they are (a multi-string's parts joined with " | "), numbers
// in decimal, anything else in hexadecimal bytes.
std::string Value_Data(const winsim::Reg_Value& value);
// "The run's HKEY_CURRENT_USER: ..." without a line end.
std::string Profile_Line(const Run_Profile& profile);

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
