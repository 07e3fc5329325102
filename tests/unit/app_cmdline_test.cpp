// Command-line parsing into the mode flags and option values.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
// GCC 12 reports a false maybe-uninitialized inside <regex> when built with sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/cmdline.h"
#include "app/install_log.h"
#include "app/modes.h"

namespace {

const std::string kProgram = "C:\\orvane\\bin\\Install.exe";

// Every flag and value that differs from the start-up defaults, as "name=value" words.
std::string Changed() {
    std::string d;
    auto flag = [&](const char* name, int value, int normal) {
        if (value != normal)
            d += std::string(" ") + name + "=" + std::to_string(value);
    };
    auto text = [&](const char* name, const char* value) {
        if (*value)
            d += std::string(" ") + name + "=[" + value + "]";
    };
    flag("setup", SetupMode, 1), flag("push", PushMode, 0), flag("user", UserInteraction, 1);
    flag("confirm", ConfirmInstall, 0), flag("full", FullSetup, 0);
    flag("T", ShowTransferStatus, 0), flag("A", UseAdminService, 0);
    flag("R", RemoveAfterTransfer, 0), flag("S", RemoteCacheUnavailable, 0);
    text("I", OptionServerAddress), text("F", OptionFileName), text("G", OptionServerFolder);
    text("D", OptionLocalFolder);
    return d.empty() ? d : d.substr(1);
}

class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override {
        log_ = ::testing::TempDir() + "cmdline_" + std::to_string(::getpid()) + "_Install.log";
        SetInstallLogPath(log_.c_str());
    }
    void TearDown() override {
        ResetModeFlags();
        SetInstallLogPath("c:\\orvane\\bin\\Install.log");
        std::remove(log_.c_str());
    }

    // Parses a heap copy sized exactly, so that any read or write past it is caught; returns
    // the changed flags and values.
    std::string Parse(const std::string& commandLine) {
        ResetModeFlags();
        std::remove(log_.c_str());
        char* exact = new char[commandLine.size() + 1];
        std::memcpy(exact, commandLine.c_str(), commandLine.size() + 1);
        ParseCommandLineText(exact);
        trimmed_ = exact;
        delete[] exact;
        return Changed();
    }

    // The log with each line's time stamp taken out.
    std::string LoggedText() {
        std::stringstream all;
        all << std::ifstream(log_, std::ios::binary).rdbuf();
        return std::regex_replace(all.str(), std::regex("[0-9]+/[0-9]+/[0-9]+ at [0-9:]+ "), "");
    }

    std::string log_, trimmed_;
};

