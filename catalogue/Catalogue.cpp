#include "catalogue/Catalogue.h"

namespace {

const WCHAR* const Driver_Binary_Names[] = {
    TEXT("vpAPIi.dll"),      TEXT("vpAPI.dll"),       TEXT("vpAPIex.dll"),   TEXT("vpAPIiCOM.dll"),
    TEXT("vpAPIlt.dll"),     TEXT("vpCSP.dll"),       TEXT("vpCSP.sig"),     TEXT("vpErr.dll"),
    TEXT("vpGrTools.dll"),   TEXT("vpICCSP.dll"),     TEXT("vpLib.dll"),     TEXT("vpPKCS11.dll"),
    TEXT("vpPKCS11ECP.dll"), TEXT("vpPrCSP.dll"),     TEXT("vpPrCSP.sig"),   TEXT("vpMiniDrv.dll"),
    TEXT("vpMiniDrv32.dll"), TEXT("vpMiniDrv64.dll"),
};

const WCHAR* const Control_Panel_Shortcut_Names[] = {
    TEXT("Панель управления VESPARIO.lnk"),
    TEXT("VESPARIO Control Panel.lnk"),
};

const WCHAR* const Smart_Card_Type_Names[] = {
    TEXT("VESPARIO"),         TEXT("VESPARIO FKC"),        TEXT("VESPARIO SC"),
    TEXT("VESPARIO SC T0"),   TEXT("VESPARIO SC T1"),      TEXT("VESPARIO lite"),
    TEXT("VESPARIO lite SC"), TEXT("VESPARIO lite SC T0"), TEXT("VESPARIO lite SC T1"),
    TEXT("VESPARIO lite SD"),
};

template <size_t N>
constexpr Name_Table Table_Of(const WCHAR* const (&names)[N]) {
    return Name_Table{names, N};
}

}  // namespace

const Name_Table Driver_Binaries = Table_Of(Driver_Binary_Names);
const Name_Table Control_Panel_Shortcuts = Table_Of(Control_Panel_Shortcut_Names);
const Name_Table Smart_Card_Names = Table_Of(Smart_Card_Type_Names);
