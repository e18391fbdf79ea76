// drive_c.listing: one line per file or folder, "ATTRIBUTES|SIZE|C:\PATH" as cmd's %~a, %~z and %~f
// give them ("--a--------|2048|C:\Windows\System32\vpAPI.dll", "d----------||C:\ProgramData\X").
// Attribute letters: d folder, r read-only, a archive, h hidden, s system, l link; others are
// ignored. A listed file is present with its attributes and size; its contents are not known. A file
// that drive_c/ holds keeps its contents and takes the listed attributes. A link (junction or
// symbolic link) is an entry with the link attribute that points nowhere; what is listed below it
// is left out, since where it points is not in the listing. UTF-8 (with or without byte-order mark)
// or UTF-16LE (with or without one); CR LF or LF.
#include "scenario/collected.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "scenario/host_files.h"
#include "machine/tree_walk.h"

namespace fs = std::filesystem;

namespace winsim {

namespace {

bool Read_Bytes(const fs::path& path, std::vector<uint8_t>& bytes, const std::string& shown, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        error = shown + ": cannot read: " + std::strerror(errno);
        return false;
    }
    return true;
}

Text Decode(const std::vector<uint8_t>& bytes) {
    bool bom16 = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    if (bom16 || (bytes.size() >= 2 && bytes[0] != 0 && bytes[1] == 0)) {
        Text text;
        for (size_t i = bom16 ? 2 : 0; i + 1 < bytes.size(); i += 2) text += char16_t(bytes[i] | (bytes[i + 1] << 8));
        return text;
    }
    size_t skip = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
    return From_Utf8(std::string(bytes.begin() + skip, bytes.end()));
}

bool Is_Windows_Name(const Text& name) {
    if (name.empty() || name == u"." || name == u"..") return false;
    for (char16_t c : name)
        if (c < 0x20 || Text(u"\\/:*?\"<>|").find(c) != Text::npos) return false;
    return name.back() != u'.' && name.back() != u' ';
}

bool Apply_Line(Machine& machine, const Text& line, std::string& why) {
    size_t first = line.find(u'|');
    size_t second = first == Text::npos ? first : line.find(u'|', first + 1);
    if (second == Text::npos) {
        why = "expected ATTRIBUTES|SIZE|PATH";
        return false;
    }
    Text letters = line.substr(0, first), size_text = line.substr(first + 1, second - first - 1);
    Text path = line.substr(second + 1);
    if (path.size() < 3 || !(path[0] == u'C' || path[0] == u'c') || path.compare(1, 2, u":\\") != 0) {
        why = "\"" + To_Utf8(path) + "\" is not a path on drive C:";
        return false;
    }
    DWORD attributes = 0;
    bool directory = false;
    for (char16_t c : letters) {
        if (c == u'd') directory = true;
        else if (c == u'r') attributes |= FILE_ATTRIBUTE_READONLY;
        else if (c == u'a') attributes |= FILE_ATTRIBUTE_ARCHIVE;
        else if (c == u'h') attributes |= FILE_ATTRIBUTE_HIDDEN;
        else if (c == u's') attributes |= FILE_ATTRIBUTE_SYSTEM;
        else if (c == u'l') attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    uint64_t size = 0;
    if (!size_text.empty()) {
        if (size_text.size() > 19 || size_text.find_first_not_of(u"0123456789") != Text::npos) {
            why = "bad size \"" + To_Utf8(size_text) + "\"";
            return false;
        }
        for (char16_t c : size_text) size = size * 10 + uint64_t(c - u'0');
    }
    // Walk down from the drive's root, making the folders on the way.
    Fs_Node* node = &machine.drive_c;
    size_t start = 3;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == Text::npos) end = path.size();
        Text name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty() && end == path.size()) break;  // a trailing backslash
        if (!Is_Windows_Name(name)) {
            why = "\"" + To_Utf8(name) + "\" is not a valid Windows file name";
            return false;
        }
        bool last = end == path.size();
        bool folder = !last || directory;
        // Below a link: where it points is not listed, so what dir found through it is left out.
        if (node->attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
        Fs_Node* child = node->Find_Child(name);
        if (child && child->directory != folder) {
            why = "\"" + To_Utf8(path.substr(0, end)) + "\" is listed both as a file and as a folder";
            return false;
        }
        if (!child) child = node->Add_Child(name, folder);
        node = child;
    }
    if (node == &machine.drive_c) return true;
    if (directory) {
        node->attributes = FILE_ATTRIBUTE_DIRECTORY | attributes;
    } else {
        node->attributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
        if (node->data.empty()) node->listed_size = size;
    }
    return true;
}

}  // namespace

