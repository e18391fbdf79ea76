// The redirected and shared keys of Windows 7 and later (the only table modelled; Vista's reflection
// and its redirected HKLM\SOFTWARE\Classes are not). Subkeys behave as their nearest listed ancestor.
//
// HKEY_LOCAL_MACHINE
//   SOFTWARE                               redirected to SOFTWARE\Wow6432Node
//   SOFTWARE\Classes                       shared, except the five redirected class keys below
//   SOFTWARE\Classes\CLSID, DirectShow,    redirected to SOFTWARE\Classes\Wow6432Node\<key>
//     Interface, Media Type, MediaFoundation
//   the SOFTWARE subkeys in kSharedMachineKeys   shared
// HKEY_CURRENT_USER
//   everything                             shared
//   SOFTWARE\Classes\CLSID, DirectShow,    redirected to SOFTWARE\Classes\Wow6432Node\<key>
//     Interface, Media Type, MediaFoundation
//
// Wine 8 differs: it redirects all of HKLM\SOFTWARE\Classes (to Classes\Wow6432Node) and none of
// HKCU\SOFTWARE\Classes. Calais\Readers and Group Policy are shared there as here.
#include "machine/registry_views.h"

#include <algorithm>
#include <initializer_list>

namespace winsim {

namespace {

const char16_t kWow6432Node[] = u"Wow6432Node";

// Below HKEY_LOCAL_MACHINE\SOFTWARE.
const std::initializer_list<const char16_t*> kSharedMachineKeys = {
    u"Clients",
    u"Microsoft\\COM3",
    u"Microsoft\\Cryptography\\Calais\\Current",
    u"Microsoft\\Cryptography\\Calais\\Readers",
    u"Microsoft\\Cryptography\\Services",
    u"Microsoft\\CTF\\SystemShared",
    u"Microsoft\\CTF\\TIP",
    u"Microsoft\\DFS",
    u"Microsoft\\Driver Signing",
    u"Microsoft\\EnterpriseCertificates",
    u"Microsoft\\EventSystem",
    u"Microsoft\\MSMQ",
    u"Microsoft\\Non-Driver Signing",
    u"Microsoft\\Notepad\\DefaultFonts",
    u"Microsoft\\OLE",
    u"Microsoft\\RAS",
    u"Microsoft\\RPC",
    u"Microsoft\\SOFTWARE\\Microsoft\\Shared Tools\\MSInfo",
    u"Microsoft\\SystemCertificates",
    u"Microsoft\\TermServLicensing",
    u"Microsoft\\Transaction Server",
    u"Microsoft\\Windows\\CurrentVersion\\App Paths",
    u"Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cursors\\Schemes",
    u"Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers",
    u"Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons",
    u"Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap",
    u"Microsoft\\Windows\\CurrentVersion\\Group Policy",
    u"Microsoft\\Windows\\CurrentVersion\\Policies",
    u"Microsoft\\Windows\\CurrentVersion\\PreviewHandlers",
    u"Microsoft\\Windows\\CurrentVersion\\Setup",
    u"Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations",
    u"Microsoft\\Windows NT\\CurrentVersion\\Console",
    u"Microsoft\\Windows NT\\CurrentVersion\\FontDpi",
    u"Microsoft\\Windows NT\\CurrentVersion\\FontLink",
    u"Microsoft\\Windows NT\\CurrentVersion\\FontMapper",
    u"Microsoft\\Windows NT\\CurrentVersion\\Fonts",
    u"Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes",
    u"Microsoft\\Windows NT\\CurrentVersion\\Gre_Initialize",
    u"Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
    u"Microsoft\\Windows NT\\CurrentVersion\\LanguagePack",
    u"Microsoft\\Windows NT\\CurrentVersion\\NetworkCards",
    u"Microsoft\\Windows NT\\CurrentVersion\\Perflib",
    u"Microsoft\\Windows NT\\CurrentVersion\\Ports",
    u"Microsoft\\Windows NT\\CurrentVersion\\Print",
    u"Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
    u"Microsoft\\Windows NT\\CurrentVersion\\Time Zones",
    u"Policies",
    u"RegisteredApplications",
};

// Below SOFTWARE\Classes, in both hives.
const std::initializer_list<const char16_t*> kRedirectedClassKeys = {
    u"CLSID", u"DirectShow", u"Interface", u"Media Type", u"MediaFoundation",
};

// True when path[first...] begins with the backslash-separated names of listed.
bool Starts_With(const std::vector<Text>& path, size_t first, const Text& listed) {
    size_t at = first;
    size_t start = 0;
    while (start <= listed.size()) {
        size_t end = listed.find(u'\\', start);
        if (end == Text::npos) end = listed.size();
        if (at >= path.size() || !Same_Name(path[at], listed.substr(start, end - start))) return false;
        ++at;
        start = end + 1;
    }
    return true;
}

bool Is_Listed(const std::vector<Text>& path, size_t first, std::initializer_list<const char16_t*> keys) {
    return std::any_of(keys.begin(), keys.end(),
                       [&](const char16_t* listed) { return Starts_With(path, first, listed); });
}

std::vector<Text> Insert_Node(const std::vector<Text>& path, size_t at) {
    std::vector<Text> out(path.begin(), path.begin() + at);
    out.push_back(kWow6432Node);
    out.insert(out.end(), path.begin() + at, path.end());
    return out;
}

}  // namespace

std::vector<Text> Path_In_32Bit_View(bool machine_hive, const std::vector<Text>& path) {
    if (path.empty() || !Same_Name(path[0], u"SOFTWARE")) return path;
    if (path.size() >= 2 && Same_Name(path[1], kWow6432Node)) return path;
    if (path.size() >= 2 && Same_Name(path[1], u"Classes")) {
        if (path.size() >= 3 && !Same_Name(path[2], kWow6432Node) && Is_Listed(path, 2, kRedirectedClassKeys))
            return Insert_Node(path, 2);
        return path;
    }
    if (!machine_hive || Is_Listed(path, 1, kSharedMachineKeys)) return path;
    return Insert_Node(path, 1);
}

}  // namespace winsim
