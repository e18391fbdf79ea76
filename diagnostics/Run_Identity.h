// What names a run in its log's header: the tool's version, the command line as Windows passed it,
// the account the process runs as and the computer's name. Each failure is reported and the line
// says what could not be read.
#pragma once

#include <windows.h>

#include "foundation/Lib_String.h"

// The identifier's text form ("S-1-5-32-544"), as access lists in SDDL and the log name it.
Lib_String Sid_Text(const SID* sid);

// "Tool version: 1.0.0.0".
Lib_StringW Tool_Version_Line();
// "Command line: " and the command line as given.
Lib_StringW Command_Line_Line();
// "Account: DOMAIN\name (S-1-...)"; "Account: S-1-... (the name could not be read)" when the SID has
// no name to be found; "Account: could not be read" when the process token cannot be read.
Lib_StringW Account_Line();
// "Computer: NAME"; "Computer: could not be read".
Lib_StringW Computer_Line();
