// The admin tables' rows: the helper's hand-over scenarios (helperdriver.exe) and what a local
// user plants in the folders open to everyone.
#pragma once
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/session_test.h"

namespace e2e {

struct HandOverRow {
    const char* which; // helperdriver's scenario
    bool logOn, granted;
    std::vector<std::string> adminLog;
};

inline std::vector<HandOverRow> HandOverRows() {
    const std::string helperGranted = "Install -ADMIN HandleSetOrvanePermissionsAsAdmin";
    const std::vector<std::string> noSocket = {
        "startAdminSocket() KLVWSASocket() ERROR",
        "Install -ADMIN WM_COPYDATA startAdminSocket() failed"};
    return {
        // Kind 1 is ignored, then kind 5 grants once and ends the helper.
        {"kind1-kind5", true, true, {helperGranted}},
        // A frame over the request's limit is dropped like an unknown kind: kind 5 still grants.
        {"long-kind5", true, true, {helperGranted}},
        // Served even when the peer closed before the hand-over; no switch file, no log.
        {"kind5-closed", false, true, {}},
        {"short", true, false, {}},
        {"kind16-close", true, false, {}},
        {"close", true, false, {}},
        {"nosocket", true, false, noSocket},
        // A record one byte short is no record: a socket made from it would be read past the copy.
        {"shortcopy", true, false, noSocket},
    };
}

inline void PrintTo(const HandOverRow& row, std::ostream* out) {
    *out << row.which;
}

struct PlantedRow {
    const char* name;
    std::vector<std::pair<std::string, const char*>> planted; // path, file of this build
    const char* overrides;                                    // searched beside first
    std::string fetched;                                      // "": the stand-in instead
    std::string content, started;                             // the start it makes
    const char* linked = nullptr; // a link to C:\outside in this folder's place
};

inline std::vector<PlantedRow> PlantedRows() {
    const std::string bin = "C:\\orvane\\bin\\";
    const std::string sample = ReadFile("Z:" + kWinBin + "/SampleSetup.exe");
    const std::string package = std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + "pkg";
    const char* planted = "planted_library.dll";
    // clang-format off
    return {
        // The theme library is one the common controls load.
        {"timer and theme libraries beside Install.exe",
         {{bin + "winmm.dll", planted}, {bin + "uxtheme.dll", planted}},
         "winmm,uxtheme=n,b", "note.txt", "abc", ""},
        {"libraries beside the stand-in",
         {{bin + "iphlpapi.dll", planted}, {bin + "wtsapi32.dll", planted},
          {bin + "AdminService.exe", "AdminService.exe"}},
         "iphlpapi,wtsapi32=n,b", "", "", ""},
        // The stand-in makes its log folder under it: nothing is made or written through the link.
        {"a link in the stand-in's log folder's place",
         {{bin + "AdminService.exe", "AdminService.exe"}}, "", "", "", "",
         "C:\\orvane\\bin\\Services"},
        {"first word of a received program", {{"C:\\KLV\\transfer\\Orvane.exe", "marker.exe"}}, "",
         "Orvane Tools.exe", sample, "\"C:\\klv\\transfer\\Orvane Tools.exe\""},
        {"msiexec beside Install.exe", {{bin + "msiexec.exe", "marker.exe"}}, "", "pkg.msi",
         package, ""},
    };
    // clang-format on
}

inline void PrintTo(const PlantedRow& row, std::ostream* out) {
    *out << row.name;
}

} // namespace e2e
