// The read-only pass over the machine: the removal stages run as in a removal, but nothing is
// changed. Each operation that would remove something present records it as an item of the product
// instead, and the reads answer as if the removal had been made (a key whose last value would go
// counts as empty). Deletions waiting for the restart count as made. Writes, security changes and the
// forgetting of card types change nothing and record nothing. The pass is put in force by the entry
// point (Changes_In_Force) beside a Quiet_Log (Log_Report.h), which counts what it could not look at.
#pragma once

#include <windows.h>

#include <forward_list>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "primitives/Machine_Changes.h"

class Check_Changes final : public Machine_Changes {
public:
    // Reads the restart list: what waits for the restart counts as removed from the start.
    Check_Changes();

    // What the pass found, in the order the stages met it.
    const std::vector<Lib_StringW>& Items() const { return items_; }
    // Why the item at that index was left alone by the stages; empty for an item they would remove.
    Lib_StringW Reason(size_t at) const;
    // The lines about entries left alone that are not the product's, for the log.
    const std::vector<Lib_StringW>& Not_Counted() const { return not_counted_; }

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
    bool Set_Registry_Value(HKEY, const WCHAR*, const WCHAR*, DWORD, const BYTE*, DWORD, Lib_Result&) override {
        return true;
    }
    bool Change_Key_Security(const WCHAR*, SE_OBJECT_TYPE, const std::function<bool()>&) override { return true; }

    bool SC_Delete_File(const WCHAR* path, bool& reboot_required, Lib_Result& result) override;
    bool SC_Delete_File_On_Reboot(const WCHAR* path, Lib_Result& result) override;
    bool SC_Remove_Directory(const WCHAR* folder, bool defer, bool& reboot_required, Lib_Result& result) override;
    bool SC_Remove_Empty_Directory(const WCHAR* folder, Lib_Result& result) override;
    void Left_Alone(const WCHAR* path, const Lib_StringW& reason) override;
    bool Lock_Down_Kept_Folder(const WCHAR*) override { return true; }
    bool Get_Absolute_File_Path_From_Special_Folder(int csidl, const WCHAR* sub_folder, const WCHAR* file_name,
                                                    Lib_StringW& path, Lib_Result& result) override;

    void Uninstall_Driver_Package(const WCHAR* published_name) override;
    void Forget_Smart_Card_Type(const WCHAR*, const std::function<void()>&) override {}

    bool Is_Registry_Key_Empty(HKEY root, const WCHAR* key_path, bool& is_empty, Lib_Result& result) override;
    bool Registry_Value_Deleted(HKEY root, const WCHAR* key_path, REGSAM view, const WCHAR* value_name) override;
    void Drop_Deleted_Names(HKEY root, const WCHAR* key_path, REGSAM view, Lib_String_List& subkeys,
                            Lib_String_List& values) override;
    bool Known_Path_State(const WCHAR* path, bool& exists) override;
    void Drop_Deleted_Entries(const WCHAR* folder, Wide_Name_List& names, size_t first) override;
    void Report_Unread(const Lib_StringW& call, const Lib_Result& result) override;
    void Name_Key(HKEY key, const WCHAR* name) override { key_names_[key] = name; }
    void Forget_Key_Name(HKEY key) override { key_names_.erase(key); }

    // What the pass counts as removed, and what it records. root is a predefined key or a key named
    // with Name_Key; view is 0, KEY_WOW64_64KEY or KEY_WOW64_32KEY.
    // Whether the pass recorded the key, or a key above it, as removed.
    bool Key_Removed(HKEY root, const WCHAR* path, REGSAM view) const;
    // Whether the pass recorded a subkey or a value of the key itself.
    bool Key_Holds_Removed(HKEY root, const WCHAR* path, REGSAM view) const;
    void Record_Key(HKEY root, const WCHAR* path, REGSAM view);
    void Record_Value(HKEY root, const WCHAR* path, REGSAM view, const WCHAR* value_name);
    // Files and folders, by full path.
    bool Path_Removed(const WCHAR* path) const;
    // Whether a deletion of the path waits for the restart.
    bool Path_Pending(const WCHAR* path) const;
    void Record_Path(const WCHAR* path);

private:
    typedef std::basic_string<WCHAR> Id;
    typedef std::basic_string_view<WCHAR> Id_View;

    // Ids, each kept once, that a part of a longer id is looked up among without being copied: the
    // pass asks about every key a walk meets, and about each of the key's parents.
    class Id_Set {
    public:
        void Insert(Id id);
        bool Contains(Id_View id) const { return views_.count(id) != 0; }
        bool Empty() const { return views_.empty(); }
        // Whether the id, or one of the ids above it (cut at a backslash), is in the set.
        bool Covers(Id_View id) const;

    private:
        std::forward_list<Id> ids_;  // the texts the views show; a node never moves
        std::unordered_set<Id_View> views_;
    };

    const WCHAR* Root_Name(HKEY root) const;
    Lib_StringW Key_Shown(HKEY root, const WCHAR* path, REGSAM view) const;
    Id Key_Id(HKEY root, const WCHAR* path, REGSAM view) const;
    Id Value_Id(HKEY root, const WCHAR* path, REGSAM view, const WCHAR* value_name) const;
    static void Append_Value_Name(Id& key_id, const WCHAR* value_name);
    bool Check_Key(HKEY root, const WCHAR* key_path, REGSAM view, Lib_Result& result);
    bool Check_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, REGSAM view, Lib_Result& result);
    bool Entry_Remains(const WCHAR* path);
    bool Check_Entry(const WCHAR* path);

    std::vector<Lib_StringW> items_;
    std::map<size_t, Lib_StringW> reasons_;   // by item index: the items left alone
    std::vector<Lib_StringW> not_counted_;
    Id_Set removed_keys_;     // key ids
    Id_Set removed_values_;   // key id, a zero, the value's id
    Id_Set holding_removed_;  // ids of the keys that hold a recorded key or value
    Id_Set removed_paths_;
    Id_Set pending_paths_;    // deletions waiting for the restart
    std::map<HKEY, Lib_StringW> key_names_;   // keys the stages opened themselves
};
