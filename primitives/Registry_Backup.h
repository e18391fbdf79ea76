// The backup of every registry change: before the run deletes a key or a value, or changes a key's
// security, what it is about to change is saved to a regedit file, from which "reg import" puts the
// keys and values back. The file, vpRemovalTool-backup.reg, is made at the first change only (a run
// that changes nothing writes none) in a folder of its own that the run makes in the log's folder,
// vpRemovalTool-backup-XXXXXXXXXXXXXXXX (16 random hexadecimal digits: nobody can make it, or anything
// in it, ahead of the run); its full path goes to the console and the log before that change. The
// first failure is reported, the log says that the backup stops there, and the run goes on without
// it. Main thread only.
#pragma once

#include <windows.h>
#include <accctrl.h>

// Saves the key named key_path below root (a predefined key or an open key), with its values and
// everything below it, as the tree deletion walks it: by each key's own name, never through a
// symbolic link (a link is listed in a comment, as regedit files cannot make links). Nothing is saved
// for a missing key.
void Backup_Key_Tree(HKEY root, const WCHAR* key_path);
// Names another user's hive: keys of the hive the kernel names \REGISTRY\USER\HIVE_NAME are saved below
// HKEY_USERS\SID. With hive_file (a hive the run loaded from that file under a name of its own), a
// comment before its first key says how to restore them while the hive is not loaded: load it, import,
// unload. A null sid forgets the name.
void Backup_Name_User_Hive(const WCHAR* hive_name, const WCHAR* sid, const WCHAR* hive_file);
// Saves one value of the key, in the given view (0 or KEY_WOW64_32KEY); nothing for a missing one.
void Backup_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, REGSAM view_flags);
// Saves the owner and access list of a key named as the security calls name it ("MACHINE\...",
// SE_REGISTRY_KEY or SE_REGISTRY_WOW64_32KEY), in SDDL, in a comment with the command that restores
// them.
void Backup_Key_Security(const WCHAR* object_name, SE_OBJECT_TYPE object_type);
// Closes the backup file; the next change starts a new one (for tests: one backup per run).
void Backup_Close_File();