TEST_F(CommandLine, ModesAndOptionsFromTheTable) {
    const std::string p = kProgram;
    auto quoted = [](std::size_t n, char c) { return " \"" + std::string(n, c) + "\" "; };
    auto value = [](std::size_t n, char c) { return "[" + std::string(n, c) + "]"; };
    const std::vector<std::pair<std::string, std::string>> cases = {
        // Only the bare or quoted installed path asks first.
        {p, "confirm=1"},
        {"\"" + p + "\"", "confirm=1"},
        {"\t \"" + p + "\"  ", "confirm=1"},
        {"c:\\orvane\\bin\\install.exe", ""},
        {"C:\\klv\\bin\\Install.exe", ""},
        {p + " -A", "A=1"},
        {"\" " + p + "\"", ""},
        // Modes: "-EFTPPUSH" is tested before "-EFTP", a later "-EFTP" never resets upload.
        {p + " -EFTPPUSH", "setup=0 push=1"},
        {p + " -EFTP", "setup=0"},
        {p + " -EFTPMODE", "setup=0"},
        {p + " -EFTP -EFTPPUSH", "setup=0 push=1"},
        {p + " -EFTPPUSH -EFTP", "setup=0 push=1"},
        // "EFULL" anywhere, in upper case only.
        {p + " -EFULL", "full=1"},
        {p + " xEFULLx", "full=1"},
        {p + " -F \"SetupEFULL.txt\"", "full=1 F=[SetupEFULL.txt]"},
        {p + " efull", ""},
        {p + " -n -eftp -eftppush -a -t -r -s -i \"1.2.3.4\" -f \"x\"", ""},
        // Flags by prefix test at every '-'.
        {p + " -A -T -R -S", "T=1 A=1 R=1 S=1"},
        {p + " -N", "user=0"},
        {p + " -ADMIN", "A=1"},
        {p + " - x -", ""},
        {"C:\\my-Tools\\Install.exe", "T=1"},
        {"\"C:\\x-Nope\\Install.exe\" -EFTP", "setup=0 user=0"},
        // Quoted values.
        {p + " -I \"10.1.2.3\" -N", "user=0 I=[10.1.2.3]"},
        {p + " -I\"10.1.2.3\"", "I=[10.1.2.3]"},
        {p + " -T -I 10.1.2.3 -N", "T=1"}, // no quote after the option ends the scan
        {p + " -F \"a-Tb.txt\"", "F=[a-Tb.txt]"},
        {p + " -F \"-N\" -A", "A=1 F=[-N]"},
        {p + " -I -N \"1.1.1.1\" -T", "T=1 I=[1.1.1.1]"},
        {p + " -F \" a b \"", "F=[ a b ]"},
        {p + " -I \"\" -N", "user=0"},
        {p + " -I \"1.1.1.1\" -I \"2.2.2.2\"", "I=[2.2.2.2]"},
        {p + " -G \"/usr/x -N", "G=[/usr/x -N]"},
        {p + " -I \"1.2.3.4\" -F \"f.exe\" -G \"/g/\" -D \"C:\\d\"",
         "I=[1.2.3.4] F=[f.exe] G=[/g/] D=[C:\\d]"},
        // Values longer than their buffers are cut to 99 or 511 characters; the scan goes on.
        {p + " -I" + quoted(150, '9') + "-N", "user=0 I=" + value(99, '9')},
        {p + " -I" + quoted(99, '7'), "I=" + value(99, '7')},
        {p + " -I" + quoted(100, '7'), "I=" + value(99, '7')},
        {p + " -F" + quoted(600, 'f') + "-G" + quoted(600, 'f') + "-D" + quoted(600, 'f') + "-R",
         "R=1 F=" + value(511, 'f') + " G=" + value(511, 'f') + " D=" + value(511, 'f')},
        {p + " -F" + quoted(511, 'g'), "F=" + value(511, 'g')},
        {p + " -D" + quoted(512, 'g'), "D=" + value(511, 'g')},
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(Parse(line), expected) << line.substr(0, 80);
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
    one[0] = 'x';
    GetQuotedArgument(0, one, 0, line); // no room at all: nothing written
    EXPECT_EQ(one[0], 'x');
}

TEST_F(CommandLine, LogsTheTrimmedLineLiterallyThenEachNoUserInteraction) {
    const std::string line = kProgram + " -F \"100%s%n%%.txt\" -N -N";
    Parse("  " + line + "\t");
    EXPECT_EQ(trimmed_, line); // trimmed in place
    EXPECT_EQ(LoggedText(), line + " \r\nNo User Interaction \r\nNo User Interaction \r\n");
    Parse(kProgram);
    EXPECT_EQ(LoggedText(), kProgram + " \r\n");
    const std::string huge = kProgram + " -F \"" + std::string(1500, 'h') + "\"";
    Parse(huge);
    EXPECT_EQ(LoggedText(), huge.substr(0, 999) + " \r\n");
}

TEST(HelperCommandLine, AnyCaseSensitiveAdmin) {
    for (const char* line : {"C:\\orvane\\bin\\Install.exe -ADMIN", "x -N -EFTP -ADMINISTRATOR",
                             "\"C:\\a-ADMIN\\Install.exe\""})
        EXPECT_TRUE(IsHelperCommandLine(line)) << line;
    for (const char* line : {"x -admin", "x -ADMI N", ""})
        EXPECT_FALSE(IsHelperCommandLine(line)) << line;
}

} // namespace
