// Kernel32's folder and file calls over drive C: of the simulated machine: the Windows folder,
// folder creation and file deletion, with the error values that Windows gives.
#include "kernel32/kernel_files.h"

#include <windows.h>

#include <algorithm>

#include "kernel32/kernel_open.h"
#include "machine/paths.h"

namespace winsim {

bool Has_Invalid_Name_Character(const Text& path) {
    // "\\?\C:" or "C:" comes before the names.
    size_t start = path.compare(0, 4, u"\\\\?\\") == 0 ? 6 : 2;
    for (size_t i = start; i < path.size(); ++i) {
        char16_t c = path[i];
        if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' ||
            c == u'*')
            return true;
    }
    return false;
}

}  // namespace winsim

using namespace winsim;

UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD error = 0;
    if (machine.Take_Fault("GetWindowsDirectoryW", Text(), &error)) {
        SetLastError(error);
        return 0;
    }
    const Text& folder = machine.windows_directory;
    // Too small a buffer is left alone; the answer is then the size needed, terminator included.
    if (!buffer || size <= folder.size()) return UINT(folder.size() + 1);
    std::copy(folder.begin(), folder.end(), buffer);
    buffer[folder.size()] = 0;
    return UINT(folder.size());
}

// The command line cannot fail: the process's own, set by the runner before the entry point.
LPWSTR GetCommandLineW() { return &The_Machine().command_line[0]; }

BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD error = 0;
    if (machine.Take_Fault("GetComputerNameW", Text(), &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (!size) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const Text name = From_Utf8(machine.Computer_Name());
    // Too small a buffer: the size needed, terminator included.
    if (!buffer || *size <= name.size()) {
        *size = DWORD(name.size() + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::copy(name.begin(), name.end(), buffer);
    buffer[name.size()] = 0;
    *size = DWORD(name.size());
    return TRUE;
}

namespace {

// The folder that is to hold a new entry at `full` (its name in `last`), or null with the error set:
// 183 when the name is taken, 3 when the folder is missing, or what the access check refuses.
Fs_Node* Place_For_New_Entry(Machine& machine, const Text& full, bool folder, Text& last) {
    Fs_Node* parent = nullptr;
    if (machine.Find_Path(full, &parent, &last)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return nullptr;
    }
    if (!parent) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    if (DWORD denied = Check_Create_Access(machine, full, folder)) {
        SetLastError(denied);
        return nullptr;
    }
    return parent;
}

}  // namespace

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text full = From_Wide_Pointer(path);
    DWORD error = 0;
    if (machine.Record_Call("CreateDirectoryW", full, &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (Has_Invalid_Name_Character(full)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    // Without the "\\?\" prefix a new folder's path leaves room for an 8.3 name: MAX_PATH - 12
    // characters at most, terminator included.
    Win32_Path parsed = Parse_Win32_Path(full, false);
    if (parsed.error == ERROR_SUCCESS && !Is_Verbatim(full) && parsed.full.size() > MAX_PATH - 13) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    Text last;
    Fs_Node* parent = Place_For_New_Entry(machine, full, true, last);
    if (!parent) return FALSE;
    Set_Creator(machine, *parent->Add_Child(last, true));
    return TRUE;
}

// A further name of an existing file on the same drive; it shares the file's data, attributes and
// security. A folder cannot have one (5).
BOOL CreateHardLinkW(LPCWSTR new_name, LPCWSTR existing, LPSECURITY_ATTRIBUTES) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text full = From_Wide_Pointer(new_name);
    DWORD error = 0;
    if (machine.Record_Call("CreateHardLinkW", full, &error)) {
        SetLastError(error);
        return FALSE;
    }
    Path_Lookup file = Look_Up(machine, From_Wide_Pointer(existing), true);
    if (!file.node) {
        SetLastError(file.error);
        return FALSE;
    }
    if (file.node->directory) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    Text last;
    Fs_Node* parent = Place_For_New_Entry(machine, full, false, last);
    if (!parent) return FALSE;
    parent->Add_Name(last, *file.node);
    Keep_Inherited_Entries(machine, *file.node);
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text full = From_Wide_Pointer(path);
    DWORD error = 0;
    if (machine.Record_Call("DeleteFileW", full, &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (Has_Invalid_Name_Character(full)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    // The entry itself: a junction is refused below as the folder entry it is.
    Path_Lookup found = Look_Up(machine, full, false);
    Fs_Node* parent = found.parent;
    Fs_Node* node = found.node;
    if (!node) {
        // Only the last component missing: the file; anything before it: the path.
        SetLastError(found.error);
        return FALSE;
    }
    // The order follows Windows: a folder is refused when it is opened as a file, a sharing
    // conflict when the file is opened for deletion, the read-only attribute when it is marked.
    if (node->directory || !parent) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (DWORD denied = Check_Delete_Access(machine, full)) {
        SetLastError(denied);
        return FALSE;
    }
    // Opening the file for deletion breaks an opportunistic lock on it, and waits for that.
    Open_Breaks_Oplock(machine, node, DELETE, 0, "DeleteFileW", found.full);
    if (Sharing_Conflict(machine, node, Access_Delete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (node->attributes & FILE_ATTRIBUTE_READONLY) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    Text name = node->name;  // a copy: the node goes away during the removal
    Remove_Entry(machine, *parent, name);
    return TRUE;
}

DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* file_part) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text text = From_Wide_Pointer(path);
    DWORD error = 0;
    if (machine.Record_Call("GetFullPathNameW", text, &error)) {
        SetLastError(error);
        return 0;
    }
    if (text.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    // Only the text is formed, with no length limit; "\\?\" paths come back as they are. The
    // simulated process has no current folder, so only absolute paths of drive C: are formed.
    Text full;
    if (Is_Verbatim(text)) {
        full = text;
    } else {
        Win32_Path parsed = Parse_Win32_Path(text, false);
        if (parsed.error != ERROR_SUCCESS) {
            SetLastError(parsed.error);
            return 0;
        }
        full = parsed.full;
        if (parsed.trailing_separator) full += u'\\';
    }
    if (full.size() > 32766) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    // Too small a buffer is left alone; the answer is then the size needed, terminator included.
    if (!buffer || size <= full.size()) return DWORD(full.size() + 1);
    std::copy(full.begin(), full.end(), buffer);
    buffer[full.size()] = 0;
    if (file_part) {
        size_t separator = full.rfind(u'\\');
        *file_part = separator == Text::npos || separator + 1 == full.size() ? nullptr : buffer + separator + 1;
    }
    return DWORD(full.size());
}

namespace winsim {

namespace {

// Whether a name is a valid 8.3 name as it stands (then it is its own short name): at most eight
// characters, a dot and at most three more, none of them a blank, a further dot or one of + , ; = [ ].
bool Is_Short_Form(const Text& name) {
    size_t dot = name.find(u'.');
    Text base = name.substr(0, dot), extension = dot == Text::npos ? Text() : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || extension.size() > 3 || extension.find(u'.') != Text::npos) return false;
    for (char16_t c : name)
        if (c == u' ' || c == u'+' || c == u',' || c == u';' || c == u'=' || c == u'[' || c == u']' || c > 0x7E)
            return false;
    return true;
}

// The characters of part that a short name keeps: upper case, without blanks, dots and the
// characters 8.3 names refuse (each of those becomes '_'), at most count of them.
Text Short_Part(const Text& part, size_t count) {
    Text kept;
    for (char16_t c : part) {
        if (kept.size() == count) break;
        if (c == u' ' || c == u'.') continue;
        if (c == u'+' || c == u',' || c == u';' || c == u'=' || c == u'[' || c == u']' || c > 0x7E) c = u'_';
        kept += (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
    }
    return kept;
}

Text Short_Basis(const Text& name) {
    size_t dot = name.rfind(u'.');
    Text base = Short_Part(name.substr(0, dot == 0 ? Text::npos : dot), 6);
    Text extension = dot == Text::npos || dot == 0 ? Text() : Short_Part(name.substr(dot + 1), 3);
    return base + u"~" + (extension.empty() ? Text() : u"." + extension);
}

// The entry of a folder whose winsim 8.3 short name is part, or null. An entry whose name is not a
// valid 8.3 name has the short name made of the first six kept characters of its base, "~N" and the
// first three of its extension, N counting the entries up to it in the folder (in listing order)
// with the same six and three, as NTFS numbers the first ones it makes (Windows numbers them by
// creation, and switches to a hash after four).
const Fs_Node* Entry_Of_Short_Name(const Fs_Node& folder, const Text& part) {
    size_t tilde = part.find(u'~');
    if (tilde == Text::npos) return nullptr;
    size_t dot = part.find(u'.', tilde);
    Text digits = part.substr(tilde + 1, dot == Text::npos ? Text::npos : dot - tilde - 1);
    if (digits.empty() || digits.size() > 6) return nullptr;
    unsigned number = 0;
    for (char16_t c : digits) {
        if (c < u'0' || c > u'9') return nullptr;
        number = number * 10 + unsigned(c - u'0');
    }
    const Text basis = part.substr(0, tilde + 1) + (dot == Text::npos ? Text() : part.substr(dot));
    unsigned seen = 0;
    for (const auto& child : folder.children) {
        if (Is_Short_Form(child->name)) continue;
        const Text child_basis = Short_Basis(child->name);
        if (child_basis.size() == basis.size() && Same_Name(child_basis, basis) && ++seen == number) return child.get();
    }
    return nullptr;
}

}  // namespace

}  // namespace winsim

DWORD GetLongPathNameW(LPCWSTR short_path, LPWSTR long_path, DWORD size) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text text = From_Wide_Pointer(short_path);
    DWORD error = 0;
    if (machine.Record_Call("GetLongPathNameW", text, &error)) {
        SetLastError(error);
        return 0;
    }
    Win32_Path parsed = Parse_Win32_Path(text, false);
    if (parsed.error != ERROR_SUCCESS) {
        SetLastError(parsed.error);
        return 0;
    }
    // Each name in turn: an entry of that name keeps it; else the entry whose short name it is gives
    // its long name; else the path is not there.
    Text long_form = u"C:";
    const std::vector<Text> parts = parsed.Parts();
    for (size_t i = 0; i < parts.size(); ++i) {
        const Text& part = parts[i];
        Path_Lookup folder = Look_Up(machine, long_form + u"\\", true);
        const DWORD missing = i + 1 == parts.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        if (!folder.node || !folder.node->directory) {
            SetLastError(folder.node ? ERROR_PATH_NOT_FOUND : folder.error);
            return 0;
        }
        const Fs_Node* named = folder.node->Find_Child(part);
        if (!named) named = Entry_Of_Short_Name(*folder.node, part);
        if (!named) {
            SetLastError(missing);
            return 0;
        }
        long_form += u"\\" + (named->name.size() == part.size() && Same_Name(named->name, part) ? part : named->name);
    }
    if (parts.empty()) long_form += u"\\";
    if (!long_path || size <= long_form.size()) return DWORD(long_form.size() + 1);
    std::copy(long_form.begin(), long_form.end(), long_path);
    long_path[long_form.size()] = 0;
    return DWORD(long_form.size());
}
