// regedit files: import of both formats ("Windows Registry Editor Version 5.00" in UTF-16LE with BOM
// or UTF-8, and the ANSI "REGEDIT4"), and export in the 5.00 format as UTF-8.
#include "machine/machine.h"
#include "machine/tree_walk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace winsim {

namespace {

const char16_t kHeader5[] = u"Windows Registry Editor Version 5.00";
const char16_t kHeader4[] = u"REGEDIT4";

bool Is_Blank(char16_t c) { return c == u' ' || c == u'\t'; }

Text Trim_Right(const Text& text) {
    size_t end = text.size();
    while (end > 0 && Is_Blank(text[end - 1])) --end;
    return text.substr(0, end);
}

int Hex_Digit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

std::vector<uint8_t> Utf16_Bytes(const Text& text, bool terminate) {
    std::vector<uint8_t> bytes;
    bytes.reserve(2 * (text.size() + 1));
    for (char16_t c : text) {
        bytes.push_back(uint8_t(c & 0xFF));
        bytes.push_back(uint8_t(c >> 8));
    }
    if (terminate) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

// ANSI bytes of the given code page to UTF-16; bytes without a character become U+FFFD.
Text From_Ansi(const std::vector<uint8_t>& bytes, UINT code_page) {
    if (bytes.empty()) return Text();
    const LPCSTR source = reinterpret_cast<LPCSTR>(bytes.data());
    int length = MultiByteToWideChar(code_page, 0, source, int(bytes.size()), nullptr, 0);
    Text text(size_t(length > 0 ? length : 0), u'\0');
    if (length > 0) MultiByteToWideChar(code_page, 0, source, int(bytes.size()), &text[0], length);
    return text;
}

// The file's lines, decoded one at a time as the parser asks for them, so that a large file is never
// held as text as a whole; a file on disk is read in blocks and never held whole either. A line ends
// at a line feed, and a carriage return before it is dropped; a final line feed does not start
// another line.
class Line_Reader {
public:
    Line_Reader(const std::vector<uint8_t>& bytes, UINT code_page)
        : data_(bytes.data()), size_(bytes.size()), total_(bytes.size()), code_page_(code_page) {}
    Line_Reader(std::FILE* file, uint64_t file_size, size_t block_size, UINT code_page)
        : file_(file), block_(block_size ? block_size : 1), total_(file_size), code_page_(code_page) {}

    // Finds the encoding; ansi tells whether it is a REGEDIT4 file.
    bool Start(bool& ansi, std::string& message) {
        ansi = false;
        while (size_ - at_ < 3 && Fill()) {
        }
        if (size_ >= 2 && data_[0] == 0xFE && data_[1] == 0xFF) {
            message = "UTF-16 big-endian files are not supported";
            return false;
        }
        if (size_ >= 2 && data_[0] == 0xFF && data_[1] == 0xFE) {
            if (total_ % 2 != 0) {
                message = "UTF-16 file with an odd number of bytes";
                return false;
            }
            utf16_ = true;
            at_ = 2;
        } else if (size_ >= 3 && data_[0] == 0xEF && data_[1] == 0xBB && data_[2] == 0xBF) {
            at_ = 3;
        }
        bool bom = at_ > 0;
        has_first_ = Next(first_);
        if (has_first_) ansi = first_.compare(0, sizeof kHeader4 / 2 - 1, kHeader4) == 0;
        // A REGEDIT4 file without a byte-order mark is in the system's ANSI code page. Its first
        // line, the header, reads the same in either.
        decode_ansi_ = ansi && !bom;
        return true;
    }

    bool Next(Text& line) {
        if (has_first_) {
            line.swap(first_);
            has_first_ = false;
            return true;
        }
        size_t end;
        while (!Find_End(end)) {
            if (!Fill()) {
                if (at_ >= size_) return false;
                end = size_;  // the last line, without a line feed
                break;
            }
        }
        if (utf16_) {
            line.clear();
            for (size_t i = at_; i + 1 < end; i += 2) line += char16_t(data_[i] | (data_[i + 1] << 8));
            at_ = std::min(end + 2, size_);
        } else {
            std::string narrow(reinterpret_cast<const char*>(data_ + at_), end - at_);
            line = decode_ansi_ ? From_Ansi(std::vector<uint8_t>(narrow.begin(), narrow.end()), code_page_)
                                : From_Utf8(narrow);
            at_ = std::min(end + 1, size_);
        }
        if (!line.empty() && line.back() == u'\r') line.pop_back();
        return true;
    }

    bool Failed() const { return failed_; }

private:
    // The end of the line at at_ within the bytes at hand.
    bool Find_End(size_t& end) const {
        if (utf16_) {
            for (end = at_; end + 1 < size_; end += 2)
                if (data_[end] == '\n' && data_[end + 1] == 0) return true;
            return false;
        }
        if (at_ >= size_) return false;  // no bytes at hand (an empty file has no buffer at all)
        const void* found = std::memchr(data_ + at_, '\n', size_ - at_);
        if (!found) return false;
        end = size_t(static_cast<const uint8_t*>(found) - data_);
        return true;
    }

    // Reads the next block of a file, keeping the bytes not yet read as lines; false at its end.
    bool Fill() {
        if (!file_ || std::feof(file_) || failed_) return false;
        buffer_.erase(buffer_.begin(), buffer_.begin() + at_);
        at_ = 0;
        size_t kept = buffer_.size();
        buffer_.resize(kept + block_);
        size_t got = std::fread(buffer_.data() + kept, 1, block_, file_);
        buffer_.resize(kept + got);
        if (std::ferror(file_)) failed_ = true;
        data_ = buffer_.data();
        size_ = buffer_.size();
        return got > 0;
    }

    std::FILE* file_ = nullptr;
    size_t block_ = 0;
    std::vector<uint8_t> buffer_;  // a file's bytes at hand
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t at_ = 0;
    uint64_t total_ = 0;  // the size of the whole file
    UINT code_page_;
    bool utf16_ = false;
    bool decode_ansi_ = false;
    bool failed_ = false;
    Text first_;  // the header line, read ahead to find the encoding
    bool has_first_ = false;
};

class Reg_Parser {
public:
    Reg_Parser(Machine& machine, Line_Reader& reader, const std::string& file_name, std::string& error)
        : machine_(machine), reader_(reader), file_name_(file_name), error_(error) {}

    bool Parse() {
        std::string message;
        if (!reader_.Start(ansi_, message)) return Fail_At(1, message);
        if (!reader_.Next(line_text_) ||
            (Trim_Right(line_text_) != kHeader5 && Trim_Right(line_text_) != kHeader4))
            return Fail_At(1, "missing header \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
        for (line_ = 1; reader_.Next(line_text_); ++line_) {
            const Text& line = line_text_;
            size_t at = 0;
            while (at < line.size() && Is_Blank(line[at])) ++at;
            if (at == line.size() || line[at] == u';') continue;
            bool ok;
            if (line[at] == u'[') ok = Key_Line(Trim_Right(line.substr(at)));
            else if (line[at] == u'"' || line[at] == u'@') ok = Value_Line(line, at);
            else ok = Fail("unexpected text; expected [KEY], \"NAME\"=DATA, @=DATA or a ';' comment");
            if (!ok) return false;
        }
        return true;
    }

private:
    bool Fail_At(size_t line_number, const std::string& message) {
        error_ = file_name_ + ":" + std::to_string(line_number) + ": " + message;
        return false;
    }
    bool Fail(const std::string& message) { return Fail_At(line_ + 1, message); }

    // "[PATH]" or "[-PATH]"; the path runs to the last ']' of the line.
    bool Key_Line(const Text& line) {
        size_t close = line.rfind(u']');
        if (close == Text::npos) return Fail("key line without a closing ']'");
        if (close + 1 != line.size()) return Fail("unexpected text after ']'");
        bool remove = line.size() > 1 && line[1] == u'-';
        Text path = line.substr(remove ? 2 : 1, close - (remove ? 2 : 1));
        std::vector<Text> parts;
        size_t start = 0;
        while (true) {
            size_t end = path.find(u'\\', start);
            parts.push_back(path.substr(start, end == Text::npos ? Text::npos : end - start));
            if (end == Text::npos) break;
            start = end + 1;
        }
        for (const Text& part : parts)
            if (part.empty()) return Fail("empty key name in \"" + To_Utf8(path) + "\"");
        Reg_Key* root = nullptr;
        size_t first = 1;
        if (Same_Name(parts[0], u"HKEY_CLASSES_ROOT")) {
            root = &machine_.hklm;
            parts.insert(parts.begin() + 1, {u"SOFTWARE", u"Classes"});
            first = 3;
        } else {
            // The names below the root follow the root's one name, as below HKEY_LOCAL_MACHINE.
            Text root_name = parts[0];
            root = Scenario_Hive(machine_, parts);
            if (!root) return Fail("unknown root key \"" + To_Utf8(root_name) + "\"");
            parts.insert(parts.begin(), root_name);
        }
        if (remove) {
            if (parts.size() == first) return Fail("a root key cannot be deleted");
            Reg_Key* parent = root;
            for (size_t i = 1; parent && i + 1 < parts.size(); ++i) parent = parent->Find_Subkey(parts[i]);
            if (parent) parent->Remove_Subkey(parts.back());
            current_ = nullptr;
            last_keys_.clear();
            last_parts_.clear();
            return true;
        }
        // last_keys_[i] is the key named by last_parts_[0..i]; the first part names the root.
        if (!last_keys_.empty() && last_keys_[0] != root) last_keys_.clear();
        size_t same = 0;
        while (same < last_keys_.size() && same < parts.size() && Same_Name(parts[same], last_parts_[same])) ++same;
        last_keys_.resize(std::max<size_t>(same, 1));
        last_keys_[0] = root;
        for (size_t i = last_keys_.size(); i < parts.size(); ++i) last_keys_.push_back(last_keys_.back()->Add_Subkey(parts[i]));
        last_parts_ = parts;
        current_ = last_keys_[parts.size() - 1];
        return true;
    }

    // A quoted text with regedit's escapes \\ and \"; at is on the opening quote and ends after the
    // closing one.
    bool Quoted(const Text& line, size_t& at, Text& out) {
        out.clear();
        for (++at; at < line.size(); ++at) {
            char16_t c = line[at];
            if (c == u'"') {
                ++at;
                return true;
            }
            if (c == u'\\') {
                if (at + 1 < line.size() && (line[at + 1] == u'\\' || line[at + 1] == u'"')) {
                    out += line[++at];
                    continue;
                }
                return Fail("unknown escape in quoted text; only \\\\ and \\\" are allowed");
            }
            out += c;
        }
        return Fail("quoted text without a closing '\"'");
    }

    bool Only_Blanks_From(const Text& line, size_t at) {
        while (at < line.size() && Is_Blank(line[at])) ++at;
        return at == line.size();
    }

    static bool Starts_With_No_Case(const Text& line, size_t at, const Text& word) {
        return line.size() - at >= word.size() && Same_Name(line.substr(at, word.size()), word);
    }

    bool Value_Line(const Text& line, size_t at) {
        if (!current_) return Fail("value outside of a key");
        Text name;
        if (line[at] == u'@') {
            ++at;
        } else if (!Quoted(line, at, name)) {
            return false;
        }
        while (at < line.size() && Is_Blank(line[at])) ++at;
        if (at == line.size() || line[at] != u'=') return Fail("expected '=' after the value name");
        ++at;
        while (at < line.size() && Is_Blank(line[at])) ++at;
        if (at < line.size() && line[at] == u'-') {
            if (!Only_Blanks_From(line, at + 1)) return Fail("unexpected text after '-'");
            current_->Remove_Value(name);
            return true;
        }
        if (at < line.size() && line[at] == u'"') {
            Text data;
            if (!Quoted(line, at, data)) return false;
            if (!Only_Blanks_From(line, at)) return Fail("unexpected text after the closing '\"'");
            current_->Set_Value(name, REG_SZ, Utf16_Bytes(data, true));
            return true;
        }
        if (Starts_With_No_Case(line, at, u"dword:")) return Dword_Data(line, at + 6, name);
        DWORD type;
        if (Starts_With_No_Case(line, at, u"hex:")) {
            type = REG_BINARY;
            at += 4;
        } else if (Starts_With_No_Case(line, at, u"hex(")) {
            at += 4;
            uint64_t number = 0;
            size_t digits = 0;
            for (; at < line.size() && Hex_Digit(line[at]) >= 0; ++at, ++digits)
                number = number * 16 + Hex_Digit(line[at]);
            if (digits == 0 || digits > 8 || line.compare(at, 2, u"):") != 0)
                return Fail("bad value type; expected hex(N): with N a hexadecimal number");
            type = DWORD(number);
            at += 2;
        } else {
            return Fail("unknown value data; expected \"TEXT\", dword:, hex:, hex(N): or -");
        }
        std::vector<uint8_t> data;
        if (!Hex_Data(at, data)) return false;
        if (ansi_ && (type == REG_EXPAND_SZ || type == REG_MULTI_SZ))
            data = Utf16_Bytes(From_Ansi(data, machine_.code_page), false);
        current_->Set_Value(name, type, std::move(data));
        return true;
    }

    bool Dword_Data(const Text& line, size_t at, const Text& name) {
        uint32_t number = 0;
        size_t digits = 0;
        for (; at < line.size() && Hex_Digit(line[at]) >= 0; ++at, ++digits)
            number = number * 16 + Hex_Digit(line[at]);
        if (digits == 0 || digits > 8 || !Only_Blanks_From(line, at))
            return Fail("bad dword; expected 1 to 8 hexadecimal digits");
        current_->Set_Value(name, REG_DWORD, {uint8_t(number), uint8_t(number >> 8), uint8_t(number >> 16),
                                              uint8_t(number >> 24)});
        return true;
    }

    // Comma-separated bytes of two hexadecimal digits; a backslash at the end of a line, after a
    // comma or right after the type, continues the list on the next line.
    bool Hex_Data(size_t at, std::vector<uint8_t>& data) {
        bool need_byte = true;  // at the start or after a comma
        while (true) {
            const Text& line = line_text_;
            while (at < line.size() && Is_Blank(line[at])) ++at;
            if (at == line.size() || (!need_byte && line[at] == u';')) {
                if (need_byte && !data.empty()) return Fail("missing byte after ','");
                return true;
            }
            char16_t c = line[at];
            if (c == u'\\' && need_byte && Only_Blanks_From(line, at + 1)) {
                if (!reader_.Next(line_text_)) return Fail("continuation line missing at end of file");
                ++line_;
                at = 0;
                continue;
            }
            if (need_byte) {
                int high = Hex_Digit(c);
                int low = at + 1 < line.size() ? Hex_Digit(line[at + 1]) : -1;
                if (high < 0 || low < 0) return Fail("bad byte in hex data; expected two hexadecimal digits");
                data.push_back(uint8_t(high * 16 + low));
                at += 2;
                need_byte = false;
            } else if (c == u',') {
                ++at;
                need_byte = true;
            } else {
                return Fail("expected ',' between bytes of hex data");
            }
        }
    }

    Machine& machine_;
    Line_Reader& reader_;
    const std::string& file_name_;
    std::string& error_;
    Text line_text_;   // the line being read
    size_t line_ = 0;  // its index
    bool ansi_ = false;
    Reg_Key* current_ = nullptr;  // key of the last [PATH] line; null before it and after [-PATH]
    // The keys of the last [PATH] line, from its root down, and their names: a file lists keys in
    // tree order, so the next path mostly starts with the same keys.
    std::vector<Reg_Key*> last_keys_;
    std::vector<Text> last_parts_;
};

// ---- export ----

std::string Quote(const Text& text) {
    Text out = u"\"";
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
    return To_Utf8(out + u"\"");
}

// A REG_SZ that regedit can write as "TEXT": whole UTF-16 units, one terminating zero and no other,
// and no line break that would split the line.
bool Is_Plain_String(const std::vector<uint8_t>& data) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    size_t units = data.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        char16_t c = char16_t(data[2 * i] | (data[2 * i + 1] << 8));
        if ((c == 0) != (i + 1 == units)) return false;
        if (c == u'\r' || c == u'\n') return false;
    }
    return true;
}

// "hex(N):xx,xx,..." wrapped as regedit wraps it: when a comma ends a line at column 75 or
// beyond, the line ends with a backslash and the list goes on two blanks in.
void Append_Hex(std::string& out, size_t line_start, const std::string& type,
                const std::vector<uint8_t>& data) {
    out += type;
    size_t column = out.size() - line_start;
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        out += byte;
        column += 2;
        if (i + 1 == data.size()) break;
        out += ',';
        ++column;
        if (column >= 75) {
            out += "\\\n  ";
            column = 2;
        }
    }
}

