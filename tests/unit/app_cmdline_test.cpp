// Command-line parsing into the mode flags and option values.
#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "app/install_log.h"
#include "app/modes.h"

namespace fs = std::filesystem;

namespace {

// Everything ParseCommandLineText decides, in one comparable value.
struct Modes {
    int setup = 1, push = 0, user = 1, confirm = 0, full = 0, status = 0, admin = 0, remove = 0,
        cache = 0;
    std::string address, file, folder, local;
};

bool operator==(const Modes& a, const Modes& b) {
    return a.setup == b.setup && a.push == b.push && a.user == b.user && a.confirm == b.confirm &&
           a.full == b.full && a.status == b.status && a.admin == b.admin && a.remove == b.remove &&
           a.cache == b.cache && a.address == b.address && a.file == b.file &&
           a.folder == b.folder && a.local == b.local;
}

std::ostream& operator<<(std::ostream& out, const Modes& m) {
    return out << "setup " << m.setup << " push " << m.push << " user " << m.user << " confirm "
               << m.confirm << " full " << m.full << " status " << m.status << " admin " << m.admin
               << " remove " << m.remove << " cache " << m.cache << " I \"" << m.address
               << "\" F \"" << m.file << "\" G \"" << m.folder << "\" D \"" << m.local << "\"";
}

Modes Current() {
    Modes m;
    m.setup = SetupMode;
    m.push = PushMode;
    m.user = UserInteraction;
    m.confirm = ConfirmInstall;
    m.full = FullSetup;
    m.status = ShowTransferStatus;
    m.admin = UseAdminService;
    m.remove = RemoveAfterTransfer;
    m.cache = RemoteCacheUnavailable;
    m.address = OptionServerAddress;
    m.file = OptionFileName;
    m.folder = OptionServerFolder;
    m.local = OptionLocalFolder;
    return m;
}

// Builds an expectation from the defaults by a few assignments.
template <typename Change> Modes With(Change change) {
    Modes m;
    change(m);
    return m;
}

struct Case {
    const char* name;
    std::string commandLine;
    Modes expected;
};

class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("app_cmdline_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        log_ = (dir_ / "Install.log").string();
        SetInstallLogPath(log_.c_str());
        ResetModeFlags();
    }
    void TearDown() override {
        ResetModeFlags();
        SetInstallLogPath("c:\\orvane\\bin\\Install.log");
        fs::remove_all(dir_);
    }

    // Parses a heap copy sized exactly, so that any read or write past it is caught.
    Modes Parse(const std::string& commandLine) {
        ResetModeFlags();
        fs::remove(log_);
        std::vector<char> text(commandLine.begin(), commandLine.end());
        text.push_back('\0');
        char* exact = new char[text.size()];
        std::memcpy(exact, text.data(), text.size());
        ParseCommandLineText(exact);
        trimmed_ = exact;
        delete[] exact;
        return Current();
    }

    // Logged messages (the text between the time stamp and the closing " \r\n").
    std::vector<std::string> LogMessages() {
        std::ifstream in(log_, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        std::string text = all.str();
        std::vector<std::string> messages;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find(" \r\n", start);
            if (end == std::string::npos)
                break;
            std::string line = text.substr(start, end - start);
            std::size_t at = line.find(" at ");
            std::size_t space = line.find(' ', at + 4);
            messages.push_back(line.substr(space + 1));
            start = end + 3;
        }
        return messages;
    }

    fs::path dir_;
    std::string log_;
    std::string trimmed_;
};

const std::string kProgram = "C:\\orvane\\bin\\Install.exe";

