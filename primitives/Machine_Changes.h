// The one way the tool changes the machine. Every deletion of a registry key or value, of a file or a
// folder tree, every deletion scheduled for the restart, every value written, every security change,
// every driver package uninstalled and every smart-card type forgotten is one of these operations, on
// the implementation in force (Changes()). There are two:
// - Live_Changes (Live_Changes.h) makes the change, after saving what it is about to change to the
//   registry backup;
// - Check_Changes (Check_Changes.h), the read-only pass over the machine, changes nothing: it records
//   what it finds as an item of the product, and answers the reads below as if the change had been
//   made.
// The live one is in force unless the entry point puts the check in force (Changes_In_Force). The
// stages and the reading primitives never ask which one it is.
#pragma once

#include <windows.h>
#include <accctrl.h>

#include <functional>

#include "diagnostics/Lib_Result.h"
#include "foundation/Lib_Lists.h"
#include "foundation/Lib_String.h"

class Machine_Changes {
public:
    virtual ~Machine_Changes() = default;

    // Registry keys and values. A missing key or value counts as deleted.
    // Deletes one key that has no subkeys.
    virtual bool Delete_Registry_Key(HKEY root, const WCHAR* key_path, Lib_Result& result) = 0;
    // Deletes a key with all its subkeys, children first.
    virtual bool Delete_Registry_Key_Recursive(HKEY root, const WCHAR* key_path, Lib_Result& result) = 0;
    // Deletes the tree of a subkey below a parent, in the 64-bit and then in the 32-bit registry view.
    virtual bool Delete_Registry_Keys_In_Path(HKEY root, const WCHAR* parent_path, const WCHAR* subkey_name,
                                              Lib_Result& result) = 0;
    // The same in a hive whose contents another user controls: the parent is opened as itself in each
    // view, and a parent that is a symbolic link is logged and left alone ("Left alone (registry link):
    // PATH"), since what it points to lies outside the hive.
    virtual bool Delete_Registry_Keys_In_User_Hive(HKEY root, const WCHAR* parent_path, const WCHAR* subkey_name,
                                                   Lib_Result& result) = 0;
    virtual bool Delete_Registry_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, Lib_Result& result,
                                       REGSAM view_flags) = 0;
    // Deletes one value in one view without looking at the outcome or logging anything.
    virtual void Delete_Registry_Value_Quietly(HKEY root, const WCHAR* key_path, const WCHAR* value_name,
                                               REGSAM view_flags) = 0;
    // Writes one value; with a key path (not null) the key is created when missing.
    virtual bool Set_Registry_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, DWORD type,
                                    const BYTE* data, DWORD data_size, Lib_Result& result) = 0;
    // Runs change, which changes the security of the key named as the security calls name it
    // ("MACHINE\...", SE_REGISTRY_KEY or SE_REGISTRY_WOW64_32KEY); its answer.
    virtual bool Change_Key_Security(const WCHAR* object_name, SE_OBJECT_TYPE object_type,
                                     const std::function<bool()>& change) = 0;

    // Files and folders.
    // Deletes a file, clearing its read-only attribute and retrying if need be; a file in use is
    // scheduled for deletion at the next restart, which sets the reboot flag. An access-denied file is
    // tried again every two seconds, ten times, until the run has waited a minute in all for such
    // files; after that each is tried once more.
    virtual bool SC_Delete_File(const WCHAR* path, bool& reboot_required, Lib_Result& result) = 0;
    virtual bool SC_Delete_File_On_Reboot(const WCHAR* path, Lib_Result& result) = 0;
    // Removes a folder tree, children first (File_Primitives.h says how).
    virtual bool SC_Remove_Directory(const WCHAR* folder, bool defer, bool& reboot_required, Lib_Result& result) = 0;
    // Removes a folder only when it is empty; leaving a non-empty folder is success.
    virtual bool SC_Remove_Empty_Directory(const WCHAR* folder, Lib_Result& result) = 0;
    // An entry of the product in a place the folder-safety check refused (the reason says why), which
    // the stages leave as it is. The live one has nothing to do; the check counts the entry as there,
    // unless an ordinary user owns it: the product installs with administrator rights, so what such a
    // user made is not the product's, and it is noted as left alone without being counted.
    virtual void Left_Alone(const WCHAR* path, const Lib_StringW& reason) = 0;
    // Locks down a folder tree that is kept for a program to be run from it (Tree_Protection.h).
    virtual bool Lock_Down_Kept_Folder(const WCHAR* folder) = 0;
    // The special folder (created when missing, by the live one) joined with the sub-folder and file name.
    virtual bool Get_Absolute_File_Path_From_Special_Folder(int csidl, const WCHAR* sub_folder, const WCHAR* file_name,
                                                            Lib_StringW& path, Lib_Result& result) = 0;

    // Driver packages and smart-card types.
    // Uninstalls the driver package of the published name ("oem12.inf"), forced.
    virtual void Uninstall_Driver_Package(const WCHAR* published_name) = 0;
    // Runs forget, which has the smart-card resource manager forget a card type: the resource manager
    // deletes the card's key (below HKEY_LOCAL_MACHINE) itself.
    virtual void Forget_Smart_Card_Type(const WCHAR* card_key_path, const std::function<void()>& forget) = 0;

    // The reads, as the machine stands after the changes made so far.
    virtual bool Is_Registry_Key_Empty(HKEY root, const WCHAR* key_path, bool& is_empty, Lib_Result& result) = 0;
    // Whether the value (or its key) counts as deleted already.
    virtual bool Registry_Value_Deleted(HKEY root, const WCHAR* key_path, REGSAM view, const WCHAR* value_name) = 0;
    // Leaves out of a key's listing what counts as deleted.
    virtual void Drop_Deleted_Names(HKEY root, const WCHAR* key_path, REGSAM view, Lib_String_List& subkeys,
                                    Lib_String_List& values) = 0;
    // True when the answer to whether the path exists is given without looking at it, in exists.
    virtual bool Known_Path_State(const WCHAR* path, bool& exists) = 0;
    // Leaves out of a folder's listing, from first on, what counts as deleted.
    virtual void Drop_Deleted_Entries(const WCHAR* folder, Wide_Name_List& names, size_t first) = 0;
    // A read that failed for another reason than a missing object: the live one passes it over (the
    // stage skips what it could not read), the check reports it (what it could not read may be the
    // product's).
    virtual void Report_Unread(const Lib_StringW& call, const Lib_Result& result) = 0;

    // Registry keys opened by the stages themselves, named for the check's items: the name holds while
    // the key is open (Owned_Registry_Key forgets it at the close).
    virtual void Name_Key(HKEY key, const WCHAR* name) = 0;
    virtual void Forget_Key_Name(HKEY key) = 0;
};

// The implementation in force.
Machine_Changes& Changes();

// What the live changes removed so far in this run, each counted when its call succeeded: registry
// keys (every key of a tree), values deleted on their own (not those that go with their key), files,
// and folders (folder links among them), and the key of a card type the resource manager forgot. A
// driver package's files, which Windows removes with the package, are not counted. Main thread only.
struct Removal_Counts {
    unsigned keys = 0;
    unsigned values = 0;
    unsigned files = 0;
    unsigned folders = 0;
};
Removal_Counts& Removed_So_Far();

// Puts an implementation in force while it lives, then the one before it again. Main thread only,
// before any worker starts.
class Changes_In_Force {
public:
    explicit Changes_In_Force(Machine_Changes& changes);
    ~Changes_In_Force();
    Changes_In_Force(const Changes_In_Force&) = delete;
    Changes_In_Force& operator=(const Changes_In_Force&) = delete;

private:
    Machine_Changes* before_;
};
