// Small text helpers shared across the program (portable).
#pragma once

// Strips trailing blanks and tabs in place; returns text.
char* TrimTrailingBlanks(char* text);
// Strips trailing, then leading blanks and tabs in place (rest moved to the start); returns text.
char* TrimBlanks(char* text);