TEST_F(CommandLine, ModesAndOptionsFromTheTable) {
    const std::vector<Case> cases = {
        {"bare installed path asks first", kProgram, With([](Modes& m) { m.confirm = 1; })},
        {"quoted installed path asks first", "\"" + kProgram + "\"",
         With([](Modes& m) { m.confirm = 1; })},
        {"blanks and tabs around the path", " \t " + kProgram + " \t",
         With([](Modes& m) { m.confirm = 1; })},
        {"blanks and tabs around the quoted path", "\t \"" + kProgram + "\"  ",
         With([](Modes& m) { m.confirm = 1; })},
        {"other letter case does not ask", "c:\\orvane\\bin\\install.exe", Modes{}},
        {"another folder does not ask", "C:\\klv\\bin\\Install.exe", Modes{}},
        {"any argument after the path does not ask", kProgram + " -A",
         With([](Modes& m) { m.admin = 1; })},
        {"blank inside the quotes does not ask", "\" " + kProgram + "\"", Modes{}},
        {"upload", kProgram + " -EFTPPUSH", With([](Modes& m) {
             m.setup = 0;
             m.push = 1;
         })},
        {"download", kProgram + " -EFTP", With([](Modes& m) { m.setup = 0; })},
        {"download by a longer word", kProgram + " -EFTPMODE", With([](Modes& m) { m.setup = 0; })},
        {"upload after download", kProgram + " -EFTP -EFTPPUSH", With([](Modes& m) {
             m.setup = 0;
             m.push = 1;
         })},
        {"download never resets upload", kProgram + " -EFTPPUSH -EFTP", With([](Modes& m) {
             m.setup = 0;
             m.push = 1;
         })},
        {"-EFULL", kProgram + " -EFULL", With([](Modes& m) { m.full = 1; })},
        {"EFULL without a dash", kProgram + " xEFULLx", With([](Modes& m) { m.full = 1; })},
        {"EFULL inside a quoted value", kProgram + " -F \"SetupEFULL.txt\"", With([](Modes& m) {
             m.full = 1;
             m.file = "SetupEFULL.txt";
         })},
        {"EFULL in the program path", "C:\\EFULL\\Install.exe", With([](Modes& m) { m.full = 1; })},
        {"efull in lower case", kProgram + " efull", Modes{}},
        {"lower-case options are not options", kProgram + " -n -eftp -eftppush -a -t -r -s",
         Modes{}},
        {"lower-case valued options are not options", kProgram + " -i \"1.2.3.4\" -f \"x\"",
         Modes{}},
        {"flags", kProgram + " -A -T -R -S",
         With([](Modes& m) { m.admin = m.status = m.remove = m.cache = 1; })},
        {"prefix test: -Tx acts as -T", kProgram + " -Tx", With([](Modes& m) { m.status = 1; })},
        {"no user interaction", kProgram + " -N", With([](Modes& m) { m.user = 0; })},
        {"address in quotes then -N", kProgram + " -I \"10.1.2.3\" -N", With([](Modes& m) {
             m.address = "10.1.2.3";
             m.user = 0;
         })},
        {"address directly after -I", kProgram + " -I\"10.1.2.3\"",
         With([](Modes& m) { m.address = "10.1.2.3"; })},
        {"no quotes after -I ends the scan", kProgram + " -I 10.1.2.3 -N", Modes{}},
        {"no quotes after -F ends the scan", kProgram + " -T -F a.txt -N -R",
         With([](Modes& m) { m.status = 1; })},
        {"quoted value protects its dashes", kProgram + " -F \"a-Tb.txt\"",
         With([](Modes& m) { m.file = "a-Tb.txt"; })},
        {"quoted -N is a value", kProgram + " -F \"-N\" -A", With([](Modes& m) {
             m.file = "-N";
             m.admin = 1;
         })},
        {"-I takes the next quoted run wherever it is", kProgram + " -I -N \"1.1.1.1\" -T",
         With([](Modes& m) {
             m.address = "1.1.1.1";
             m.status = 1;
         })},
        {"blanks inside quotes belong to the value", kProgram + " -F \" a b \"",
         With([](Modes& m) { m.file = " a b "; })},
        {"empty quoted value", kProgram + " -I \"\" -N", With([](Modes& m) { m.user = 0; })},
        {"later value wins", kProgram + " -I \"1.1.1.1\" -I \"2.2.2.2\"",
         With([](Modes& m) { m.address = "2.2.2.2"; })},
        {"unterminated quote runs to the end", kProgram + " -G \"/usr/x -N",
         With([](Modes& m) { m.folder = "/usr/x -N"; })},
        {"all valued options", kProgram + " -I \"1.2.3.4\" -F \"f.exe\" -G \"/g/\" -D \"C:\\d\"",
         With([](Modes& m) {
             m.address = "1.2.3.4";
             m.file = "f.exe";
             m.folder = "/g/";
             m.local = "C:\\d";
         })},
        {"program folder holding -T", "C:\\my-Tools\\Install.exe",
         With([](Modes& m) { m.status = 1; })},
        {"program folder holding -N", "\"C:\\x-Nope\\Install.exe\" -EFTP", With([](Modes& m) {
             m.user = 0;
             m.setup = 0;
         })},
        {"a dash alone and at the end", kProgram + " - x -", Modes{}},
        {"option order: -A before -ADMIN's other letters", kProgram + " -ADMIN",
         With([](Modes& m) { m.admin = 1; })},
        {"setup-mode file and full setup", kProgram + " -F \"x.exe\" EFULL -S", With([](Modes& m) {
             m.file = "x.exe";
             m.full = 1;
             m.cache = 1;
         })},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Parse(c.commandLine), c.expected) << c.name << ": " << c.commandLine;
}

