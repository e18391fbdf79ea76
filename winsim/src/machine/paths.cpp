// The Win32 path rules of drive C:: normalisation as Windows applies it before a path reaches the
// file system, and the lookup of the normalised path in the tree, junctions included.
#include "machine/paths.h"

namespace winsim {

namespace {

// Junctions crossed while resolving one path; more means a junction that leads into itself.
const int kMaxJunctionDepth = 32;

bool Is_Separator(char16_t c) { return c == u'\\' || c == u'/'; }

bool Has_Reserved_Character(const Text& name) {
    for (char16_t c : name)
        if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' ||
            c == u'*')
            return true;
    return false;
}

// "\\?\C:\a\b": the components are taken as they are, separated by '\' only.
Win32_Path Parse_Verbatim(const Text& text) {
    Win32_Path path;
    const size_t root = 4;  // after "\\?\"
    if (text.size() < root + 2 || Upcase(text[root]) != u'C' || text[root + 1] != u':' ||
        (text.size() > root + 2 && text[root + 2] != u'\\')) {
        path.error = ERROR_PATH_NOT_FOUND;
        return path;
    }
    // Each component is taken whole, not a character at a time: a path may hold 16,000 of them.
    size_t start = root + 3, parts_end = start;
    while (start <= text.size()) {
        size_t end = text.find(u'\\', start);
        if (end == Text::npos) end = text.size();
        if (end == text.size() && end == start) {
            path.trailing_separator = text.size() > root + 3;
            break;
        }
        const size_t length = end - start;
        if (length == 0 || (text[start] == u'.' && (length == 1 || (length == 2 && text[start + 1] == u'.')))) {
            path.error = ERROR_INVALID_NAME;
            break;
        }
        parts_end = end;
        start = end + 1;
    }
    // Nothing is changed: the components joined are the text itself.
    if (parts_end == root + 3) path.full[0] = text[root];
    else path.full.assign(text, root, parts_end - root);
    return path;
}

void Look_Up_At_Depth(Machine& machine, Win32_Path&& path, bool follow_last, int depth, Path_Lookup& result,
                      Machine::Folder_Memo* memo = nullptr);

// The folder a junction points to, or null when it is dangling or leads into itself.
Fs_Node* Junction_Target(Machine& machine, const Fs_Node& junction, int depth) {
    if (depth > kMaxJunctionDepth) return nullptr;
    Path_Lookup target;
    Look_Up_At_Depth(machine, Parse_Win32_Path(junction.link_target), true, depth, target);
    return target.node;
}

// The deepest remembered folder that full passes through (compared without regard to case, as
// names are), and where its text ends; the memo forgets the folders below it.
std::pair<Fs_Node*, size_t> Deepest_Folder_On(Machine& machine, const Text& full, Machine::Folder_Memo& memo) {
    auto& folders = memo.folders;
    if (memo.generation != Fs_Generation() || folders.empty()) {
        folders.assign(1, {&machine.drive_c, 2});
        memo.generation = Fs_Generation();
        return folders.back();
    }
    const Text& known = memo.full;
    size_t same = 0;
    const size_t most = std::min(known.size(), full.size());
    while (same < most && (known[same] == full[same] || Upcase(known[same]) == Upcase(full[same]))) ++same;
    while (folders.size() > 1 &&
           (folders.back().second > same || folders.back().second >= full.size() || full[folders.back().second] != u'\\'))
        folders.pop_back();
    return folders.back();
}

// Looks the normalised path up from the root, or, with a memo, from the deepest folder it remembers
// on the path; the memo then remembers the path's folders.
void Look_Up_At_Depth(Machine& machine, Win32_Path&& path, bool follow_last, int depth, Path_Lookup& result,
                      Machine::Folder_Memo* memo) {
    result.full = std::move(path.full);
    if (path.error != ERROR_SUCCESS) {
        result.error = path.error;
        return;
    }
    const Text& full = result.full;
    Fs_Node* node = &machine.drive_c;
    size_t start = 3;
    if (memo) {
        auto from = Deepest_Folder_On(machine, full, *memo);
        node = from.first;
        start = from.second + 1;
        memo->full = full;
    }
    bool through_junction = false;  // the memo keeps only folders reached without one (Remove_Entry)
    Text name;
    while (start < full.size()) {
        size_t end = full.find(u'\\', start);
        if (end == Text::npos) end = full.size();
        const bool is_last = end == full.size();
        name.assign(full, start, end - start);
        start = end + 1;
        if (is_last) {
            result.parent = node;
            result.last = name;
        }
        Fs_Node* child = node->Find_Child(name);
        if (child && !child->link_target.empty() && (!is_last || follow_last)) {
            child = Junction_Target(machine, *child, depth + 1);
            through_junction = true;
        }
        if (!child) {
            result.error = is_last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
            return;
        }
        if (!is_last && !child->directory) {
            result.error = ERROR_PATH_NOT_FOUND;
            return;
        }
        node = child;
        if (memo && !is_last && !through_junction) memo->folders.emplace_back(node, end);
    }
    // "file\": a file cannot be named as a folder.
    if (path.trailing_separator && !node->directory) {
        result.error = ERROR_INVALID_NAME;
        return;
    }
    result.node = node;
}

}  // namespace

