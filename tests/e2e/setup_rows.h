// The setup table's rows: each an unattended run (command line, server script) and what must
// follow it (Install.log lines, Install.result, the AdminService hand-over, its time bounds).
#pragma once
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/session_test.h"
#include "tests/e2e/setup_script.h"
#include "tests/support/bytes.h"

namespace e2e {

inline constexpr const char* kUnattended = " -N -I \"127.0.0.1\"";
inline const std::string kSetupPath = std::string(kTransfer) + "Setup.exe";
inline const std::string kRemoved = "Removed incomplete file " + kSetupPath;
inline const std::string kReadLost = "Error: ERROR!  READ: Connection Lost";
inline const std::string kInactivity = "Exiting Due To Inactivity";
inline const std::string kTimeout = "Exiting Due To Connect Timeout";

enum Peer { Script, NoServer, FullBacklog };
struct Row {
    std::string name, options; // the command line after the program
    Steps steps;               // the server's script after the mode command
    std::vector<std::string> logged;
    std::string result;   // Install.result: "OK", the reason of a failure, or "" for any line
    std::string handOver; // the AdminService request that starts the file received
    std::vector<std::pair<const char*, const char*>> limits = {};
    double minSeconds = 0, maxSeconds = 30;
    Peer peer = Script;
};
inline const std::string kFetch = "-EFTPMODE -F/usr/orvane/bin/Setup.exe";
inline const std::string kImaging = "C:\\klv\\transfer\\SetupImaging.exe";

// Each row an unattended run and what must follow it.
inline std::vector<Row> Rows() {
    using testbytes::Le32;
    using testbytes::Z;
    const std::string dest = kTransfer, imaging = kImaging;
    const Steps begin = {{FILE_SIZE, "10"},
                         {FILE_DESTINATION, dest},
                         {DATA_SIZE, "4"},
                         {FILE_DATA, "abcd"},
                         {kWaitAck, ""}};
    const std::vector<std::pair<const char*, const char*>> inactivity = {
        {"KLV_TEST_INACTIVITY_MS", "3000"}};
    const std::string halfFrame = ScriptServer::Frame("\x04" + std::string(99, 'x')).substr(0, 8);
    std::string names; // 10,001 FILE_NAME messages
    for (int i = 0; i <= 10000; ++i)
        names += ScriptServer::Frame("\x06name" + std::to_string(i) + ".txt");
    // clang-format off
    return {
        // No -I and no IpAdd.txt: the built-in address.
        {"good run", " -N", {{kServeAes, kSetupPath}},
         {"connectAndStartInstall( IpAddress:127.0.0.1 )", "WriteNewFile", "End RECEIVE_FILE",
          "AdminServiceCreateProcessAsAdmin( " + kSetupPath + ", -N )"}, "OK",
         Le32(1) + Z(kSetupPath) + Z("-N")},
        // With -T, the Transfer Status dialog names the server as the source (-S).
        {"good run", " -N -T -S -I \"127.0.0.1\"", {{kServe, kSetupPath}}, {"End RECEIVE_FILE"},
         "OK", Le32(1) + Z(kSetupPath) + Z("-N -T")},
        // The file stays held a while after the AdminService took the request; the window works.
        {"window answers during the AdminService margin", " -N -T -S -I \"127.0.0.1\"",
         {{kServe, kSetupPath}}, {"End RECEIVE_FILE"}, "OK", Le32(1) + Z(kSetupPath) + Z("-N -T")},
        // The address from IpAdd.txt, its line end dropped.
        {"good run, IpAdd.txt 127.0.0.1\\r\\nignored", " -N -A", {{kServe, kSetupPath}},
         {"connectAndStartInstall( IpAddress:127.0.0.1 )",
          "AdminServiceCreateProcessAsAdminUser( " + kSetupPath + ", -EREG -A )"},
         "OK", Le32(16) + "????" + Z(kSetupPath) + Z("-EREG -A") + Le32(0)},
        {"good run", " -N -A EFULL -I \"127.0.0.1\"", {{kServeZip, imaging}}, {}, "OK",
         Le32(16) + "????" + Z(imaging) + Z("-EFULL -A") + Le32(0)},
        {"not a program: never handed over", kUnattended, {{kServeText, kSetupPath}}, {},
         "ERROR Not A Program: " + kSetupPath, ""},
        // -D stores the file there; the file started is the one received there (the transfer
        // folder holds one left by an earlier run), and without an AdminService it cannot be.
        {"-D folder, no AdminService", std::string(kUnattended) + " -F \"Setup.exe\" -D \"C:\\drop\"",
         {{kServe, "C:\\drop\\Setup.exe"}}, {}, "UNABLE TO CREATE SETUP PROCESS!!", ""},
        {"server error", kUnattended, {{SERVER_ERROR, "No such file on this server"}}, {"ERROR"}, "", ""},
        {"invalid buffer type", kUnattended, {{9, "what"}}, {"Invalid Buffer Type"}, "", ""},
        {"FILE_DATA before FILE_SIZE", kUnattended,
         {{FILE_DESTINATION, dest}, {DATA_SIZE, "3"}, {FILE_DATA, "abc"}},
         {"FILE_DATA before FILE_SIZE", "Invalid Buffer Type"}, "", ""},
        {"piece shorter than DATA_SIZE", kUnattended, Then(begin, {{DATA_SIZE, "6"}, {FILE_DATA, "ef"}}),
         {"FILE_DATA shorter than DATA_SIZE", "Invalid Buffer Type", kRemoved}, "", ""},
        {"piece past FILE_SIZE", kUnattended, Then(begin, {{DATA_SIZE, "7"}, {FILE_DATA, "efghijk"}}),
         {"FILE_DATA past FILE_SIZE", "Invalid Buffer Type", kRemoved}, "", ""},
        // Fails like a corrupt frame, within bounded memory; the empty file made for it goes.
        {"1 MB frame inflating to 1 GiB", kUnattended,
         {{FILE_SIZE, "10"}, {FILE_DESTINATION, dest}, {DATA_SIZE, "10"}, {kRaw, BombFrame()}},
         {kReadLost, kRemoved}, "", ""},
        // Another process rewrites the program while the AdminService starts it: it cannot.
        {"rewritten after the hand-over", " -N -A -I \"127.0.0.1\"", {{kServe, kSetupPath}}, {},
         "OK", Le32(16) + "????" + Z(kSetupPath) + Z("-EREG -A") + Le32(0)},
        // The transfer folder a link to another folder: nothing is written there.
        {"transfer folder a link", kUnattended,
         {{FILE_SIZE, "5"}, {FILE_DESTINATION, dest}, {DATA_SIZE, "5"}, {FILE_DATA, "abcde"}},
         {"Unable to create " + kSetupPath}, "", ""},
        // Before the hold, a link to a folder with a program of the same name and bytes takes the
        // transfer folder's place: the hold refuses it, nothing is granted, logged or started.
        {"hold refused: the transfer folder a link after the last piece", kUnattended,
         {{FILE_SIZE, "10"}, {FILE_DESTINATION, dest}, {DATA_SIZE, "4"}, {FILE_DATA, "MZcd"},
          {kWaitAck, ""}, {kHostAction, ""}, {DATA_SIZE, "6"}, {FILE_DATA, "efghij"},
          {kWaitAck, ""}},
         {"End RECEIVE_FILE"}, "Unable to run " + kSetupPath, ""},
        // Install.log and Install.result hard links to a file outside: neither is written.
        {"logs linked outside", kUnattended, {{SERVER_ERROR, "No such file on this server"}}, {}, "",
         ""},
        {"file that cannot be created", std::string(kUnattended) + " -F \"Setup.exe\" -D \"C:\\no\\such\\folder\"",
         {{FILE_SIZE, "5"}, {FILE_DESTINATION, dest}, {DATA_SIZE, "5"}, {FILE_DATA, "abcde"}},
         {"Unable to create C:\\no\\such\\folder\\Setup.exe"}, "", ""},
        {"stall before the first message", kUnattended, {}, {}, "Exiting Due To Server Timeout", "",
         {{"KLV_TEST_SILENCE_MS", "3000"}}, 2.5, 12},
        {"stall after FILE_SIZE", kUnattended, begin, {kRemoved}, kInactivity, "", inactivity, 2.5, 12},
        {"stall mid-frame: the read fails, its box closes by itself", kUnattended,
         Then(begin, {{kRaw, halfFrame}}), {kRemoved}, kReadLost, "", {}, 3.5, 14},
        // The silence limit passes while the box is up: the box decides.
        {"stall mid-frame, silence limit = box timeout", kUnattended,
         Then(begin, {{kRaw, halfFrame}}), {kRemoved}, kReadLost, "",
         {{"KLV_TEST_SILENCE_MS", "2000"}}, 3.5, 20},
        {"frame trickled a byte a second", kUnattended,
         Then(begin, {{kTrickle, ScriptServer::Frame("\x04" + std::string(40, 'x'))}}),
         {kRemoved}, kReadLost, "", inactivity, 4.5, 20},
        {"DATA_SIZE for ever", kUnattended, Then(begin, {{kRepeat, ScriptServer::Frame("\x05" "4")}}),
         {kRemoved}, kInactivity, "", inactivity, 2.5, 14},
        {"empty pieces for ever", kUnattended, Then(begin, {{kEmptyPieces, ""}}), {kRemoved},
         kInactivity, "", inactivity, 2.5, 14},
        {"10,001 file names", kUnattended, {{kRaw, names}}, {}, "ERROR Too Many File Names", "",
         {}, 0, 60},
        {"keep-alives for ever", kUnattended, Then(begin, {{kRepeat, {"\0\0\x07\xd5\xff\xff", 6}}}), {kRemoved},
         kInactivity, "", inactivity, 2.5, 14},
        {"close after FILE_SIZE", kUnattended, {{FILE_SIZE, "10"}, {kClose, ""}}, {}, "", "", {}, 0, 10},
        {"close after DATA_SIZE", kUnattended,
         {{FILE_SIZE, "10"}, {FILE_DESTINATION, dest}, {DATA_SIZE, "4"}, {kClose, ""}}, {kRemoved},
         "", "", {}, 0, 10},
        {"close after a piece", kUnattended, Then(begin, {{kClose, ""}}), {kRemoved}, "", "", {}, 0, 10},
        {"reset after the last piece", kUnattended, Then(begin, {{kReset, ""}}), {kRemoved}, "", "",
         {}, 0, 10},
        {"connection refused", kUnattended, {}, {"KLVconnect() KLVWSAGetLastError()=10061",
         "connectAndStartInstall(FAILED)"}, kTimeout, "", {}, 14, 24, NoServer},
        {"an address that never answers", kUnattended, {}, {"KLVconnect() KLVWSAGetLastError()=10060",
         "connectAndStartInstall(FAILED)"}, kTimeout, "", {}, 14, 24, FullBacklog},
    };
    // clang-format on
}

// How gtest names a row in its messages.
inline void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name << " with" << row.options;
}

} // namespace e2e
