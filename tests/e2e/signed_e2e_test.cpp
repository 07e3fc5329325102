// Signed programs only, under Wine: the administrator's policy in the registry, setup programs
// signed by the test certificates of the build (build/win/bin/signing), and what starts.
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/session_test.h"
#include "tests/support/bytes.h"
#include "crypto/sha256.h"

namespace e2e {
namespace {

const std::string kSetup = std::string(kTransfer) + "Setup.exe";
const std::string kMark = "C:\\orvane\\bin\\SampleSetupRan.txt";
const std::string kSigning = "Z:" + kWinBin + "/signing/";
const std::string kPolicyKey = "\"HKLM\\SOFTWARE\\Policies\\GRAPHICAL ORVANE\\Install\"";

using testbytes::Le32;
using testbytes::Z;

std::string Thumbprint(const std::string& certificate) {
    const std::string der = ReadFile(kSigning + certificate);
    EXPECT_FALSE(der.empty()) << certificate << ": run scripts/build";
    unsigned char digest[32];
    Sha256(reinterpret_cast<const unsigned char*>(der.data()), der.size(), digest);
    return Hex({reinterpret_cast<char*>(digest), 32}).substr(4);
}

// The policy's entries (REG_MULTI_SZ), or none: the value removed.
void SetPolicy(const std::vector<std::string>& entries) {
    const std::string reg = "C:\\windows\\system32\\reg.exe ";
    RunToEnd(reg + "delete " + kPolicyKey + " /f");
    if (entries.empty())
        return;
    std::string value;
    for (const std::string& entry : entries)
        value += (value.empty() ? "" : "\\0") + entry;
    ASSERT_EQ(RunToEnd(reg + "add " + kPolicyKey + " /v TrustedSigners /t REG_MULTI_SZ /d \"" +
                       value + "\" /f"),
              0);
}

// The policy never outlives a test: the shared prefix serves every other program too.
class SignedE2E : public SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        SetPolicy({});
    }
    void TearDown() override { SetPolicy({}); }
    // Install.result without its time stamp.
    static std::string Result() {
        std::string text = ReadFile("C:\\orvane\\bin\\Install.result");
        const std::size_t tab = text.find('\t');
        return tab != std::string::npos && text.size() > tab + 21 ? text.erase(tab + 1, 20) : text;
    }
};

struct Row {
    std::string name;
    std::vector<std::string> policy;
    std::string file;  // served as Setup.exe
    std::string line;  // the Install.log line of the decision ("" for none)
    bool user = false; // a local start with a user instead of -N -A
    // -D folder (received there as Setup.exe); an unsigned Setup.exe is planted in the
    // transfer folder meanwhile
    std::string folder = "";
};

// The policy table: each row an entry list, the program served, and the decision logged.
std::vector<Row> Rows() {
    const std::string signer = Thumbprint("signer.der"), other = Thumbprint("other.der");
    std::string issuer = Thumbprint("ca.der");
    for (char& c : issuer)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    issuer.insert(32, " ");
    const std::string untrusted = "ERROR Untrusted Program: " + kSetup + " (";
    const std::string accepted =
        "Signed " + kSetup + " by GRAPHICAL ORVANE Test Publisher SHA-256 " + signer;
    const std::string kept = "C:\\KLV\\kept";
    const std::string keptSetup = kept + "\\Setup.exe";
    const std::string keptAccepted =
        "Signed " + keptSetup + " by GRAPHICAL ORVANE Test Publisher SHA-256 " + signer;
    // clang-format off
    return {
        {"no policy: unsigned started", {}, "../SampleSetup.exe", ""},
        {"pinned signer: started", {signer}, "Signed.exe", accepted},
        {"another signer: refused", {signer}, "OtherSigned.exe", untrusted + "signer not trusted: " + other + ")"},
        {"unsigned: refused", {signer}, "../SampleSetup.exe", untrusted + "not signed)"},
        {"one byte changed after signing: refused", {signer}, "Changed.exe", untrusted + "signature does not match the file)"},
        {"issuer pinned, upper case and a blank: started", {"junk", issuer}, "Signed.exe", accepted},
        {"pinned signer, with a user: started locally", {signer}, "Signed.exe", accepted, true},
        {"issuer pinned, a server certificate: refused", {issuer}, "ServerAuth.exe", untrusted + "certificate not for code signing)"},
        {"issuer pinned, an expired signer: refused", {issuer}, "Expired.exe", untrusted + "certificate expired)"},
        {"-D: the file checked is the one started", {signer}, "Signed.exe", keptAccepted, false, kept},
        {"-D with a user: the file checked is the one started", {signer}, "Signed.exe", keptAccepted, true, kept},
    };
    // clang-format on
}

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class Policy : public SignedE2E, public ::testing::WithParamInterface<Row> {};

