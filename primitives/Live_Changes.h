// The changes made: each saves what it is about to change to the registry backup first
// (Registry_Backup.h), then changes it and logs it. Its registry operations are defined in
// Registry_Primitives.cpp, its file operations in File_Primitives.cpp, the rest in Machine_Changes.cpp.
#pragma once

#include "primitives/Machine_Changes.h"

class Live_Changes final : public Machine_Changes {
public:
    bool Delete_Registry_Key(HKEY root, const WCHAR* key_path, Lib_Result& result) override;
    bool Delete_Registry_Key_Recursive(HKEY root, const WCHAR* key_path, Lib_Result& result) override;
    bool Delete_Registry_Keys_In_Path(HKEY root, const WCHAR* parent_path, const WCHAR* subkey_name,
                                      Lib_Result& result) override;
    bool Delete_Registry_Keys_In_User_Hive(HKEY root, const WCHAR* parent_path, const WCHAR* subkey_name,
                                           Lib_Result& result) override;
    bool Delete_Registry_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, Lib_Result& result,
                               REGSAM view_flags) override;
    void Delete_Registry_Value_Quietly(HKEY root, const WCHAR* key_path, const WCHAR* value_name,
                                       REGSAM view_flags) override;
    bool Set_Registry_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, DWORD type, const BYTE* data,
                            DWORD data_size, Lib_Result& result) override;
    bool Change_Key_Security(const WCHAR* object_name, SE_OBJECT_TYPE object_type,
                             const std::function<bool()>& change) override;

    bool SC_Delete_File(const WCHAR* path, bool& reboot_required, Lib_Result& result) override;
    bool SC_Delete_File_On_Reboot(const WCHAR* path, Lib_Result& result) override;
    bool SC_Remove_Directory(const WCHAR* folder, bool defer, bool& reboot_required, Lib_Result& result) override;
    bool SC_Remove_Empty_Directory(const WCHAR* folder, Lib_Result& result) override;
    void Left_Alone(const WCHAR*, const Lib_StringW&) override {}
    bool Lock_Down_Kept_Folder(const WCHAR* folder) override;
    bool Get_Absolute_File_Path_From_Special_Folder(int csidl, const WCHAR* sub_folder, const WCHAR* file_name,
                                                    Lib_StringW& path, Lib_Result& result) override;

    void Uninstall_Driver_Package(const WCHAR* published_name) override;
    void Forget_Smart_Card_Type(const WCHAR* card_key_path, const std::function<void()>& forget) override;

    bool Is_Registry_Key_Empty(HKEY root, const WCHAR* key_path, bool& is_empty, Lib_Result& result) override;
    bool Registry_Value_Deleted(HKEY, const WCHAR*, REGSAM, const WCHAR*) override { return false; }
    void Drop_Deleted_Names(HKEY, const WCHAR*, REGSAM, Lib_String_List&, Lib_String_List&) override {}
    bool Known_Path_State(const WCHAR*, bool&) override { return false; }
    void Drop_Deleted_Entries(const WCHAR*, Wide_Name_List&, size_t) override {}
    void Report_Unread(const Lib_StringW&, const Lib_Result&) override {}
    void Name_Key(HKEY, const WCHAR*) override {}
    void Forget_Key_Name(HKEY) override {}

private:
    bool Delete_Keys_In_Path(HKEY root, const WCHAR* parent_path, const WCHAR* subkey_name, Lib_Result& result,
                             bool links_refused);
};
