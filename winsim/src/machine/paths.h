// The Win32 path rules of drive C:, shared by the simulated file calls: how a path text is
// normalised, how it is looked up in the tree of drive C: (junctions included), and which error
// Windows gives for each way a lookup can fail.
#pragma once

#include "machine/machine.h"

#include <vector>

namespace winsim {

// A path taken apart as Windows normalises it. A drive path ("C:\a\b", '/' accepted as separator)
// has its doubled separators collapsed, "." and ".." components resolved, a single trailing full
// stop dropped from each inner component, and trailing full stops and blanks dropped from the last
// one unless the path ends with a separator. With the "\\?\" prefix nothing is changed and only
// '\' separates. A path that is not absolute on drive C:, or longer than MAX_PATH - 1 characters
// after normalisation without that prefix, fails with ERROR_PATH_NOT_FOUND; a reserved character
// in a name (< > : " | ? * or a control character) with ERROR_INVALID_NAME.
struct Win32_Path {
    Text full = u"C:\\";  // "C:\a\b" in the case as given, drive letter included; "C:\" for the root
    bool trailing_separator = false;
    DWORD error = ERROR_SUCCESS;  // why the text cannot name anything, or 0

    // The components below the root, split from full (none of them holds a '\'). A lookup walks full
    // instead: a path may hold 16,000 of them.
    std::vector<Text> Parts() const;
    bool Is_Root() const { return full.size() == 3; }
    Text Last() const;  // the last component; empty for the root
    void Drop_Last();   // the last component less; the root stays
};
// Without limit, the MAX_PATH rule is left out (GetFullPathNameW, which only forms the text).
Win32_Path Parse_Win32_Path(const Text& path, bool limit = true);
// True for a path in the "\\?\" form, which Windows takes as it is.
bool Is_Verbatim(const Text& path);

// The result of looking a path up on drive C:.
struct Path_Lookup {
    Fs_Node* node = nullptr;    // what the path names, or null
    Fs_Node* parent = nullptr;  // the folder that holds (or would hold) the last component
    Text last;                  // the last component as given
    Text full;                  // the normalised path text
    DWORD error = ERROR_SUCCESS;  // without node: 2 (only the last component missing), 3, 123, ...
};

// Looks a path up. A junction met as an inner component is crossed into its target; as the last
// component it is what the path names, unless follow_last asks for its target (as opening a
// junction without FILE_FLAG_OPEN_REPARSE_POINT does).
Path_Lookup Look_Up(Machine& machine, const Text& path, bool follow_last);

// Removes the entry name from folder, as a deletion does. The folders that the lookups remember
// (Machine::folder_memo) lead from the root down without a junction: when they end at this folder,
// as the lookup of the entry's path leaves them, the entry is none of them and they stay.
void Remove_Entry(Machine& machine, Fs_Node& folder, const Text& name);

// The attribute word that Windows reports for a node: a file without any attribute is
// FILE_ATTRIBUTE_NORMAL.
DWORD Reported_Attributes(const Fs_Node& node);

// Matches a name against a search pattern with '*' and '?', without regard to case; "*.*" matches
// every name, as it does on Windows.
bool Matches_Pattern(const Text& name, const Text& pattern);

}  // namespace winsim
