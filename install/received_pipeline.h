// What happens to a file once its last piece is written, decided without any Windows call: the
// checks made on the held file before its start, and whether the administrator lets a received
// file be written where it is due to go.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "install/held_check.h"

// What one step of the received file's way ended with; the caller reports and acts on it.
enum class OutcomeKind {
    Started,        // the program (or the request to start it) is under way
    NothingToStart, // not a kind of file that is started: the run's work is done
    Refused,        // a check refused it: text says why
    Failed,         // it could not be held, granted or started: text says which file
};

// How the caller reports a failure (Install.result is FAILED with the text without a user).
enum class Report {
    Failure,        // a box with a user, an Install.log line without
    BoxThenFailure, // the AdminService box first (shown in both cases), then as Failure
    BoxOnly,        // the AdminService box alone (shown in both cases)
};

struct Outcome {
    OutcomeKind kind = OutcomeKind::NothingToStart;
    std::string text;
    const char* caption = "ERROR";
    Report report = Report::Failure;
};

// The checks on the held file before a start, in order.
enum class StartCheck {
    Start,
    NotHeld,     // the hold failed: nothing may follow
    BytesDiffer, // not the bytes the pieces gave (or unreadable through the hold)
    NotAProgram, // does not start with "MZ" (or the compound-file signature for a package)
    Untrusted,   // the signed-programs policy refused it
};

// trusted: the policy's answer (true without a policy); consulted only when the earlier checks
// pass.
StartCheck DecideStartCheck(bool held, HeldVerdict bytes, bool startsLike, bool trusted);
// The outcome of a check that did not pass: "Unable to run <path>", "ERROR Not A Program:
// <path>", "ERROR Not An Installer Package: <path>" or the policy's refusal line.
Outcome RefusedStart(StartCheck check, const char* path, bool installerPackage,
                     const std::string& policyRefusal);

// The administrator's list of folders a received file may be written to: HKLM\<policy key>,
// value kDestinationPolicyValue (install/program_trust.h), REG_MULTI_SZ.
struct DestinationPolicy {
    bool on = false; // the value is present: only its folders are allowed
    std::vector<std::string> folders;
};
DestinationPolicy ParseAllowedDestinations(const char* data, std::size_t size);

// True when path names something strictly inside folder (at any depth), both absolute
// drive-letter paths: compared component by component without regard to ASCII case, "/" and
// "\" alike, "." dropped and ".." taken back, trailing dots and blanks of a component dropped as
// the system drops them. A path that climbs above its root, or is not a plain drive path (UNC,
// "\\?\", a device, a stream), is inside nothing.
bool IsInsideFolder(const char* path, const char* folder);
bool DestinationAllowed(const DestinationPolicy& policy, const char* path);
// "ERROR Destination Not Allowed: <path>"
std::string DestinationRefusalLine(const char* path);
