// The entry point: the fixed sequence of removal stages, its console lines and its exit code; the check
// after it, and the check mode, in which the same stages run without changing anything. The removal
// runs with the live changes; the check puts Check_Changes in force and quiets the log.

#include <windows.h>
#include <aclapi.h>

#include <stdio.h>

#include <initializer_list>

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "driverpkg/OEM_Package_Uninstall.h"
#include "files/Driver_Binaries.h"
#include "files/Installer_Caches.h"
#include "files/Self_Removal.h"
#include "foundation/Lib_Handles.h"
#include "primitives/Check_Changes.h"
#include "primitives/File_Primitives.h"
#include "primitives/Folder_Safety.h"
#include "primitives/Security.h"
#include "registry/Calais_Readers_Rights.h"
#include "registry/Installer_Identity.h"
#include "registry/Registry_Cleanup.h"
#include "registry/Smart_Cards.h"
#include "registry/Vendor_Settings.h"

namespace {

// Exit codes.
const int Exit_Done = 0;
const int Exit_Restart_Needed = 1;
const int Exit_No_Arguments = 2;
const int Exit_Product_Left = 3;
const int Exit_Installer_Busy = ERROR_INSTALL_ALREADY_RUNNING;  // 1618, which deployment systems retry
const int Exit_Invalid_Command_Line = ERROR_INVALID_COMMAND_LINE;  // 1639, a failure to deployment systems

// At most this many items are named on the console, a count standing for the rest; the log names all.
const size_t Items_Shown = 20;

void Log_Banner(const WCHAR* rule, const WCHAR* title) {
    Log_Info(rule);
    Log_Info(title);
    Log_Info(rule);
}

// The exit code's meaning, as the summary line words it.
const WCHAR* Exit_Code_Meaning(int exit_code) {
    switch (exit_code) {
    case Exit_Done: return TEXT("done; no restart needed");
    case Exit_Restart_Needed: return TEXT("done; restart the machine to finish");
    case Exit_No_Arguments: return TEXT("started without a program name; the bundle's uninstall was not scheduled");
    case Exit_Product_Left: return TEXT("something of the product could not be removed, or with /check is present");
    case Exit_Installer_Busy: return TEXT("Windows Installer was busy with another installation; nothing was changed");
    case Exit_Invalid_Command_Line: return TEXT("the command line was not understood; nothing was changed");
    default: return TEXT("not one of the tool's codes");
    }
}

void Log_End_Banner() {
    Log_Banner(TEXT("==============================================================================="),
               TEXT("===================================== END ====================================="));
}

void Start_Log() {
    Log_Create_File();
    Log_Banner(TEXT("================================================================================="),
               TEXT("===================================== START ====================================="));
    Log_Write_Header();
}

// A line on the console. The C runtime's console output stops at the first character its locale
// cannot convert, which would cut a name short: the console shows every character beyond ASCII as '?'.
void Print_Line(const Lib_StringW& line) {
    Lib_StringW shown(line);
    WCHAR* characters = shown.Get_Buffer(shown.Get_Length());
    for (long long at = 0; at < shown.Get_Length(); ++at) {
        if (characters[at] < 0x20 || characters[at] > 0x7E) characters[at] = TEXT('?');
    }
    wprintf(TEXT("%ls\n"), shown.Get_Text());
}

// A line that goes to the console and, as an information line, to the log (which keeps the names as
// its code page can).
void Tell(const Lib_StringW& line) {
    Print_Line(line);
    Log_Info(line);
}

// The run's one summary line, for the console and, just before the END banner, the log: the exit
// code and its meaning, what the run removed, what waits for the restart and what is left.
void Tell_Summary(int exit_code, unsigned items_not_removed) {
    const Removal_Counts& removed = Removed_So_Far();
    Lib_StringW line(TEXT("Summary: exit code "));
    line.Append(Decimal_Text(unsigned(exit_code)));
    line.Append(TEXT(" ("));
    line.Append(Exit_Code_Meaning(exit_code));
    line.Append(TEXT("); keys removed: "));
    line.Append(Decimal_Text(removed.keys));
    line.Append(TEXT("; values removed: "));
    line.Append(Decimal_Text(removed.values));
    line.Append(TEXT("; files removed: "));
    line.Append(Decimal_Text(removed.files));
    line.Append(TEXT("; folders removed: "));
    line.Append(Decimal_Text(removed.folders));
    line.Append(TEXT("; deletions at the next restart: "));
    line.Append(Decimal_Text(SC_Restart_Deletions_Scheduled()));
    line.Append(TEXT("; items not removed: "));
    line.Append(Decimal_Text(items_not_removed));
    Print_Line(line);
    Log_Info(line);
}

bool Is_One_Of(const WCHAR* argument, std::initializer_list<const WCHAR*> names) {
    Lib_StringW text(argument);
    for (const WCHAR* name : names) {
        if (text.Compare_No_Case(name) == 0) return true;
    }
    return false;
}

bool Is_Hex_Digit(WCHAR c) {
    return (c >= TEXT('0') && c <= TEXT('9')) || (c >= TEXT('a') && c <= TEXT('f')) || (c >= TEXT('A') && c <= TEXT('F'));
}

// An upgrade code as the installers write it: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, hexadecimal
// digits in any letter case.
bool Is_Upgrade_Code(const WCHAR* argument) {
    static const char layout[] = "{########-####-####-####-############}";
    size_t at = 0;
    for (; layout[at] != 0; ++at) {
        WCHAR c = argument[at];
        if (layout[at] == '#' ? !Is_Hex_Digit(c) : c != WCHAR(layout[at])) return false;
    }
    return argument[at] == 0;
}

enum class Command { Remove, Check, Help, Invalid };

// What the command line asks for. Nothing it does not know starts anything: a mistyped switch or a
// stray argument is refused before the log or the machine is touched.
struct Command_Line {
    Command command = Command::Remove;
    Lib_StringW bundle_upgrade_code;
    Lib_StringW unknown;  // the first argument refused (Command::Invalid)
};

Command_Line Parse_Command_Line(int argc, WCHAR* argv[]) {
    Command_Line line;
    bool check = false, help = false, code_taken = false;
    for (int at = 1; at < argc; ++at) {
        const WCHAR* argument = argv[at];
        if (Is_One_Of(argument, {TEXT("/?"), TEXT("-?"), TEXT("/help"), TEXT("-help")})) {
            help = true;
        } else if (!check && Is_One_Of(argument, {TEXT("/check"), TEXT("-check")})) {
            check = true;
        } else if (!code_taken && Is_Upgrade_Code(argument)) {
            line.bundle_upgrade_code = Lib_StringW(argument);
            code_taken = true;
        } else {
            line.command = Command::Invalid;
            line.unknown = Lib_StringW(argument);
            return line;
        }
    }
    line.command = help ? Command::Help : check ? Command::Check : Command::Remove;
    return line;
}

void Print_Usage() {
    wprintf(TEXT("Usage: vpRemovalTool.exe [/check] [{BUNDLE-UPGRADE-CODE}]\n"
                 "  {BUNDLE-UPGRADE-CODE}  the upgrade code of the product's installer bundle, in braces;\n"
                 "                         its quiet uninstall is scheduled for the next logon\n"
                 "  /check                 change nothing; tell what of the product is present (exit 3) or\n"
                 "                         that nothing is (exit 0)\n"
                 "  /?                     show this text\n"));
}

// Windows Installer holds the global mutex _MSIExecute while it runs an installation, which may be
// changing the registration the removal edits. Any account can create a mutex of that name in the
// global namespace; Windows Installer's service creates its own as LocalSystem, so one owned by any
// other account than SYSTEM, Administrators or TrustedInstaller is not the installer's and stops
// nothing. A mutex that exists but whose owner cannot be read, or that cannot be tested, counts as held.
bool Is_Installer_Busy() {
    const WCHAR* const name = TEXT("Global\\_MSIExecute");
    Owned_Handle mutex(OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, name));
    if (!mutex.Is_Open()) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return false;
        Report_System_Error(TEXT("OpenMutex"), error);
        Log_Info(TEXT("Global\\_MSIExecute exists but cannot be opened to read its owner: it counts as Windows Installer's."));
        return true;
    }
    PSID owner = nullptr;
    Owned_Local<PSECURITY_DESCRIPTOR> descriptor;
    DWORD error = GetSecurityInfo(mutex.Get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                  nullptr, descriptor.Receive());
    if (error != ERROR_SUCCESS) {
        Report_System_Error(TEXT("GetSecurityInfo"), error);
        Log_Info(TEXT("The owner of Global\\_MSIExecute cannot be read: it counts as Windows Installer's."));
        return true;
    }
    if (!SC_Is_Trusted_Owner(owner)) {
        Log_Info(TEXT("Global\\_MSIExecute is owned by ") + Sid_Text(static_cast<const SID*>(owner)) +
                 TEXT(", not by Windows Installer: it does not stop the run."));
        return false;
    }
    DWORD wait = WaitForSingleObject(mutex.Get(), 0);
    if (wait == WAIT_FAILED) Report_System_Error(TEXT("WaitForSingleObject"), GetLastError());
    bool free = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (free) ReleaseMutex(mutex.Get());
    return !free;
}

