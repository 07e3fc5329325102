#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/admin_request.h"
#include "tools/adminservice/stand_in_policy.h"

namespace {
constexpr std::int32_t k1 = ADMIN_REQUEST_CREATE_PROCESS;
constexpr std::int32_t k16 = ADMIN_REQUEST_CREATE_PROCESS_USER;
constexpr std::uint32_t kLoopback = 0x0100007F; // 127.0.0.1 in network order on this host
} // namespace

TEST(StandInPolicy, OnlyTheInstallersOwnCommandLinesPass) {
    struct Case {
        std::int32_t kind;
        const char *program, *arguments, *localFolder;
        StandInCommand verdict;
        const char* application;
    };
    const auto P = StandInCommand::Program, R = StandInCommand::Refused;
    const std::vector<Case> cases = {
        // What the installer sends.
        {k1, "C:\\orvane\\bin\\Install.exe", "-ADMIN", "", StandInCommand::Helper,
         "C:\\orvane\\bin\\Install.exe"},
        {k16, "C:\\klv\\transfer\\Setup.exe", "-EREG -A", "", P, "C:\\klv\\transfer\\Setup.exe"},
        {k16, "C:\\klv\\transfer\\SetupImaging.exe", "-EFULL -A", "", P,
         "C:\\klv\\transfer\\SetupImaging.exe"},
        {k1, "C:\\klv\\transfer\\Setup.exe", "-N -T", "", P, "C:\\klv\\transfer\\Setup.exe"},
        {k16, "NULL", "C:\\klv\\transfer\\Setup123.exe -EREG -V\"123\"", "", P,
         "C:\\klv\\transfer\\Setup123.exe"},
        {k1, "C:\\klv\\transfer\\SetupImaging45.exe -EFULL -V\"45\"", "", "", P,
         "C:\\klv\\transfer\\SetupImaging45.exe"},
        {k16, "C:\\KLV\\transfer\\tool.exe", "", "", P, "C:\\KLV\\transfer\\tool.exe"},
        {k16, "NULL", "C:\\klv\\transfer\\Halvek.exe -sp-A", "", P,
         "C:\\klv\\transfer\\Halvek.exe"},
        {k16, "c:\\orvane\\bin\\qorvath.exe", "", "", P, "c:\\orvane\\bin\\qorvath.exe"},
        {k16, "NULL", "msiexec /i C:\\klv\\transfer\\pkg.msi", "", StandInCommand::Installer, ""},
        {k1, "D:\\drop\\Setup7.exe", "", "D:\\drop\\", P, "D:\\drop\\Setup7.exe"},
        // Everything else.
        {k1, "cmd.exe", "/c net localgroup administrators newadmin /add", "", R, ""},
        {k1, "NULL", "C:\\Windows\\System32\\cmd.exe", "", R, ""},
        {k16, "C:\\orvane\\bin\\Install.exe", "-ADMIN", "", R, ""},
        {k1, "C:\\orvane\\bin\\Install.exe", "-ADMIN -x", "", R, ""},
        {k1, "D:\\drop\\Setup7.exe", "", "", R, ""},
        {k1, "C:\\klv\\transfer\\sub\\x.exe", "", "", R, ""},
        {k1, "C:\\klv\\transfer\\..\\..\\Windows\\x.exe", "", "", R, ""},
        {k1, "C:\\klv\\transfer2\\x.exe", "", "", R, ""},
        {k1, "C:\\klv\\transfer\\x.exe", "-N", "", R, ""},
        {k1, "C:\\klv\\transfer\\Setup.exe", "-N & calc", "", R, ""},
        {k1, "C:\\klv\\transfer\\Setup.exe", "-EFULL -A", "", R, ""},
        {k1, "C:\\klv\\transfer\\Setup12.exe", "-EREG -V\"12\" -x", "", R, ""},
        {k1, "C:\\klv\\transfer\\a\".exe", "", "", R, ""},
        {k1, "C:\\klv\\transfer\\a b.exe", "", "", R, ""},
        {k1, "C:\\klv\\transfer\\a.exe.bat", "", "", R, ""},
        {k1, "C:\\klv\\transfer\\x.exe:stream", "", "", R, ""},
        {k1, "C:\\klv\\transfer\\x\r\n.exe", "", "", R, ""},
        {k1, "c:\\orvane\\bin\\qorvath.exe", "-N", "", R, ""},
        {k1, "NULL", "msiexec /i C:\\klv\\transfer\\p.msi /qn TRANSFORMS=x", "", R, ""},
        {k1, "NULL", "msiexec /i C:\\Users\\Public\\p.msi", "", R, ""},
        {k1, "NULL", "msiexec /i \\\\host\\share\\p.msi", "", R, ""},
        {k1, "NULL", "", "", R, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " | " + c.arguments);
        StandInCommandCheck check =
            CheckStandInCommand(c.kind, c.program, c.arguments, c.localFolder);
        EXPECT_EQ(check.verdict, c.verdict) << (check.reason ? check.reason : "");
        if (c.verdict != R) {
            EXPECT_STREQ(check.application, c.application);
        }
    }
}

