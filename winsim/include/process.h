// The C runtime's process and thread calls; _beginthreadex is declared with the rest of the API slice.
#pragma once

#include <windows.h>
