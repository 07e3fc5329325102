// Command-line parsing into the run's options (the line trimmed of blanks and tabs first).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "base/install_log.h"
#include "transport_test_support.h"

namespace {

// Every option that differs from the start-up defaults, as "name=value" words.
std::string Changed(const Options& o) {
    std::string d;
    auto add = [&](const char* name, const std::string& value) { d += " " + (name + value); };
    // clang-format off
    const std::pair<const char*, int> flags[] = {
        {"setup=", o.SetupMode - 1}, {"push=", o.PushMode}, {"user=", o.UserInteraction - 1},
        {"confirm=", o.ConfirmInstall}, {"full=", o.FullSetup}, {"T=", o.ShowTransferStatus},
        {"A=", o.UseAdminService}, {"R=", o.RemoveAfterTransfer}, {"S=", o.RemoteCacheUnavailable}};
    const std::pair<const char*, const char*> texts[] = {{"I=", o.OptionServerAddress},
        {"F=", o.OptionFileName}, {"G=", o.OptionServerFolder}, {"D=", o.OptionLocalFolder}};
    // clang-format on
    for (const auto& [name, change] : flags)
        if (change != 0)
            add(name, std::to_string(change)); // setup and user: -1 when turned off
    for (const auto& [name, value] : texts)
        if (*value)
            add(name, "[" + std::string(value) + "]");
    return d.empty() ? d : d.substr(1);
}

// Parses a heap copy sized exactly (an overrun is caught); returns the changed options, and the
// Install.log text without its time stamps.
std::string Parse(const std::string& line, std::string* logged = nullptr) {
    transport_test::ScratchFolder dir;
    const std::string log = dir.File("Install.log");
    SetInstallLogPath(log.c_str());
    std::vector<char> exact(line.begin(), line.end());
    exact.push_back('\0');
    const std::string changed = Changed(ParseCommandLineText(exact.data()));
    SetInstallLogPath("c:\\orvane\\bin\\Install.log");
    std::istringstream all(transport_test::ReadWholeFile(log));
    for (std::string l; logged && std::getline(all, l);) // "M/D/Y at H:M:S:ms text \r"
        *logged += l.substr(l.find(' ', l.find(" at ") + 4) + 1) + "\n";
    return changed;
}

TEST(CommandLine, OptionsFromTheTable) {
    const std::string p = "C:\\orvane\\bin\\Install.exe";
    auto quoted = [](std::size_t n) { return " \"" + std::string(n, '7') + "\" "; };
    auto value = [](std::size_t n) { return "[" + std::string(n, '7') + "]"; };
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> cases = {
        // Only the bare or quoted installed path asks first; only blanks and tabs are trimmed.
        {p, "confirm=1"}, {"\t \"" + p + "\" \t", "confirm=1"}, {p + "\n", ""},
        {"c:\\orvane\\bin\\install.exe", ""}, {p + " -A", "A=1"},
        // "-EFTPPUSH" is tested before "-EFTP", a later "-EFTP" never resets upload.
        {p + " -EFTPPUSH -EFTP", "setup=-1 push=1"}, {p + " -EFTPMODE", "setup=-1"},
        // "EFULL" anywhere, in upper case only; every option in upper case only.
        {p + " xEFULLx", "full=1"}, {p + " -n -eftp -a -t -r -s -i \"1\" -f \"x\" efull", ""},
        {p + " -A -T -R -S -N", "user=-1 T=1 A=1 R=1 S=1"}, {"C:\\my-Tools\\Install.exe", "T=1"},
        // Quoted values; no quote after the option ends the scan.
        {p + " -I\"10.1.2.3\" -N", "user=-1 I=[10.1.2.3]"}, {p + " -T -I 10.1.2.3 -N", "T=1"},
        {p + " -F \"-N\" -A -I \"1\" -I \"2\"", "A=1 I=[2] F=[-N]"},
        {p + " -G \"/g/\" -D \"C:\\d\"", "G=[/g/] D=[C:\\d]"},
        // Values longer than their buffers are cut to 99 or 511 characters; the scan goes on.
        {p + " -I" + quoted(99) + "-N", "user=-1 I=" + value(99)},
        {p + " -I" + quoted(100), "I=" + value(99)},
        {p + " -F" + quoted(600) + "-G" + quoted(512) + "-D" + quoted(511) + "-R",
         "R=1 F=" + value(511) + " G=" + value(511) + " D=" + value(511)},
    };
    // clang-format on
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(Parse(line), expected) << line.substr(0, 80);
}

TEST(CommandLine, LogsTheTrimmedLineLiterallyThenEachNoUserInteraction) {
    const std::string line = "C:\\orvane\\bin\\Install.exe -F \"100%s%n%%.txt\" -N -N";
    std::string logged;
    Parse("  " + line + "\t", &logged);
    EXPECT_EQ(logged, line + " \r\nNo User Interaction \r\nNo User Interaction \r\n");
}

} // namespace