void Export_Value(std::string& out, const Reg_Value& value) {
    size_t line_start = out.size();
    out += value.name.empty() ? std::string("@") : Quote(value.name);
    out += '=';
    const std::vector<uint8_t>& data = value.data;
    if (value.type == REG_SZ && Is_Plain_String(data)) {
        Text text;
        for (size_t i = 0; i + 2 < data.size(); i += 2) text += char16_t(data[i] | (data[i + 1] << 8));
        out += Quote(text);
    } else if (value.type == REG_DWORD && data.size() == 4) {
        char number[16];
        std::snprintf(number, sizeof number, "dword:%08x",
                      unsigned(data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t(data[3]) << 24)));
        out += number;
    } else if (value.type == REG_BINARY) {
        Append_Hex(out, line_start, "hex:", data);
    } else {
        char type[24];
        std::snprintf(type, sizeof type, "hex(%x):", unsigned(value.type));
        Append_Hex(out, line_start, type, data);
    }
    out += '\n';
}

// The export's text, handed to a file in pieces between keys when it goes to one.
struct Export_Out {
    std::string text;
    std::FILE* file = nullptr;
    bool failed = false;

    void Flush(size_t above) {
        if (!file || text.size() <= above) return;
        if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) failed = true;
        text.clear();
    }
};

