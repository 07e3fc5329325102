// The robot's texts: arguments that may come hex-encoded, output fields escaped.
#pragma once
#include <string>

// A text as an output field: \\ \t \n \r and \xHH for the other bytes below 0x20.
std::string Escape(const std::string& text);
// An argument: "hex:" followed by the hexadecimal codes of its bytes, or the text itself.
std::string Decode(const char* arg);
