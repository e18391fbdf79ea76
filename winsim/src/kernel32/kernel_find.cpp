// Kernel32's folder listing over drive C:: FindFirstFileW, FindNextFileW and FindClose. Entries come
// in the order NTFS gives them: "." and ".." first in every folder but the root, then the names
// sorted without regard to case (the order Fs_Node keeps).
#include <windows.h>

#include <algorithm>
#include <vector>

#include "machine/handles.h"
#include "kernel32/kernel_open.h"
#include "machine/paths.h"

namespace winsim {

namespace {

// A file known only from a listing reports the size the listing gave.
uint64_t Node_Size(const Fs_Node& node) { return node.data.empty() ? node.listed_size : node.data.size(); }

struct Found_Entry {
    Text name;
    DWORD attributes = 0;
    uint64_t size = 0;
};

// A search handle: the entries that matched, taken when the search began.
struct Folder_Search : Kernel_Object {
    Text folder;
    std::string What() const override { return "search in " + To_Utf8(folder); }
    std::vector<Found_Entry> entries;
    size_t next = 0;
};

bool Has_Wildcard(const Text& pattern) { return pattern.find_first_of(u"*?") != Text::npos; }

void Fill(const Found_Entry& entry, WIN32_FIND_DATAW* data) {
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = entry.attributes;
    data->nFileSizeHigh = DWORD(entry.size >> 32);
    data->nFileSizeLow = DWORD(entry.size);
    // For a reparse point the first reserved member carries its tag.
    if (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) data->dwReserved0 = IO_REPARSE_TAG_MOUNT_POINT;
    size_t length = std::min(entry.name.size(), size_t(MAX_PATH - 1));
    std::copy(entry.name.begin(), entry.name.begin() + length, data->cFileName);
}

HANDLE Fail_Find(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

HANDLE FindFirstFileW(LPCWSTR pattern_path, LPWIN32_FIND_DATAW data) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text text = From_Wide_Pointer(pattern_path);
    DWORD error = 0;
    if (machine.Record_Call("FindFirstFileW", text, &error)) return Fail_Find(error);

    // "folder\pattern": the folder is looked up, the pattern is matched against its entries.
    size_t separator = text.find_last_of(u"\\/");
    if (separator == Text::npos) return Fail_Find(ERROR_PATH_NOT_FOUND);
    Text pattern = text.substr(separator + 1);
    Text folder_text = text.substr(0, separator + 1);
    if (!Has_Wildcard(pattern)) {
        // A plain name follows the path rules of a last component.
        Win32_Path named = Parse_Win32_Path(text);
        if (named.error != ERROR_SUCCESS) return Fail_Find(named.error);
        if (named.Is_Root() || named.trailing_separator) return Fail_Find(ERROR_FILE_NOT_FOUND);
        pattern = named.Last();
        named.Drop_Last();
        folder_text = named.full;
    }
    if (pattern.empty()) return Fail_Find(ERROR_FILE_NOT_FOUND);
    if (pattern.find_first_of(u"<>:\"|") != Text::npos) return Fail_Find(ERROR_INVALID_NAME);

    // The whole pattern path is what Windows converts: without the "\\?\" prefix it must stay under
    // MAX_PATH characters, folder, separator and pattern together.
    if (!Is_Verbatim(text)) {
        Win32_Path whole = Parse_Win32_Path(folder_text, false);
        if (whole.error == ERROR_SUCCESS) {
            Text& full = whole.full;
            if (full.back() != u'\\') full += u'\\';
            if (full.size() + pattern.size() > MAX_PATH - 1) return Fail_Find(ERROR_PATH_NOT_FOUND);
        }
    }
    Path_Lookup folder = Look_Up(machine, folder_text, true);
    if (!folder.node && folder.error == ERROR_INVALID_NAME) {
        // "file\*": the name is there, but it is no folder.
        Path_Lookup named = Look_Up(machine, folder.full, true);
        if (named.node && !named.node->directory) return Fail_Find(ERROR_DIRECTORY);
    }
    if (!folder.node) return Fail_Find(folder.error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : folder.error);
    // Listing opens the folder for reading, shared for reading and writing.
    if (Sharing_Conflict(machine, folder.node, Access_Read, FILE_SHARE_READ | FILE_SHARE_WRITE))
        return Fail_Find(ERROR_SHARING_VIOLATION);

    auto search = std::make_shared<Folder_Search>();
    search->folder = folder.full;
    if (folder.node != &machine.drive_c) {
        DWORD above = folder.parent ? Reported_Attributes(*folder.parent) : DWORD(FILE_ATTRIBUTE_DIRECTORY);
        if (Matches_Pattern(u".", pattern)) search->entries.push_back({u".", Reported_Attributes(*folder.node), 0});
        if (Matches_Pattern(u"..", pattern)) search->entries.push_back({u"..", above, 0});
    }
    for (const auto& child : folder.node->children)
        if (Matches_Pattern(child->name, pattern))
            search->entries.push_back({child->name, Reported_Attributes(*child), Node_Size(*child)});
    if (search->entries.empty()) return Fail_Find(ERROR_FILE_NOT_FOUND);

    Fill(search->entries[0], data);
    search->next = 1;
    return Add_Handle(search);
}

BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    auto search = Get_Handle_As<Folder_Search>(find);
    if (!search) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD error = 0;
    if (machine.Take_Fault("FindNextFileW", search->folder, &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (search->next >= search->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    Fill(search->entries[search->next++], data);
    return TRUE;
}

BOOL FindClose(HANDLE find) {
    if (!Get_Handle_As<Folder_Search>(find) || !Remove_Handle(find)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
