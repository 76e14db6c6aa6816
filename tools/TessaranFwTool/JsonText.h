// The one way the port commands turn JSON into text: whatever bytes a unit,
// a driver or the system put into a value, the output is valid JSON.
#ifndef JSONTEXT_H
#define JSONTEXT_H

#include <string>

#include <nlohmann/json.hpp>

// The document indented by two spaces. A byte sequence that is not UTF-8 is
// replaced by U+FFFD instead of aborting the dump (nlohmann's default throws).
std::string jsonText(const nlohmann::json &value);

// A text from the system in its own encoding, as UTF-8. On Windows the A
// functions (friendly names, FormatMessageA) answer in the ANSI code page;
// elsewhere the system's texts are taken as they are.
std::string systemTextAsUtf8(const std::string &text);

#endif  // JSONTEXT_H
