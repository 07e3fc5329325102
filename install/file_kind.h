// What a received file is, by its name and by its first bytes: the extension test the starts
// take their branch on, and the signature a program or an installer package begins with.
#pragma once

// Cuts path in place at its "." runs the way strtok does and tells whether the second token is
// exactly ext (case-sensitive): "C:\a\Setup.exe" with "exe" is true; "C:\my.dir\S.exe" is not.
bool SecondTokenIs(char* path, const char* ext);

// The file at path starts like what it claims to be: "MZ" for a program, the compound-file
// signature D0 CF 11 E0 A1 B1 1A E1 for an installer package. False when it does not open or is
// shorter; a received file that fails is never started.
bool HasProgramSignature(const char* path, bool installerPackage);