// The stages that find and remove the product once the readers' rights are set.
void Remove_Product(const Lib_StringW& bundle_upgrade_code, bool& reboot_required, Removal_Findings& findings) {
    Console_Print(TEXT("Cleaning registry...\n"));
    Unregister_Smart_Cards();
    Unregister_Settings();
    Lib_StringW bundle_folder;
    Lib_StringW product_folder;
    // The uninstall entries as this pass finds them, read once for the stages that ask about them.
    Uninstall_Entries uninstall_entries;
    Clean_Registry_From_Drivers(bundle_folder, product_folder, findings, uninstall_entries);
    Console_Print(TEXT("Uninstalling IFDH Drivers...\n"));
    Console_Print(TEXT("Deleting drivers binaries...\n"));
    Delete_Driver_Binaries(reboot_required);
    Delete_All_Caches(bundle_upgrade_code, uninstall_entries);
}

// What a read-only pass found (each item after its label: "LABEL: PATH", or "LABEL (left alone:
// REASON): PATH" for what the stages left alone), the lines about what it did not count, and how many
// of its calls failed.
struct Check_Outcome {
    std::vector<Lib_StringW> lines;
    std::vector<Lib_StringW> not_counted;
    unsigned failures = 0;
};

// The product's stages with the check in force and the log quiet.
Check_Outcome Run_Check_Pass(const Lib_StringW& bundle_upgrade_code, Removal_Findings& findings,
                             const WCHAR* label) {
    Quiet_Log quiet;
    Check_Changes check;
    {
        Changes_In_Force in_force(check);
        Remove_Precompiled_OEM_Files();
        bool unused_reboot_flag = false;
        Remove_Product(bundle_upgrade_code, unused_reboot_flag, findings);
    }
    Check_Outcome outcome{{}, check.Not_Counted(), quiet.Error_Reports()};
    const std::vector<Lib_StringW>& items = check.Items();
    for (size_t at = 0; at < items.size(); ++at) {
        const Lib_StringW reason = check.Reason(at);
        const Lib_StringW after_label =
            reason.Is_Empty() ? Lib_StringW(TEXT(": ")) : TEXT(" (left alone: ") + reason + TEXT("): ");
        outcome.lines.push_back(Lib_StringW(label) + after_label + items[at]);
    }
    return outcome;
}

