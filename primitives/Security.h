// Security the removal stages share: switching a privilege of the process token.
#pragma once

#include <windows.h>

// Enables or disables a privilege in the token of the current process. Logs nothing; on failure the
// failing call's error value is the thread's last error. A privilege that the token does not hold is
// a failure (ERROR_NOT_ALL_ASSIGNED).
bool SetProcessPrivilege(const WCHAR* privilege_name, bool enable);