TEST_P(Policy, DecidesWhichSetupProgramStarts) {
    const Row& row = GetParam();
    Scenario(row.name);
    SetPolicy(row.policy);
    const std::string setup = row.folder.empty() ? kSetup : row.folder + "\\Setup.exe";
    const std::string planted = ReadFile("Z:" + kWinBin + "/SampleSetup.exe");
    if (!row.folder.empty()) {
        MakeFolder(row.folder);
        WriteFile(kSetup, planted);
    }
    const std::string content = ReadFile(kSigning + row.file);
    ASSERT_GT(content.size(), 20000u);
    const bool starts = row.line.rfind("ERROR", 0) != 0;
    ScriptServer server(11001);
    std::optional<ScriptServer> admin;
    if (!row.user)
        admin.emplace(13021);
    const std::string d = row.folder.empty() ? "" : " -D \"" + row.folder + "\" -F \"Setup.exe\"";
    Run((row.user ? " -I \"127.0.0.1\"" : " -N -A -I \"127.0.0.1\"") + d);
    if (admin) { // the folder permissions first: the elevated helper, then kind 5
        EXPECT_EQ(AdminConnection(*admin, 30000).size(), 2u);
    }
    ASSERT_TRUE(server.Accept(30000)) << DescribeWindows();
    ASSERT_TRUE(server.ReceivePayload(10000).has_value());
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < content.size(); at += 65536)
        pieces.push_back(content.substr(at, 65536));
    SendFile(server, content.size(), pieces);
    // What starts: the AdminService's request, or the program itself with a user.
    if (admin)
        EXPECT_EQ(AdminConnection(*admin, starts ? 30000 : 3000),
                  std::vector<std::string>(starts,
                                           Le32(16) + "????" + Z(setup) + Z("-EREG -A") + Le32(0)));
    else
        WaitUntil([&] { return !ReadFile(kMark).empty(); }, 15000, 250);
    ExpectExitZero();
    EXPECT_EQ(ReadFile(kMark), row.user ? setup + "\r\n" : "") << "the planted one never runs";
    EXPECT_TRUE(ReadFile(setup) == content) << "the file stays where it was received";
    EXPECT_TRUE(row.folder.empty() || Logged("Started " + setup));
    const long policyLines = std::count_if(log_.begin(), log_.end(), [](const std::string& l) {
        return l.rfind("Signed programs only: ", 0) == 0;
    });
    EXPECT_EQ(policyLines, row.policy.empty() ? 0 : 1);
    EXPECT_TRUE(row.line.empty() || Logged(row.line));
    EXPECT_EQ(Result(), std::string(starts ? "OK" : "FAILED") + "\tsetup" +
                            (row.user ? "" : " -N") + (starts ? "" : "\t" + row.line) + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(TrustedSigners, Policy, ::testing::ValuesIn(Rows()), RowName<Row>);

// The stand-in reads the same policy: a kind-1 request for an unsigned program is not started.
TEST_F(SignedE2E, StandInRefusesAnUnsignedProgramUnderThePolicy) {
    Scenario("the AdminService stand-in under the policy: unsigned program not started");
    SetPolicy({Thumbprint("signer.der")});
    WriteFile("C:\\orvane\\bin\\AdminService.exe", ReadFile("Z:" + kWinBin + "/AdminService.exe"));
    WriteFile(kSetup, ReadFile("Z:" + kWinBin + "/SampleSetup.exe"));
    const std::string log = "C:\\orvane\\bin\\Services\\ErrorLogs\\AdminServiceStandIn.log";
    WinProcess service("C:\\orvane\\bin\\AdminService.exe console");
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadFile(log).find("started in the foreground") != std::string::npos; },
        30000));
    EXPECT_EQ(RunToEnd(Tool("admincall.exe") + " admin " + kSetup + " -N"), 1);
    const std::string refused = "kind 1 command \"" + kSetup + " -N\": not started, " +
                                "ERROR Untrusted Program: " + kSetup + " (not signed)";
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(log).find(refused) != std::string::npos; }, 15000))
        << ReadFile(log);
    Pause(1000);
    EXPECT_EQ(ReadFile(kMark), "") << "not started";
    // The elevated helper is a file any user may replace: unsigned, it is not started either.
    EXPECT_EQ(RunToEnd(Tool("admincall.exe") + " perms 0"), 1) << "the request is made";
    const std::string helper =
        "kind 1 command \"C:\\orvane\\bin\\Install.exe -ADMIN\": not started, "
        "ERROR Untrusted Program: C:\\orvane\\bin\\Install.exe (not signed)";
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(log).find(helper) != std::string::npos; }, 15000))
        << ReadFile(log);
    EXPECT_EQ(ReadFile(log).find("connection handed over"), std::string::npos) << "no helper";
    service.Kill();
}

} // namespace
} // namespace e2e
