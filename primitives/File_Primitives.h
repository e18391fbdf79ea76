// The file-system operations through which every file stage works: attributes, existence, folder
// listing, special-folder paths; the changes (deletion with retries and restart-time deletion, tree
// removal) are the operations of Changes() (Machine_Changes.h), whose live implementation is here. The
// reads answer as the implementation of the changes in force says the machine stands.
#pragma once

#include <windows.h>

#include "diagnostics/Lib_Result.h"
#include "foundation/Lib_Lists.h"
#include "foundation/Lib_String.h"
#include "primitives/Machine_Changes.h"

#include <vector>

enum SC_Object_State {
    SC_Object_Exists,
    SC_Object_Missing,
    SC_Object_Failed,
};

bool SC_Get_File_Attributes(const WCHAR* path, DWORD& attributes, Lib_Result& result);
SC_Object_State SC_Is_File_System_Object_Exists(const WCHAR* path);
// Appends the names of the folder's entries ("." and ".." left out) in listing order; a missing
// folder lists as empty.
bool SC_Find_Files(const WCHAR* folder, Wide_Name_List& names, Lib_Result& result);
bool SC_Is_Directory_Empty(const WCHAR* folder, bool& empty, Lib_Result& result);
// The run's waiting for refused deletions, its count of restart deletions and its counts of what it
// removed (Removed_So_Far) start anew (for tests: one run per machine).
void SC_Reset_Delete_Waiting();

// How many deletions the run has scheduled for the restart so far, whichever stage asked for them.
unsigned SC_Restart_Deletions_Scheduled();
// The folder's entries as they are listed, nothing left out; a missing folder lists as empty.
bool SC_List_Folder(const WCHAR* folder, Wide_Name_List& names, Lib_Result& result);
// Whether the attributes are a folder link's (a junction or a folder symbolic link).
bool SC_Is_Folder_Link(DWORD attributes);

// The tree removal (Changes().SC_Remove_Directory) removes a folder tree, children first. With defer,
// a folder still in use is scheduled for removal at the next restart. Folder links (junctions, folder
// symbolic links) are removed as links: their targets are never entered. Each folder of the tree is
// held open, without delete sharing, from its check until its contents are done, so that it cannot be
// swapped for a link meanwhile. Paths that grow past what Windows takes in the ordinary form are given
// to the calls in the extended form ("\\?\C:\..."); the log shows the ordinary form.

// The extended-length form of a full path: "\\?\" before a drive path, "\\?\UNC\" in place of
// the leading "\\" of a UNC path; a path already in the "\\?\" or "\\.\" form stays as it is.
Lib_StringW SC_Extended_Path(const WCHAR* full_path);
// The path of a tree being walked, one entry at a time (Enter goes down to an entry of the folder it
// names, Leave back up): the ordinary form, which the log shows, and the extended-length form, formed
// once some call needs it. Windows refuses an ordinary path of MAX_PATH characters or more; the
// extended form has no such limit, but Windows takes it as it is (no "." or ".." resolved, no
// trailing full stops dropped), so it is formed from the full path of the walk's root, as Windows
// would normalise it, with the names of the listings added exactly as they were listed. One text
// grows and shrinks with the walk, so a walk costs no more memory than its deepest path, whatever the
// depth of the tree.
class Walk_Path {
public:
    explicit Walk_Path(const WCHAR* root);

    void Enter(const WCHAR* entry_name);
    void Leave();

    // The text a call is given for this path followed by extra characters ("\*" for a listing): the
    // ordinary form while it fits, else the extended form. False (reported) when that cannot be formed.
    bool For_Call(long long extra, Lib_StringW& text);
    const Lib_StringW& Shown() const { return shown; }

private:
    Lib_StringW shown;
    std::vector<long long> lengths;  // the length of shown before each entry that was entered
    long long root_length = 0;
    Lib_StringW extended_root;  // empty until formed
};
// The special folder (created when missing, with create) joined with the sub-folder and file name
// that are given; without create a folder that is not there is no failure reported.
bool SC_Special_Folder_Path(int csidl, const WCHAR* sub_folder, const WCHAR* file_name, bool create,
                            Lib_StringW& path, Lib_Result& result);