// Runs the product's stages as a read-only pass and tells what it found, each item after the label;
// true when something of the product is there or could not be looked at, with the count of the items
// found. The findings are the removal's, if one ran before.
bool Check_For_Product(const Lib_StringW& bundle_upgrade_code, Removal_Findings& findings, const WCHAR* label,
                       unsigned& items) {
    // The stages do not all leave the indentation as they found it; the lines after the pass stand
    // where they would without it.
    const DWORD offset = Log_Get_Offset();
    const Check_Outcome outcome = Run_Check_Pass(bundle_upgrade_code, findings, label);
    while (Log_Get_Offset() > offset) Log_Unindent();
    while (Log_Get_Offset() < offset) Log_Indent();

    for (const Lib_StringW& line : outcome.not_counted) Log_Info(line);
    // The log names every item; the console the first ones and a count.
    const std::vector<Lib_StringW>& lines = outcome.lines;
    for (size_t at = 0; at < lines.size(); ++at) {
        if (at < Items_Shown) Print_Line(lines[at]);
        Log_Info(lines[at]);
    }
    if (lines.size() > Items_Shown) {
        WCHAR more[Format_Text_Size];
        Format_Text(more, TEXT("%ls: %u more items"), label, unsigned(lines.size() - Items_Shown));
        Print_Line(more);
    }
    if (outcome.failures > 0) {
        WCHAR failed[Format_Text_Size];
        Format_Text(failed, TEXT("Not checked: %u of the check's calls failed; the log's error reports name them"),
                    outcome.failures);
        Tell(failed);
    }
    items = unsigned(lines.size());
    return !lines.empty() || outcome.failures > 0;
}