bool Load_Listing(Machine& machine, const std::vector<uint8_t>& bytes, std::string& error) {
    Text text = Decode(bytes);
    size_t start = 0;
    for (unsigned number = 1; start < text.size(); ++number) {
        size_t end = text.find(u'\n', start);
        if (end == Text::npos) end = text.size();
        Text line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == u'\r') line.pop_back();
        if (line.empty()) continue;
        std::string why;
        if (!Apply_Line(machine, line, why)) {
            error = "drive_c.listing:" + std::to_string(number) + ": " + why;
            return false;
        }
    }
    return true;
}

namespace {

std::string Attribute_Letters(const Fs_Node& node) {
    std::string letters = node.directory ? "d" : "-";
    letters += node.attributes & FILE_ATTRIBUTE_READONLY ? 'r' : '-';
    letters += node.attributes & FILE_ATTRIBUTE_ARCHIVE ? 'a' : '-';
    letters += node.attributes & FILE_ATTRIBUTE_HIDDEN ? 'h' : '-';
    letters += node.attributes & FILE_ATTRIBUTE_SYSTEM ? 's' : '-';
    return letters;
}

void Save_Listed(const Fs_Node& folder, const std::string& path, std::string& out) {
    std::string walked = path;
    Walk_Tree(folder, walked, '\\', Children_Of, Utf8_Name_Of, [&](const Fs_Node& child, const std::string& child_path) {
        if (!child.directory && child.data.empty() && child.listed_size > 0)
            out += Attribute_Letters(child) + "|" + std::to_string(child.listed_size) + "|" + child_path + "\n";
        return child.directory;
    });
}

}  // namespace

bool Load_Collected(Machine& machine, const std::string& folder, std::string& error) {
    fs::path root = fs::u8path(folder);
    std::error_code failure;
    if (fs::is_directory(root / "registry", failure)) {
        std::vector<fs::path> files;
        for (fs::directory_iterator it(root / "registry", failure), end; !failure && it != end; it.increment(failure))
            if (it->path().extension() == ".reg") files.push_back(it->path());
        if (failure) {
            error = "registry: cannot list: " + failure.message();
            return false;
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& path : files) {
            // Read in blocks as it is imported: a machine's exports can be large.
            std::string shown = "registry/" + path.filename().u8string();
            uintmax_t size = fs::file_size(path, failure);
            Host_File file = failure ? Host_File() : Open_Host_File(path, "rb");
            if (!file) {
                error = shown + ": cannot read";
                return false;
            }
            if (!Import_Registry_File(machine, file.get(), size, shown, error)) return false;
        }
    }
    if (fs::exists(root / "drive_c.listing", failure)) {
        std::vector<uint8_t> bytes;
        if (!Read_Bytes(root / "drive_c.listing", bytes, "drive_c.listing", error) ||
            !Load_Listing(machine, bytes, error))
            return false;
    }
    return true;
}

bool Save_Collected(const Machine& machine, const std::string& folder, std::string& error) {
    std::string out;
    Save_Listed(machine.drive_c, "C:", out);
    if (out.empty()) return true;
    fs::path path = fs::u8path(folder) / "drive_c.listing";
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << out;
    file.close();
    if (!file) error = path.u8string() + ": cannot write";
    return bool(file);
}

}  // namespace winsim
