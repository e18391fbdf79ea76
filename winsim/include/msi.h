// Windows Installer calls, as the Windows SDK's msi.h declares them.
#pragma once

#include <windows.h>

// Fills product_buffer, which must hold 39 characters, with the braced product code of the related
// product at product_index among those registered with upgrade_code; ERROR_NO_MORE_ITEMS past the end.
UINT WINAPI MsiEnumRelatedProductsW(LPCWSTR upgrade_code, DWORD reserved, DWORD product_index,
                                    LPWSTR product_buffer);

#ifdef UNICODE
#define MsiEnumRelatedProducts MsiEnumRelatedProductsW
#endif
