// Names and paths that come from the server, checked before they reach the file system
// (portable): a name must stay a plain file name in the folder it is used in, and the path
// formed from FILE_DESTINATION an absolute path on a local drive.
#pragma once

// A plain file name: not empty, no "\", "/" or ":", no byte below 0x20, not made of dots and
// blanks only ("." and ".." among them), and no reserved device name (CON, PRN, AUX, NUL,
// CONIN$, CONOUT$, COM1-COM9, LPT1-LPT9; any case, with or without an extension).
bool IsPlainFileName(const char* name);

// A local absolute path: a drive letter, ":", "\", then no ":" (alternate streams), no byte
// below 0x20 or 0x7F, and no component ("\" and "/" both separate) that is made of dots and
// blanks only (".." among them) or is a reserved device name. "\\" prefixes (UNC, "\\.\",
// "\\?\") have no drive letter.
bool IsLocalAbsolutePath(const char* path);
