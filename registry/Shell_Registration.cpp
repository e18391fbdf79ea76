#include "registry/Shell_Registration.h"

#include "catalogue/Catalogue.h"
#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "primitives/Registry_Primitives.h"
#include "registry/Installer_Registration.h"

namespace {

const WCHAR* const Shared_Dlls_Path = TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\");
const WCHAR* const Control_Panel_Classes[] = {TEXT("{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}"),
                                              TEXT("{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}")};
const WCHAR* const Control_Panel_Name_Space_Path =
    TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ControlPanel\\NameSpace\\");
const WCHAR* const Control_Panel_Settings_Path = TEXT("SOFTWARE\\Corvanta LLP.\\VESPARIO\\vpControlPanel");
const WCHAR* const Readers_Path = TEXT("SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers");
const WCHAR* const Reader_Markers[] = {TEXT("vespario"), TEXT("corvanta")};
const WCHAR* const Reader_Exclusion = TEXT("tessarin");

// Deletes the values that count one of the binaries, in the given view.
void Delete_Shared_File_Values(const Lib_String_List& values, REGSAM view_flags, Lib_Result& result) {
    for (const Lib_StringW& value : values) {
        for (const WCHAR* binary : Driver_Binaries) {
            if (!Is_Path_Of_File_Name(value, binary)) continue;
            Log_Indent();
            Changes().Delete_Registry_Value(HKEY_LOCAL_MACHINE, Shared_Dlls_Path, value.Get_Text(), result, view_flags);
            Log_Unindent();
        }
    }
}

}  // namespace

bool Is_Path_Of_File_Name(const Lib_StringW& path, const WCHAR* name) {
    // Compared in place: the shared files' list holds thousands of paths, each tried against every name.
    const WCHAR* const text = path.Get_Text();
    const long long length = path.Get_Length();
    long long start = 0;
    for (long long at = 0; at < length; ++at) {
        if (text[at] == TEXT('\\') || text[at] == TEXT('/')) start = at + 1;
    }
    long long at = 0;
    for (; start + at < length && name[at] != 0; ++at) {
        if (text[start + at] != name[at]) return false;
    }
    return start + at == length && name[at] == 0;
}

bool Remove_Shared_Files_From_Registry(Lib_Result& result) {
    Log_Info(TEXT("Removing shared files from HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\..."));
    Lib_String_List subkeys;
    Lib_String_List values;
    if (Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY_LOCAL_MACHINE, Shared_Dlls_Path, subkeys, values, result, 0)) {
        if (values.empty()) {
            Log_Info(TEXT("Shared files are missing."));
        } else {
            Delete_Shared_File_Values(values, 0, result);
        }
    }
    const WCHAR* const finished =
        TEXT("Removing shared files from SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\ finished.");
    if (!Is_64Bit_OS()) {
        Log_Info(finished);
        return true;
    }
    if (!Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY_LOCAL_MACHINE, Shared_Dlls_Path, subkeys, values, result,
                                                  KEY_WOW64_32KEY)) {
        Trace_Exit_Scope(TEXT("Remove_Shared_Files_From_Registry"));
        return true;
    }
    if (values.empty()) {
        Log_Info(TEXT("Shared files are missing for KEY_WOW64_32KEY."));
    } else {
        Delete_Shared_File_Values(values, KEY_WOW64_32KEY, result);
    }
    Log_Info(finished);
    return true;
}

bool Remove_Control_Panel(Lib_Result& result) {
    // The applet's class is the machine's: read and deleted below HKEY_LOCAL_MACHINE\SOFTWARE\Classes,
    // never through HKEY_CLASSES_ROOT, where a key of the user's own classes would stand in for it.
    Owned_Registry_Key classes;
    const bool classes_open = Open_Machine_Classes(classes, result);
    for (const WCHAR* class_id : Control_Panel_Classes) {
        Log_Info(TEXT("Removing ControlPanel from registry HKEY_CLASSES_ROOT\\..."));
        Log_Indent();
        Lib_StringW class_key = Lib_StringW(TEXT("CLSID\\")) + class_id + TEXT("\\");
        if (classes_open) Changes().Delete_Registry_Key_Recursive(classes.Get(), class_key.Get_Text(), result);
        Log_Unindent();

        Log_Info(TEXT("Removing ControlPanel from registry HKEY_LOCAL_MACHINE\\..."));
        Log_Indent();
        Lib_StringW name_space_key = Lib_StringW(Control_Panel_Name_Space_Path) + class_id + TEXT("\\");
        Changes().Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, name_space_key.Get_Text(), result);
        Log_Unindent();
    }
    Log_Info(TEXT("Removing ControlPanel from registry HKEY_CURRENT_USER\\..."));
    Log_Indent();
    Changes().Delete_Registry_Key_Recursive(HKEY_CURRENT_USER, Control_Panel_Settings_Path, result);
    Log_Unindent();
    Log_Info(TEXT("Removing ControlPanel from registry finished."));
    return true;
}

bool Remove_Calais_Readers(Lib_Result& result) {
    Log_Info(TEXT("Removing Calais Readers from HKEY_LOCAL_MACHINE\\..."));
    Lib_String_List readers;
    Lib_String_List values;
    if (Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY_LOCAL_MACHINE, Readers_Path, readers, values, result, 0)) {
        for (Lib_StringW& reader : readers) {
            reader.Make_Lower();
            bool marked = false;
            for (const WCHAR* marker : Reader_Markers) {
                if (reader.Find(marker) >= 0) marked = true;
            }
            if (!marked || reader.Find(Reader_Exclusion) >= 0) continue;
            Changes().Delete_Registry_Keys_In_Path(HKEY_LOCAL_MACHINE, Readers_Path, reader.Get_Text(), result);
        }
    }
    Log_Info(TEXT("Removing Calais Readers from registry finished."));
    return true;
}
