#include "install/received_pipeline.h"

#include "install/program_trust.h"

#include <cstring>

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The components of a drive path after its root, "." dropped and ".." taken back, each
// lowered and without its trailing dots and blanks; false for anything but a plain drive path
// and for a path that climbs above its root.
bool Components(const char* path, std::vector<std::string>* out) {
    const char drive = Lower(path[0]);
    if (drive < 'a' || drive > 'z' || path[1] != ':' || (path[2] != '\\' && path[2] != '/'))
        return false;
    out->assign(1, std::string(1, drive));
    std::string component;
    for (const char* p = path + 3;; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c != '\0' && c != '\\' && c != '/') {
            if (c == ':' || c < 0x20)
                return false; // a stream, or a control byte the system refuses
            component += Lower(static_cast<char>(c));
            continue;
        }
        if (component == "..") {
            if (out->size() == 1)
                return false;
            out->pop_back();
        } else if (!component.empty() && component != ".") {
            while (!component.empty() && (component.back() == '.' || component.back() == ' '))
                component.pop_back();
            if (component.empty())
                return false; // only dots and blanks: the system would read it otherwise
            out->push_back(component);
        }
        component.clear();
        if (c == '\0')
            return true;
    }
}

} // namespace

StartCheck DecideStartCheck(bool held, HeldVerdict bytes, bool startsLike, bool trusted) {
    if (!held)
        return StartCheck::NotHeld;
    if (bytes != HeldVerdict::Same)
        return StartCheck::BytesDiffer;
    if (!startsLike)
        return StartCheck::NotAProgram;
    return trusted ? StartCheck::Start : StartCheck::Untrusted;
}

Outcome RefusedStart(StartCheck check, const char* path, bool installerPackage,
                     const std::string& policyRefusal) {
    Outcome outcome;
    switch (check) {
    case StartCheck::Start:
        outcome.kind = OutcomeKind::Started;
        return outcome;
    case StartCheck::NotHeld:
    case StartCheck::BytesDiffer:
        outcome.kind = OutcomeKind::Failed;
        outcome.text = std::string("Unable to run ") + path;
        return outcome;
    case StartCheck::NotAProgram:
        outcome.kind = OutcomeKind::Refused;
        outcome.text = std::string(installerPackage ? "ERROR Not An Installer Package: "
                                                    : "ERROR Not A Program: ") +
                       path;
        return outcome;
    case StartCheck::Untrusted:
        outcome.kind = OutcomeKind::Refused;
        outcome.text = policyRefusal;
        return outcome;
    }
    return outcome;
}

DestinationPolicy ParseAllowedDestinations(const char* data, std::size_t size) {
    DestinationPolicy policy;
    policy.on = true;
    for (std::string folder : MultiStringEntries(data, size)) {
        while (!folder.empty() && (folder.back() == ' ' || folder.back() == '\t'))
            folder.pop_back();
        if (!folder.empty())
            policy.folders.push_back(folder);
    }
    return policy;
}

bool IsInsideFolder(const char* path, const char* folder) {
    std::vector<std::string> file, within;
    if (!Components(path, &file) || !Components(folder, &within) || file.size() <= within.size())
        return false;
    for (std::size_t i = 0; i < within.size(); ++i)
        if (file[i] != within[i])
            return false;
    return true;
}

bool DestinationAllowed(const DestinationPolicy& policy, const char* path) {
    if (!policy.on)
        return true;
    for (const std::string& folder : policy.folders)
        if (IsInsideFolder(path, folder.c_str()))
            return true;
    return false;
}

std::string DestinationRefusalLine(const char* path) {
    return std::string("ERROR Destination Not Allowed: ") + path;
}
