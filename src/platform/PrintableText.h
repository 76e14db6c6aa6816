// Bytes that come from a file or a port, made safe to show on a terminal.
#ifndef PRINTABLETEXT_H
#define PRINTABLETEXT_H

#include <stddef.h>

#include <string>

// Printable ASCII (0x20 to 0x7E) as it is; every other byte, control
// characters such as ESC and bytes from 0x80 up alike, as "\x" and two
// lower-case hex digits ("\x1b"), so that a crafted file cannot drive the
// terminal (move the cursor, clear the screen, set the window title).
std::string printableText_escape(const char *bytes, size_t size);
std::string printableText_escape(const std::string &bytes);

// Only the control characters escaped as above: C0 (TAB, CR and LF
// included), DEL, and C1 as UTF-8 writes them (0xC2 0x80 to 0xC2 0x9F, which
// some terminals obey); every other byte as it is, so that UTF-8 text such as
// a label "Zürich 3" stays readable where it goes to a file or a spreadsheet.
std::string printableText_escapeControls(const std::string &bytes);

// The same, then made text of an HTML page: & < > " ' as character
// references, so that a label or a unit's reply shows as its characters in
// an element or an attribute and never as markup.
std::string printableText_html(const std::string &bytes);

// Prints a NUL-terminated text from a unit on stdout, escaped as above (the
// tool's printer of the exchange's reply dump).
void printableText_print(const char *text);

#endif  // PRINTABLETEXT_H
