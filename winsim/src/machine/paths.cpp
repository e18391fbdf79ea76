// The Win32 path rules of drive C:: normalisation as Windows applies it before a path reaches the
// file system, and the lookup of the normalised path in the tree, junctions included.
#include "machine/paths.h"

#include <algorithm>

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
Win32_Path Parse_Verbatim(const Text& rest) {
    Win32_Path path;
    if (rest.size() < 2 || Upcase(rest[0]) != u'C' || rest[1] != u':' ||
        (rest.size() > 2 && rest[2] != u'\\')) {
        path.error = ERROR_PATH_NOT_FOUND;
        return path;
    }
    path.drive = rest[0];
    // Each component is taken whole, not a character at a time: a path may hold 16,000 of them.
    if (rest.size() > 3) path.parts.reserve(std::count(rest.begin() + 3, rest.end(), u'\\') + 1);
    size_t start = 3;
    while (start <= rest.size()) {
        size_t end = rest.find(u'\\', start);
        if (end == Text::npos) end = rest.size();
        if (end == rest.size() && end == start) {
            path.trailing_separator = rest.size() > 3;
            break;
        }
        const size_t length = end - start;
        if (length == 0 || rest.compare(start, length, u".") == 0 || rest.compare(start, length, u"..") == 0) {
            path.error = ERROR_INVALID_NAME;
            return path;
        }
        path.parts.emplace_back(rest, start, length);
        start = end + 1;
    }
    return path;
}

void Look_Up_At_Depth(Machine& machine, const Win32_Path& path, bool follow_last, int depth,
                      Path_Lookup& result);

// The folder a junction points to, or null when it is dangling or leads into itself.
Fs_Node* Junction_Target(Machine& machine, const Fs_Node& junction, int depth) {
    if (depth > kMaxJunctionDepth) return nullptr;
    Path_Lookup target;
    Look_Up_At_Depth(machine, Parse_Win32_Path(junction.link_target), true, depth, target);
    return target.node;
}

void Look_Up_At_Depth(Machine& machine, const Win32_Path& path, bool follow_last, int depth,
                      Path_Lookup& result) {
    result.full = path.Full();
    if (path.error != ERROR_SUCCESS) {
        result.error = path.error;
        return;
    }
    Fs_Node* node = &machine.drive_c;
    for (size_t i = 0; i < path.parts.size(); ++i) {
        bool is_last = i + 1 == path.parts.size();
        if (is_last) {
            result.parent = node;
            result.last = path.parts[i];
        }
        Fs_Node* child = node->Find_Child(path.parts[i]);
        if (child && !child->link_target.empty() && (!is_last || follow_last))
            child = Junction_Target(machine, *child, depth + 1);
        if (!child) {
            result.error = is_last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
            return;
        }
        if (!is_last && !child->directory) {
            result.error = ERROR_PATH_NOT_FOUND;
            return;
        }
        node = child;
    }
    // "file\": a file cannot be named as a folder.
    if (path.trailing_separator && !node->directory) {
        result.error = ERROR_INVALID_NAME;
        return;
    }
    result.node = node;
}

}  // namespace

Text Win32_Path::Full() const {
    Text full{drive, u':'};
    size_t length = full.size() + 1;
    for (const Text& part : parts) length += part.size() + 1;
    full.reserve(length);
    for (const Text& part : parts) {
        full += u'\\';
        full += part;
    }
    if (parts.empty()) full += u"\\";
    return full;
}

bool Is_Verbatim(const Text& path) { return path.compare(0, 4, u"\\\\?\\") == 0; }

Win32_Path Parse_Win32_Path(const Text& text, bool limit) {
    if (Is_Verbatim(text)) return Parse_Verbatim(text.substr(4));

    Win32_Path path;
    if (text.size() < 3 || Upcase(text[0]) != u'C' || text[1] != u':' || !Is_Separator(text[2])) {
        path.error = ERROR_PATH_NOT_FOUND;  // relative, another drive, a share: not on this machine
        return path;
    }
    path.drive = text[0];
    // Take the components apart first: the last one follows rules of its own.
    std::vector<Text> pieces;
    pieces.reserve(std::count_if(text.begin() + 3, text.end(), Is_Separator) + 1);
    path.parts.reserve(pieces.capacity());
    for (size_t start = 3; start < text.size();) {
        size_t end = start;
        while (end < text.size() && !Is_Separator(text[end])) ++end;
        if (end > start) pieces.emplace_back(text, start, end - start);
        start = end + 1;
    }
    path.trailing_separator = Is_Separator(text.back()) && !pieces.empty();
    for (size_t i = 0; i < pieces.size(); ++i) {
        Text& part = pieces[i];
        if (part == u".") continue;
        if (part == u"..") {
            if (!path.parts.empty()) path.parts.pop_back();
            continue;
        }
        bool is_last = i + 1 == pieces.size() && !path.trailing_separator;
        if (is_last) {
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
        path.parts.push_back(std::move(part));
    }
    // MAX_PATH counts the terminating zero: 259 characters at most.
    if (limit && path.Full().size() > MAX_PATH - 1) path.error = ERROR_PATH_NOT_FOUND;
    return path;
}

Path_Lookup Look_Up(Machine& machine, const Text& path, bool follow_last) {
    Path_Lookup result;
    Look_Up_At_Depth(machine, Parse_Win32_Path(path), follow_last, 0, result);
    return result;
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
