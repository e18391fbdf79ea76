// Helpers shared by the unit tests: a fixture with a fresh simulated machine, and the exact log text
// that the tool's report operations produce.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "foundation/Lib_String.h"
#include "foundation/Lib_Lists.h"
#include "machine/machine.h"
#include "primitives/File_Primitives.h"
#include "primitives/Registry_Backup.h"

// A fresh machine with a Windows folder, the main thread's indentation at 0, and the run's log started
// as the entry point starts it, so that the calls and injected faults of a test are its own.
class Log_Test : public ::testing::Test {
protected:
    void SetUp() override {
        Fresh_Machine();
        Log_Create_File();
        winsim::The_Machine().calls.clear();  // the log's own
    }
    void TearDown() override {
        Log_Close_File();
        Reset_Indentation();
    }

    // The same without a log: the first line creates it.
    static void Fresh_Machine() {
        Log_Close_File();
        Backup_Close_File();
        SC_Reset_Delete_Waiting();
        winsim::The_Machine().Reset();
        winsim::The_Machine().Make_Folders(u"C:\\Windows");
        Reset_Indentation();
        Log_Mark() = 0;
    }
    static void Reset_Indentation() {
        while (Log_Get_Offset() > 0) Log_Unindent();
    }
    // The log file's bytes since the last Clear_Log, empty when there is none.
    static std::string Whole_Log_Text() {
        winsim::Fs_Node* log = winsim::The_Machine().Find_Path(u"C:\\Windows\\TEMP\\vpRemovalTool.txt");
        if (!log || log->data.size() < Log_Mark()) return std::string();
        return std::string(log->data.begin() + std::ptrdiff_t(Log_Mark()), log->data.end());
    }
    // The same without the line that names the registry backup where the first change makes it (the
    // backup's own tests and the whole runs show it).
    static std::string Log_Text() {
        const std::string whole = Whole_Log_Text();
        std::string kept;
        for (size_t start = 0; start < whole.size();) {
            size_t end = whole.find("\r\n", start);
            end = end == std::string::npos ? whole.size() : end + 2;
            const size_t text = whole.find_first_not_of(' ', start);
            const bool backup = text < end && whole.compare(text, 17, "Registry backup: ") == 0;
            if (!backup) kept.append(whole, start, end - start);
            start = end;
        }
        return kept;
    }
    // Later lines only: the run keeps writing the one file it holds.
    static void Clear_Log() {
        winsim::Fs_Node* log = winsim::The_Machine().Find_Path(u"C:\\Windows\\TEMP\\vpRemovalTool.txt");
        Log_Mark() = log ? log->data.size() : 0;
    }
    static size_t& Log_Mark() {
        static size_t mark = 0;
        return mark;
    }
};

// The lines as the log file holds them: each followed by CR LF.
inline std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// The system's English message text for the error values the tests meet.
inline std::string System_Message(long code) {
    switch (code) {
        case 0: return "The operation completed successfully.";
        case 2: return "The system cannot find the file specified.";
        case 3: return "The system cannot find the path specified.";
        case 5: return "Access is denied.";
        case 18: return "There are no more files.";
        case 32: return "The process cannot access the file because it is being used by another process.";
        case 145: return "The directory is not empty.";
        case 206: return "The filename or extension is too long.";
        case 234: return "More data is available.";
        case 259: return "No more data is available.";
        case 1610: return "The configuration data for this product is corrupt. Contact your support personnel.";
        case 8: return "Not enough memory resources are available to process this command.";
        case 87: return "The parameter is incorrect.";
        case 1300: return "Not all privileges or groups referenced are assigned to the caller.";
        case 1314: return "A required privilege is not held by the client.";
        case 1332: return "No mapping between account names and security IDs was done.";
        case 0x80100001L: return "An internal consistency check failed.";
        case 0x8010001DL: return "The Smart Card Resource Manager is not running.";
        default: ADD_FAILURE() << "no message text known to the tests for " << code; return "";
    }
}