// path holds the key's path in UTF-8; subkeys append their names to it and take them off again.
void Export_Key(Export_Out& out, const Reg_Key& key, std::string& path, bool is_root) {
    auto write = [&](const Reg_Key& each, const std::string& each_path) {
        out.text += '[';
        out.text += each_path;
        out.text += "]\n";
        for (const Reg_Value& value : each.values)
            if (!Holds_Zero(value.name)) Export_Value(out.text, value);  // machine.ini's [registry] value= holds it
        out.text += '\n';
        out.Flush(1 << 16);
    };
    if (!is_root || !key.values.empty()) write(key, path);
    // regedit files can hold neither a link nor a name with a zero character (nor anything below
    // them): machine.ini's [registry] link=, key= and value= do
    Walk_Tree(key, path, '\\', Subkeys_Of, Utf8_Name_Of, [&](const Reg_Key& subkey, const std::string& subkey_path) {
        if (subkey.link || Holds_Zero(subkey.name)) return false;
        write(subkey, subkey_path);
        return true;
    });
}

void Export_Machine(Export_Out& out, const Machine& machine) {
    out.text += "Windows Registry Editor Version 5.00\n\n";
    std::string path = "HKEY_LOCAL_MACHINE";
    Export_Key(out, machine.hklm, path, true);
    path = "HKEY_CURRENT_USER";
    Export_Key(out, machine.User_Profile(), path, true);
    path = "HKEY_USERS\\.DEFAULT";
    Export_Key(out, machine.System_Profile(), path, true);
    for (const auto& hive : machine.users.subkeys) {
        path = "HKEY_USERS\\" + To_Utf8(hive->name);
        Export_Key(out, *hive, path, false);  // its header line says that the hive is loaded
    }
    out.Flush(0);
}

}  // namespace

