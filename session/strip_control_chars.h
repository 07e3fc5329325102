// Removes in place every byte below 0x20 or above 0x7E (line ends, tabs, DEL, high bytes).
#pragma once

char* StripControlChars(char* text);