TEST_F(CommandLine, ValuesLongerThanTheirBuffersAreCutAndScanningGoesOn) {
    const std::string longAddress(150, '9');
    Modes m = Parse(kProgram + " -I \"" + longAddress + "\" -N");
    EXPECT_EQ(m.address, longAddress.substr(0, 99));
    EXPECT_EQ(m.user, 0); // the scan resumed after the closing quote

    EXPECT_EQ(Parse(kProgram + " -I \"" + std::string(99, '7') + "\"").address,
              std::string(99, '7'));
    EXPECT_EQ(Parse(kProgram + " -I \"" + std::string(100, '7') + "\"").address,
              std::string(99, '7'));

    const std::string longName(600, 'f');
    m = Parse(kProgram + " -F \"" + longName + "\" -G \"" + longName + "\" -D \"" + longName +
              "\" -R");
    EXPECT_EQ(m.file, longName.substr(0, 511));
    EXPECT_EQ(m.folder, longName.substr(0, 511));
    EXPECT_EQ(m.local, longName.substr(0, 511));
    EXPECT_EQ(m.remove, 1);
    EXPECT_EQ(Parse(kProgram + " -F \"" + std::string(511, 'g') + "\"").file,
              std::string(511, 'g'));
    EXPECT_EQ(Parse(kProgram + " -D \"" + std::string(512, 'g') + "\"").local,
              std::string(511, 'g'));
}

TEST_F(CommandLine, GetQuotedArgumentReturnsWhereTheScanResumes) {
    const char* line = "-I \"1.2\" -N";
    char value[16];
    EXPECT_EQ(GetQuotedArgument(0, value, sizeof value, line), 7u); // the closing quote
    EXPECT_STREQ(value, "1.2");

    std::strcpy(value, "stale");
    EXPECT_EQ(GetQuotedArgument(0, value, sizeof value, "-I 1.2"), 6u); // past the end
    EXPECT_STREQ(value, "");

    EXPECT_EQ(GetQuotedArgument(0, value, sizeof value, "-F \"abc"), 7u); // unterminated
    EXPECT_STREQ(value, "abc");

    char one[1] = {'x'};
    EXPECT_EQ(GetQuotedArgument(0, one, sizeof one, line), 7u);
    EXPECT_EQ(one[0], '\0');

    char none[1] = {'x'};
    GetQuotedArgument(0, none, 0, line); // no room at all: nothing written
    EXPECT_EQ(none[0], 'x');
}

TEST_F(CommandLine, LogsTheTrimmedLineLiterallyThenEachNoUserInteraction) {
    Parse("  " + kProgram + " -F \"100%s%n%%.txt\" -N -N\t");
    std::vector<std::string> messages = LogMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], kProgram + " -F \"100%s%n%%.txt\" -N -N");
    EXPECT_EQ(trimmed_, messages[0]); // trimmed in place
    EXPECT_EQ(messages[1], "No User Interaction");
    EXPECT_EQ(messages[2], "No User Interaction");

    Parse(kProgram);
    EXPECT_EQ(LogMessages(), std::vector<std::string>{kProgram});

    const std::string huge = kProgram + " -F \"" + std::string(1500, 'h') + "\"";
    Parse(huge);
    messages = LogMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], huge.substr(0, 999));
}

TEST_F(CommandLine, HelperModeIsAnyCaseSensitiveAdmin) {
    EXPECT_TRUE(IsHelperCommandLine("C:\\orvane\\bin\\Install.exe -ADMIN"));
    EXPECT_TRUE(IsHelperCommandLine("x -N -EFTP -ADMINISTRATOR"));
    EXPECT_TRUE(IsHelperCommandLine("\"C:\\a-ADMIN\\Install.exe\""));
    EXPECT_FALSE(IsHelperCommandLine("x -admin"));
    EXPECT_FALSE(IsHelperCommandLine("x -ADMI N"));
    EXPECT_FALSE(IsHelperCommandLine(""));
}

} // namespace