// The check mode: the log of its own, the items of the product that are there, and no change.
int Run_Check(const Lib_StringW& bundle_upgrade_code) {
    Log_Set_Base_Name(TEXT("vpRemovalTool-check"));
    Start_Log();
    Log_Info(TEXT("Checking for the product..."));
    Removal_Findings none;
    unsigned items = 0;
    bool present = Check_For_Product(bundle_upgrade_code, none, TEXT("Present"), items);
    Tell(present ? TEXT("Something of the product is present.") : TEXT("Nothing of the product is present."));
    const int exit_code = present ? Exit_Product_Left : Exit_Done;
    Tell_Summary(exit_code, items);
    Log_End_Banner();
    return exit_code;
}

}  // namespace

int wmain(int argc, WCHAR* argv[]) {
    Command_Line command_line = Parse_Command_Line(argc, argv);
    if (command_line.command == Command::Help) {
        Print_Usage();
        return Exit_Done;
    }
    if (command_line.command == Command::Invalid) {
        Print_Usage();
        Print_Line(TEXT("Unknown argument: ") + command_line.unknown);
        return Exit_Invalid_Command_Line;
    }
    const Lib_StringW& bundle_upgrade_code = command_line.bundle_upgrade_code;
    if (command_line.command == Command::Check) return Run_Check(bundle_upgrade_code);

    Start_Log();
    if (Is_Installer_Busy()) {
        Tell(TEXT("Windows Installer is running another installation: nothing was changed. Run the tool again when it has finished."));
        Tell_Summary(Exit_Installer_Busy, 0);
        Log_End_Banner();
        return Exit_Installer_Busy;
    }
    Remove_Precompiled_OEM_Files();

    Log_Info(TEXT("Removing drivers... "));
    bool Reboot_Required = false;
    Log_Indent();

    wprintf(TEXT("Setting rights to Calais\\Readers...\n"));
    Log_Info(TEXT("Setting rights to Calais\\Readers (SE_REGISTRY_KEY)"));
    bool readers_rights_set = Set_Calais_Readers_Rights(SE_REGISTRY_KEY);
    if (readers_rights_set && Is_64Bit_OS()) {
        Log_Info(TEXT("Setting rights to Calais\\Readers in wow6432 registry (SE_REGISTRY_WOW64_32KEY)"));
        wprintf(TEXT("Setting rights to Calais\\Readers in wow6432 registry...\n"));
        Set_Calais_Readers_Rights(SE_REGISTRY_WOW64_32KEY);
    }

    Removal_Findings findings;
    Remove_Product(bundle_upgrade_code, Reboot_Required, findings);
    Log_Unindent();
    Log_Info(TEXT("Drivers removed."));

    // Whichever stage scheduled a deletion for the restart, the removal is finished only by a restart.
    if (SC_Restart_Deletions_Scheduled() > 0) Reboot_Required = true;
    int exit_code = Exit_Done;
    if (Reboot_Required) {
        wprintf(TEXT("\nA reboot is required to finifsh the uninstallation process.\n"));
        wprintf(TEXT("Press enter...\n"));
        exit_code = Exit_Restart_Needed;
    }
    if (argc < 1) return Exit_No_Arguments;

    Remove_Self(bundle_upgrade_code);

    // What the run could not remove, deletions waiting for the restart counted as made.
    unsigned items_not_removed = 0;
    if (Check_For_Product(bundle_upgrade_code, findings, TEXT("Not removed"), items_not_removed)) {
        exit_code = Exit_Product_Left;
    }

    Tell_Summary(exit_code, items_not_removed);
    Log_End_Banner();
    return exit_code;
}
