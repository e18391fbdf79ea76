#include "driverpkg/OEM_Inf_Scan.h"

#include <windows.h>

#include <shlobj.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "foundation/Lib_Handles.h"
#include "primitives/File_Primitives.h"

namespace {

const WCHAR* const Inf_Folder = TEXT("Inf");
// The scan keeps its own copies of the markers, wide for Unicode files and narrow for ANSI files.
const WCHAR* const Product_Marker_Wide = TEXT("VESPARIO");
const WCHAR* const Reader_Driver_Marker_Wide = TEXT("usbccid.sys");
const char* const Product_Marker_Narrow = "VESPARIO";
const char* const Reader_Driver_Marker_Narrow = "usbccid.sys";

// Lower-cases the letters A to Z only, as the C runtime does in the "C" locale.
template <typename Character>
void Lower_Ascii(Character* text) {
    for (; *text != 0; ++text) {
        if (*text >= 'A' && *text <= 'Z') *text = static_cast<Character>(*text - 'A' + 'a');
    }
}

bool Contains(const Wide_Name& text, const WCHAR* needle) { return text.find(needle) != Wide_Name::npos; }

bool Wide_Text_Matches(const WCHAR* text) {
    Wide_Name lowered(text);
    Wide_Name product(Product_Marker_Wide), reader(Reader_Driver_Marker_Wide);
    Lower_Ascii(&lowered[0]);
    Lower_Ascii(&product[0]);
    Lower_Ascii(&reader[0]);
    return Contains(lowered, product.c_str()) || Contains(lowered, reader.c_str());
}

bool Narrow_Text_Matches(char* text) {
    char product[16], reader[16];
    strcpy(product, Product_Marker_Narrow);
    strcpy(reader, Reader_Driver_Marker_Narrow);
    Lower_Ascii(text);
    Lower_Ascii(product);
    Lower_Ascii(reader);
    return strstr(text, product) != nullptr || strstr(text, reader) != nullptr;
}

}  // namespace

bool Is_Precompiled_OEM_File(const Lib_StringW& path) {
    Owned_C_File file;
    // An empty path would reach the C runtime as a null name, which ends the process.
    if (path.Is_Empty()) return false;
    errno_t opened = _wfopen_s(file.Receive(), path.Get_Text(), TEXT("r"));
    if (opened != 0 || !file.Is_Open()) {
        // Whether a package that cannot be read is the product's cannot be told.
        Lib_Result unread;
        unread.Set(static_cast<int32_t>(opened), Lib_Result_Source_C_Runtime);
        Changes().Report_Unread(TEXT("_wfopen_s"), unread);
        return false;
    }
    bool matches = false;
    fseek(file.Get(), 0, SEEK_END);
    long size = ftell(file.Get());
    // A size the 32-bit position cannot express, or a failing ftell, skips the file like an
    // unreadable one.
    if (size > 0 && size <= 0x7FFFFFFB) {
        fseek(file.Get(), 0, SEEK_SET);
        // Four zero bytes beyond the data always terminate the text, narrow or wide; the text-mode read
        // turns CR LF into LF and stops at the first 0x1A, leaving the rest zero.
        LibT_Buffer<BYTE> buffer(static_cast<size_t>(size) + 4);
        BYTE* data = buffer.Get_Data();
        if (data != nullptr) {
            size_t read = fread_s(data, static_cast<size_t>(size), 1, static_cast<size_t>(size), file.Get());
            if (read == 0 && !feof(file.Get())) {
                Lib_Result unread;
                unread.Set(static_cast<int32_t>(errno), Lib_Result_Source_C_Runtime);
                Changes().Report_Unread(TEXT("fread_s"), unread);
            }
            if (!IsTextUnicode(data, static_cast<int>(size), nullptr)) {
                Log_Info(TEXT("ANSI .inf file"));
                matches = Narrow_Text_Matches(reinterpret_cast<char*>(data));
            } else if (data[0] == 0xFF && data[1] == 0xFE && !(data[2] == 0 && data[3] == 0)) {
                Log_Info(TEXT("UTF-16 encoded .inf file"));
                // The text is examined from byte 4 on: the mark and the first character are passed over.
                matches = Wide_Text_Matches(reinterpret_cast<const WCHAR*>(data + 4));
            } else {
                Log_Info(TEXT("Unsupported unicode encoded .inf file"));
            }
        }
    }
    return matches;
}

bool Find_Precompiled_OEM_Files(Wide_Name_List& names, Lib_Result& result) {
    Log_Indent();
    Lib_StringW folder;
    if (!Changes().Get_Absolute_File_Path_From_Special_Folder(CSIDL_WINDOWS, Inf_Folder, nullptr, folder, result)) {
        Log_Unindent();
        return false;
    }
    Log_Info_Detail(TEXT("Searching precompiled OEM files in"), folder);

    Wide_Name_List listed;
    if (!SC_Find_Files(folder.Get_Text(), listed, result)) {
        Log_Unindent();
        return false;
    }
    Wide_Name_List candidates;
    for (Wide_Name& name : listed) {
        Lower_Ascii(&name[0]);
        if (Contains(name, TEXT("oem")) && name.rfind(TEXT(".inf")) != Wide_Name::npos) candidates.push_back(name);
    }

    for (const Wide_Name& name : candidates) {
        Lib_StringW path;
        // A path that cannot be formed skips the file; the primitive has reported why.
        if (!Changes().Get_Absolute_File_Path_From_Special_Folder(CSIDL_WINDOWS, Inf_Folder, name.c_str(), path,
                                                                  result)) {
            continue;
        }
        Log_Info_Detail(TEXT("Reading oem file: "), path);
        if (Is_Precompiled_OEM_File(path)) {
            Log_Info_Detail(TEXT("Required file: "), name.c_str());
            names.push_back(name);
        }
    }
    Log_Unindent();
    return true;
}
