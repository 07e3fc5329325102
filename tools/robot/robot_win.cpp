// robot.exe: drives windows of other processes for the end-to-end tests (runs under Wine).
//
//   robot.exe <command> <output file> [arguments...]
//
// Every free text argument (class, caption, text, command line, folder) may be given as
// "hex:" followed by the hexadecimal codes of its bytes ("hex:" alone is the empty text), so
// that no quoting by the launcher can change it. Window handles and numbers are decimal.
// Results are written to the output file (never to stdout: the desktop process started by the
// first windowed program inherits the console's descriptors). The exit status is 0 on success,
// 1 when the window or control was not found or the operation failed, 2 on a usage error.
//
// Output lines, fields separated by tabs, texts escaped (\\ \t \n \r and \xHH below 0x20):
//   W <handle> <pid> <class> <caption> <left> <top> <right> <bottom> <visible> <style> <exstyle>
//     <client left> <client top> <client right> <client bottom>   (screen pixels)
//   C <handle> <id> <visible> <class> <text> <left> <top> <right> <bottom>
//                                                      (every descendant of the last W)
//   L <text>                                           (list-box lines)
//   A <left> <top> <right> <bottom>                    (work area)
//   P <pid>                                            (launched process)
//   I <width> <height> <colours> <bits per pixel>      (images of an icon group resource)
//   OK | NONE | ERROR <text>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/robot/robot_text.h"
#include "tools/robot/robot_win.h"

std::string Arguments::Text(int i) const {
    return i < argc ? Decode(argv[i]) : std::string();
}

int Arguments::Number(int i) const {
    return i < argc ? std::atoi(argv[i]) : 0;
}

HWND Arguments::Handle(int i) const {
    return i < argc
               ? reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::strtoull(argv[i], nullptr, 10)))
               : nullptr;
}

const char* Arguments::Raw(int i) const {
    return i < argc ? argv[i] : "0";
}

int Fail(std::string& out, const char* text) {
    out += "ERROR\t";
    out += Escape(text);
    out += "\n";
    return 1;
}

bool WriteOutput(const std::string& text, const char* path) {
    std::string temp = std::string(path) + ".part";
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    if (!file)
        return false;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    return MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING) != 0;
}

namespace {

struct NamedCommand {
    const char* name;
    Command run;
};

constexpr NamedCommand kCommands[] = {
    {"wait", FindCommand},     {"find", FindCommand},       {"list", ListCommand},
    {"info", InfoCommand},     {"gone", GoneCommand},       {"settext", SetTextCommand},
    {"select", SelectCommand}, {"dblclick", SelectCommand}, {"lines", LinesCommand},
    {"click", ClickCommand},   {"close", CloseCommand},     {"workarea", WorkAreaCommand},
    {"icons", IconsCommand},   {"kill", KillCommand},
};

int Run(int argc, char** argv) {
    if (argc < 3)
        return 2;
    const std::string command = argv[1];
    const char* outPath = argv[2];
    const Arguments args{argc, argv};
    if (command == "launch")
        return Launch(outPath, args.Text(3), args.Text(4), args.Text(5));

    std::string out;
    int status = -1;
    for (const NamedCommand& c : kCommands)
        if (command == c.name)
            status = c.run(command, args, out);
    if (status < 0) {
        Fail(out, "unknown command");
        status = 2;
    }
    return WriteOutput(out, outPath) ? status : 1;
}

} // namespace

int main(int argc, char** argv) {
    return Run(argc, argv);
}
