// The sweep's tables: what each API answers when it fails, and where the tool reports a failed call
// (the report rules, by API, subject and call site).
#pragma once

#include "machine/machine.h"

#include <string>

// Where the tool reports a failed call. A failure of API "NameW" (or "Name") is reported as "Name"
// with the injected error value, unless a row below says otherwise: other report names ("A|B"), or,
// with no names, a failure that the tool leaves unreported on purpose, with the reason. A row with a
// subject applies only to calls whose subject (path, key, value or object kind) contains it, a row
// with a site only to calls made from that call site: the tool's functions on the stack, innermost
// first, where "..." stands for any number of them (the check pass runs the stages from
// Check_For_Product, so a site ending "Remove_Product < wmain" is the removal's alone); the first row
// that applies counts. A log line's wording plays no part.
struct Report_Rule {
    const char* api;
    const char* subject;  // null: any; else the call's subject contains it
    const char* site;     // null: any; else the call's site fits it
    const char* names;    // null: no report expected
    const char* reason;   // why no report is expected
    DWORD shown = 0;      // non-zero: the Win32 value the report shows for the injected status
};
// The first rule that applies to a failed call, or null: the report names the API itself.
const Report_Rule* Rule_For(const winsim::Machine::Fault_Hit& hit);
// Whether a call site fits a rule's: the same functions in the same order, "..." standing for any
// number of them.
bool Site_Fits(const std::string& site, const char* pattern);
// The value the sweep makes an API fail with; false for an API the table does not name.
bool Failure_For(const std::string& api, DWORD& error);
// "5(0x5)", as the error report prints a value.
std::string Number_Text(DWORD value);
// A name in upper case, as Windows compares names (UTF-8).
std::string Upper(const winsim::Text& text);
