// Kernel32's system calls over the simulated machine: debugger output, clock, module name and the
// version test, answered as Windows answers an executable whose manifest declares no
// operating-system compatibility.
#include "machine/machine.h"

#include <windows.h>

#include <algorithm>

namespace winsim {

namespace {

const int64_t kMsPerDay = 86400000;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar. Years are counted from
// March, so that the leap day closes the year and each 400-year era has 146097 days.
int64_t Days_From_Date(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t year_of_era = year - era * 400;
    int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

void Date_From_Days(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t day_of_era = days - era * 146097;
    int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t month_from_march = (5 * day_of_year + 2) / 153;
    day = unsigned(day_of_year - (153 * month_from_march + 2) / 5 + 1);
    month = unsigned(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
    year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
}

// The version that Windows reports to an executable without a compatibility manifest: anything
// above 6.2 is answered as 6.2, build 9200, without service pack.
Os_Info Answered_Version(const Os_Info& real) {
    Os_Info answer = real;
    if (real.major > 6 || (real.major == 6 && real.minor > 2)) {
        answer.major = 6;
        answer.minor = 2;
        answer.build = 9200;
        answer.service_pack = 0;
    }
    return answer;
}

BYTE Condition_Of(DWORDLONG condition_mask, DWORD type_bit) {
    unsigned index = 0;
    while (index < 8 && !(type_bit & (1u << index))) ++index;
    return BYTE((condition_mask >> (3 * index)) & 7);
}

// order: negative, 0 or positive as the running system is below, equal to or above the request.
bool Order_Meets(int order, BYTE condition) {
    switch (condition) {
    case VER_EQUAL: return order == 0;
    case VER_GREATER: return order > 0;
    case VER_GREATER_EQUAL: return order >= 0;
    case VER_LESS: return order < 0;
    case VER_LESS_EQUAL: return order <= 0;
    default: return false;
    }
}

int Order_Of(DWORD current, DWORD wanted) { return current < wanted ? -1 : current > wanted ? 1 : 0; }

}  // namespace

}  // namespace winsim

using namespace winsim;

void OutputDebugStringW(LPCWSTR text) {
    if (!text) return;
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    machine.debug_output.push_back(text);
    machine.debug_threads.push_back(GetCurrentThreadId());
}

void GetSystemTime(LPSYSTEMTIME time) {
    if (!time) return;
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    const SYSTEMTIME& start = machine.start_time;
    int64_t days = Days_From_Date(start.wYear, start.wMonth, start.wDay);
    uint64_t ms = ((uint64_t(start.wHour) * 60 + start.wMinute) * 60 + start.wSecond) * 1000 +
                  start.wMilliseconds + machine.clock_ms;
    days += int64_t(ms / kMsPerDay);
    ms %= kMsPerDay;
    int64_t year = 0;
    unsigned month = 0, day = 0;
    Date_From_Days(days, year, month, day);
    time->wYear = WORD(year);
    time->wMonth = WORD(month);
    time->wDay = WORD(day);
    time->wDayOfWeek = WORD(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday; Sunday is 0
    time->wHour = WORD(ms / 3600000);
    time->wMinute = WORD(ms / 60000 % 60);
    time->wSecond = WORD(ms / 1000 % 60);
    time->wMilliseconds = WORD(ms % 1000);
}

void Sleep(DWORD milliseconds) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    machine.clock_ms += milliseconds;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD error = 0;
    if (machine.Take_Fault("GetModuleFileNameW", Text(), &error)) {
        SetLastError(error);
        return 0;
    }
    if (module) {  // only the running executable is known here
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (!file_name || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const Text& path = machine.module_path;
    if (path.size() < size) {
        std::copy(path.begin(), path.end(), file_name);
        file_name[path.size()] = 0;
        return DWORD(path.size());
    }
    // Too small: the name is cut to size - 1 characters and terminated; the answer is size.
    std::copy(path.begin(), path.begin() + (size - 1), file_name);
    file_name[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

ULONGLONG VerSetConditionMask(ULONGLONG condition_mask, DWORD type_mask, BYTE condition) {
    if (type_mask == 0 || condition == 0) return condition_mask;
    // Three bits per member, at the place of the member's bit in the type mask.
    for (unsigned index = 0; index < 8; ++index) {
        if (!(type_mask & (1u << index))) continue;
        condition_mask &= ~(ULONGLONG(7) << (3 * index));
        condition_mask |= ULONGLONG(condition & 7) << (3 * index);
    }
    return condition_mask;
}

BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD type_mask, DWORDLONG condition_mask) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD error = 0;
    if (machine.Take_Fault("VerifyVersionInfoW", Text(), &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (!info || type_mask == 0 || condition_mask == 0) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return FALSE;
    }
    Os_Info os = Answered_Version(machine.os);
    bool meets = true;

    // Major, minor and service-pack versions form one number, compared member by member while
    // equal, under the condition of the most significant member asked for.
    const DWORD levels[4] = {VER_MAJORVERSION, VER_MINORVERSION, VER_SERVICEPACKMAJOR, VER_SERVICEPACKMINOR};
    const DWORD current[4] = {os.major, os.minor, os.service_pack, 0};
    const DWORD wanted[4] = {info->dwMajorVersion, info->dwMinorVersion, info->wServicePackMajor,
                             info->wServicePackMinor};
    int first = 0;
    while (first < 4 && !(type_mask & levels[first])) ++first;
    if (first < 4) {
        int order = 0;
        for (int level = first; level < 4 && order == 0; ++level)
            if (type_mask & levels[level]) order = Order_Of(current[level], wanted[level]);
        meets = Order_Meets(order, Condition_Of(condition_mask, levels[first]));
    }
    if (meets && (type_mask & VER_BUILDNUMBER))
        meets = Order_Meets(Order_Of(os.build, info->dwBuildNumber),
                            Condition_Of(condition_mask, VER_BUILDNUMBER));
    if (meets && (type_mask & VER_PLATFORMID))
        meets = Order_Meets(Order_Of(VER_PLATFORM_WIN32_NT, info->dwPlatformId),
                            Condition_Of(condition_mask, VER_PLATFORMID));
    if (meets && (type_mask & VER_PRODUCT_TYPE))
        meets = Order_Meets(Order_Of(os.product_type, info->wProductType),
                            Condition_Of(condition_mask, VER_PRODUCT_TYPE));
    if (meets && (type_mask & VER_SUITENAME)) {
        BYTE condition = Condition_Of(condition_mask, VER_SUITENAME);
        WORD present = os.suite_mask & info->wSuiteMask;
        if (condition == VER_AND) meets = present == info->wSuiteMask;
        else if (condition == VER_OR) meets = present != 0;
        else meets = false;
    }
    if (!meets) SetLastError(ERROR_OLD_WIN_VERSION);
    return meets ? TRUE : FALSE;
}

// The environment of a Windows 10 system, as a service's process has it: the names ExpandEnvironmentStringsW
// replaces (compared without regard to case). Windows answers with the length the expansion needs,
// its terminator included, whether or not it fits.
DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
    using winsim::Text;
    winsim::Machine& machine = winsim::The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD error = 0;
    Text text = winsim::From_Wide_Pointer(source);
    if (machine.Take_Fault("ExpandEnvironmentStringsW", text, &error)) {
        SetLastError(error);
        return 0;
    }
    const Text drive = machine.windows_directory.substr(0, 2);
    const std::pair<Text, Text> variables[] = {
        {u"SystemDrive", drive}, {u"SystemRoot", machine.windows_directory}, {u"windir", machine.windows_directory},
        {u"ProgramData", drive + u"\\ProgramData"}, {u"ALLUSERSPROFILE", drive + u"\\ProgramData"},
        {u"ProgramFiles", drive + u"\\Program Files"}, {u"PUBLIC", drive + u"\\Users\\Public"}};
    Text out;
    size_t at = 0;
    while (at < text.size()) {
        size_t open = text.find(u'%', at);
        size_t close = open == Text::npos ? Text::npos : text.find(u'%', open + 1);
        if (close == Text::npos) {
            out += text.substr(at);
            break;
        }
        out += text.substr(at, open - at);
        Text name = text.substr(open + 1, close - open - 1);
        const Text* value = nullptr;
        for (const auto& variable : variables)
            if (winsim::Same_Name(variable.first, name)) value = &variable.second;
        if (value) {
            out += *value;
            at = close + 1;
        } else {
            out += text.substr(open, close - open);  // an unknown name stays; its closing % may open the next
            at = close;
        }
    }
    DWORD needed = DWORD(out.size() + 1);
    if (destination && size >= needed) {
        std::copy(out.begin(), out.end(), destination);
        destination[out.size()] = 0;
    }
    return needed;
}