std::vector<Text> Win32_Path::Parts() const {
    std::vector<Text> parts;
    for (size_t start = 3; start < full.size();) {
        size_t end = full.find(u'\\', start);
        if (end == Text::npos) end = full.size();
        parts.emplace_back(full, start, end - start);
        start = end + 1;
    }
    return parts;
}

Text Win32_Path::Last() const { return Is_Root() ? Text() : full.substr(full.rfind(u'\\') + 1); }

void Win32_Path::Drop_Last() {
    if (Is_Root()) return;
    full.resize(full.rfind(u'\\'));
    if (full.size() == 2) full += u'\\';
}

bool Is_Verbatim(const Text& path) { return path.compare(0, 4, u"\\\\?\\") == 0; }

Win32_Path Parse_Win32_Path(const Text& text, bool limit) {
    if (Is_Verbatim(text)) return Parse_Verbatim(text);

    Win32_Path path;
    if (text.size() < 3 || Upcase(text[0]) != u'C' || text[1] != u':' || !Is_Separator(text[2])) {
        path.error = ERROR_PATH_NOT_FOUND;  // relative, another drive, a share: not on this machine
        return path;
    }
    path.full[0] = text[0];
    path.full.reserve(text.size() + 1);
    // The last component follows rules of its own: where it ends is known before the walk.
    size_t last_end = text.size();
    while (last_end > 3 && Is_Separator(text[last_end - 1])) --last_end;
    path.trailing_separator = last_end < text.size() && last_end > 3;
    for (size_t start = 3; start < last_end;) {
        size_t end = start;
        while (end < last_end && !Is_Separator(text[end])) ++end;
        const size_t length = end - start;
        const size_t from = start;
        start = end + 1;
        if (length == 0) continue;
        if (text[from] == u'.' && length <= 2 && text[end - 1] == u'.') {
            if (length == 2) path.Drop_Last();  // ".."
            continue;
        }
        Text part(text, from, length);
        if (end == last_end && !path.trailing_separator) {
            // Every trailing full stop and blank goes: "Corvanta LLP." names "Corvanta LLP".
            while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
            if (part.empty()) continue;
        } else if (part.back() == u'.' && part[part.size() - 2] != u'.') {
            part.pop_back();  // one full stop ending an inner component; "a..\" keeps both
        }
        if (Has_Reserved_Character(part)) {
            path.error = ERROR_INVALID_NAME;
            return path;
        }
        if (!path.Is_Root()) path.full += u'\\';  // the root's separator is there already
        path.full += part;
    }
    // MAX_PATH counts the terminating zero: 259 characters at most.
    if (limit && path.full.size() > MAX_PATH - 1) path.error = ERROR_PATH_NOT_FOUND;
    return path;
}

Path_Lookup Look_Up(Machine& machine, const Text& path, bool follow_last) {
    Path_Lookup result;
    Look_Up_At_Depth(machine, Parse_Win32_Path(path), follow_last, 0, result, &machine.folder_memo);
    return result;
}

void Remove_Entry(Machine& machine, Fs_Node& folder, const Text& name) {
    Machine::Folder_Memo& memo = machine.folder_memo;
    const bool memo_stays =
        memo.generation == Fs_Generation() && !memo.folders.empty() && memo.folders.back().first == &folder;
    folder.Remove_Child(name);
    if (memo_stays) memo.generation = Fs_Generation();
}

DWORD Reported_Attributes(const Fs_Node& node) {
    return node.attributes == 0 ? DWORD(FILE_ATTRIBUTE_NORMAL) : node.attributes;
}

bool Matches_Pattern(const Text& name, const Text& pattern) {
    if (pattern == u"*" || pattern == u"*.*") return true;
    // Classic wildcard matching with one point to come back to after the last '*'.
    size_t n = 0, p = 0, star = Text::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || Upcase(pattern[p]) == Upcase(name[n]))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = n;
        } else if (star != Text::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

}  // namespace winsim