bool Import_Registry_File(Machine& machine, const std::vector<uint8_t>& bytes, const std::string& file_name,
                          std::string& error) {
    Line_Reader reader(bytes, machine.code_page);
    Reg_Parser parser(machine, reader, file_name, error);
    return parser.Parse();
}

bool Import_Registry_File(Machine& machine, std::FILE* file, uint64_t file_size, const std::string& file_name,
                          std::string& error, size_t block_size) {
    Line_Reader reader(file, file_size, block_size, machine.code_page);
    Reg_Parser parser(machine, reader, file_name, error);
    bool parsed = parser.Parse();
    if (reader.Failed()) error = file_name + ": cannot read";
    return parsed && !reader.Failed();
}

std::string Export_Hive_Text(const Reg_Key& root) {
    Export_Out out;
    out.text += "Windows Registry Editor Version 5.00\n\n";
    std::string path = "HKEY_CURRENT_USER";
    Export_Key(out, root, path, true);
    return out.text;
}

std::vector<uint8_t> Hive_File_Bytes(const std::string& text) {
    Text lines;
    for (char16_t c : From_Utf8(text)) {
        if (c == u'\n') lines += u'\r';
        lines += c;
    }
    std::vector<uint8_t> bytes = {0xFF, 0xFE};
    std::vector<uint8_t> body = Utf16_Bytes(lines, false);
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

bool Import_Hive_File(const std::vector<uint8_t>& given, Reg_Key& root) {
    // UTF-16LE text without its byte-order mark, as a collection's cmd /u writes it, is read as with it.
    std::vector<uint8_t> with_mark;
    if (given.size() >= 2 && given[0] == 'W' && given[1] == 0) {
        with_mark = {0xFF, 0xFE};
        with_mark.insert(with_mark.end(), given.begin(), given.end());
    }
    const std::vector<uint8_t>& bytes = with_mark.empty() ? given : with_mark;
    static const char16_t header[] = u"\xFEFFWindows Registry Editor Version 5.00";
    for (size_t at = 0; header[at]; ++at)
        if (2 * at + 1 >= bytes.size() || char16_t(bytes[2 * at] | (bytes[2 * at + 1] << 8)) != header[at]) return false;
    // Parsed as a scenario's registry.reg into a machine of its own: the file's HKEY_CURRENT_USER is
    // the hive; a key of any other root makes the file no hive.
    Machine scratch;
    std::string error;
    if (!Import_Registry_File(scratch, bytes, "NTUSER.DAT", error)) return false;
    if (!scratch.hklm.subkeys.empty() || !scratch.hklm.values.empty() || !scratch.users.subkeys.empty() ||
        !scratch.System_Profile().subkeys.empty() || !scratch.System_Profile().values.empty())
        return false;
    Text name = root.name;
    root = std::move(scratch.User_Profile());
    root.name = name;
    return true;
}

std::string Export_Registry_File(const Machine& machine) {
    Export_Out out;
    Export_Machine(out, machine);
    return out.text;
}

bool Export_Registry_File(const Machine& machine, std::FILE* file) {
    Export_Out out;
    out.file = file;
    Export_Machine(out, machine);
    return !out.failed;
}

}  // namespace winsim