TEST(StandInPolicy, PeersAreTheElevatedInstalledProgramFoundByTheirPort) {
    EXPECT_TRUE(AcceptPeer("C:\\orvane\\bin\\Install.exe", true));
    EXPECT_TRUE(AcceptPeer("\\\\?\\c:/ORVANE/bin/install.EXE", true));
    EXPECT_FALSE(AcceptPeer("C:\\orvane\\bin\\Install.exe", false)) << "not elevated";
    EXPECT_FALSE(AcceptPeer("C:\\Users\\x\\Install.exe", true));
    EXPECT_FALSE(AcceptPeer("C:\\orvane\\bin\\Install.exe.evil", true));
    EXPECT_FALSE(AcceptPeer(nullptr, true)) << "image unknown";

    const std::uint32_t servicePid = 40;
    std::vector<TcpOwnerRow> rows = {
        {2, 0, 13021, 0, 0, servicePid, 100},
        {5, kLoopback, 50000, kLoopback, 13021, 77, 500},
        {5, kLoopback, 13021, kLoopback, 50000, servicePid, 500},
        {5, kLoopback, 50001, kLoopback, 11001, 99, 600},
    };
    std::uint32_t pid = 0;
    std::uint64_t made = 0;
    auto owner = [&](std::uint16_t port) {
        return FindConnectionOwner(rows.data(), rows.size(), servicePid, 13021, kLoopback, port,
                                   &pid, &made);
    };
    EXPECT_EQ(owner(50000), PeerLookup::Found);
    EXPECT_EQ(pid, 77u);
    EXPECT_EQ(made, 500u);
    EXPECT_EQ(owner(50001), PeerLookup::NotFound) << "a connection to another port is not the peer";
    for (TcpOwnerRow& row : rows)
        row.ownerPid = 0;
    EXPECT_EQ(owner(50000), PeerLookup::OwnersUnreported);

    // Whether the owner is established: lookup, test build, connection made, process started.
    struct Owner {
        PeerLookup lookup;
        bool testBuild;
        std::uint64_t connection, process;
        PeerOwnerVerdict verdict;
    };
    const auto F = PeerLookup::Found, U = PeerLookup::OwnersUnreported;
    const auto Check = PeerOwnerVerdict::Check, No = PeerOwnerVerdict::Refused;
    for (const Owner& o : std::vector<Owner>{
             {F, false, 500, 400, Check},
             {F, false, 500, 500, Check},
             {F, true, 500, 501, No}, // the id was reused after the connection was made
             {F, false, 0, 400, No},
             {F, false, 500, 0, No},
             {PeerLookup::NotFound, true, 500, 400, No},
             {U, true, 0, 0, PeerOwnerVerdict::Unidentified},
             {U, false, 0, 0, No}, // a field build never serves an unidentified peer
         }) {
        EXPECT_EQ(DecidePeerOwner(o.lookup, o.testBuild, o.connection, o.process), o.verdict)
            << o.testBuild << " " << o.connection << " " << o.process;
    }
}

TEST(StandInPolicy, LocalFolderAndLogText) {
    char folder[512];
    LocalFolderOption("C:\\orvane\\bin\\Install.exe -EFTP -F \"a -D x\" -D \"D:\\drop\" -N", folder,
                      sizeof folder);
    EXPECT_STREQ(folder, "D:\\drop") << "a quoted value is skipped as a whole";
    LocalFolderOption("Install.exe -N", folder, sizeof folder);
    EXPECT_STREQ(folder, "");

    char out[32];
    EscapeControlBytes("a\r\nb\x7f\x01", out, sizeof out);
    EXPECT_STREQ(out, "a\\x0D\\x0Ab\\x7F\\x01");
    EscapeControlBytes("abcdefghijkl\r\n", out, 16);
    EXPECT_STREQ(out, "abcdefghijkl") << "an escape is never cut in two";
}