// The four lines of an error report at the given indentation. The system's text ends in CR LF of its
// own, which the text-mode write turns into CR CR LF before the line's own CR LF.
// The code is logged as a signed 32-bit number and its hexadecimal form (smart-card statuses are negative).
inline std::string Error_Report(const std::string& indent, const std::string& name, long code) {
    return indent + "Error occurred in function: " + name + "\r\n" + indent +
           "Error occurred in function: Error source 1(0x1)\r\n" + indent +
           "Error occurred in function: Error code   " + std::to_string(static_cast<int32_t>(code)) + "(0x" +
           [&] { char hex[16]; snprintf(hex, sizeof hex, "%X", static_cast<uint32_t>(code)); return std::string(hex); }() + ")\r\n" +
           indent + "Error message: " + System_Message(code) + "\r\r\n\r\n";
}

// A trace exit line at the indentation it is written at; at 0 an empty line follows it.
inline std::string Exit_Line(const std::string& indent, const std::string& scope) {
    return indent + "vpRemovalTool.exe!" + scope + " exits\r\n" + (indent.empty() ? "\r\n" : "");
}

// A REG_SZ value's bytes as stored: UTF-16LE with the terminating zero.
inline std::vector<uint8_t> Utf16_Bytes(const std::u16string& text) {
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

inline winsim::Reg_Key* Make_Key(winsim::Reg_Key& root, const std::u16string& path) {
    winsim::Reg_Key* key = &root;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        if (end > start) key = key->Add_Subkey(path.substr(start, end - start));
        start = end + 1;
    }
    return key;
}

inline winsim::Reg_Key* Find_Key(winsim::Reg_Key& root, const std::u16string& path) {
    winsim::Reg_Key* key = &root;
    size_t start = 0;
    while (key != nullptr && start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        if (end > start) key = key->Find_Subkey(path.substr(start, end - start));
        start = end + 1;
    }
    return key;
}

inline std::vector<std::u16string> Texts(const Lib_String_List& list) {
    std::vector<std::u16string> texts;
    for (const Lib_StringW& text : list) texts.push_back(text.Is_Empty() ? u"" : text.Get_Text());
    return texts;
}

// Creates a file (and the folders above it) on the simulated drive C:.
inline winsim::Fs_Node* Make_File(const std::u16string& path, const std::string& content = "data",
                                  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE) {
    size_t separator = path.rfind(u'\\');
    winsim::Fs_Node* folder = winsim::The_Machine().Make_Folders(path.substr(0, separator));
    winsim::Fs_Node* file = folder->Add_Child(path.substr(separator + 1), false);
    file->data.assign(content.begin(), content.end());
    file->attributes = attributes;
    return file;
}

// Makes a folder entry that is a junction pointing at target.
inline winsim::Fs_Node* Make_Junction(const std::u16string& path, const std::u16string& target) {
    size_t separator = path.rfind(u'\\');
    winsim::Fs_Node* folder = winsim::The_Machine().Make_Folders(path.substr(0, separator));
    winsim::Fs_Node* link = folder->Add_Child(path.substr(separator + 1), true);
    link->Link_To(target);
    link->attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    return link;
}

inline bool Path_Exists(const std::u16string& path) { return winsim::The_Machine().Find_Path(path) != nullptr; }

// The paths recorded for deletion at the next restart, without their "\??\" prefix.
inline std::vector<std::u16string> Pending_Deletes() {
    std::vector<std::u16string> paths;
    winsim::Reg_Key* session = Find_Key(winsim::The_Machine().hklm,
                                        u"SYSTEM\\CurrentControlSet\\Control\\Session Manager");
    winsim::Reg_Value* value = session ? session->Find_Value(u"PendingFileRenameOperations") : nullptr;
    if (value == nullptr) return paths;
    std::u16string all;
    for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
        all += static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8));
    }
    std::vector<std::u16string> strings;
    size_t start = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] == 0) {
            strings.push_back(all.substr(start, i - start));
            start = i + 1;
        }
    }
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        if (!strings[i + 1].empty()) continue;  // a rename, not a deletion
        std::u16string source = strings[i];
        if (source.rfind(u"\\??\\", 0) == 0) source = source.substr(4);
        paths.push_back(source);
    }
    return paths;
}
