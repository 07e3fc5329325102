// What a received file is by its name: the extension test the starts take their branch on.
#pragma once

// Cuts path in place at its "." runs the way strtok does and tells whether the second token is
// exactly ext (case-sensitive): "C:\a\Setup.exe" with "exe" is true; "C:\my.dir\S.exe" is not.
bool SecondTokenIs(char* path, const char* ext);
