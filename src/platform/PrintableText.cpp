#include "platform/PrintableText.h"

#include <stdio.h>
#include <string.h>

std::string printableText_escape(const char *bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(size);
  for (size_t k = 0; k < size; k++) {
    unsigned char c = (unsigned char)bytes[k];
    if (c >= 0x20 && c < 0x7F) {
      shown += (char)c;
    } else {
      shown += "\\x";
      shown += digits[c >> 4];
      shown += digits[c & 15];
    }
  }
  return shown;
}

std::string printableText_escape(const std::string &bytes) {
  return printableText_escape(bytes.data(), bytes.size());
}

std::string printableText_escapeControls(const std::string &bytes) {
  std::string shown;
  shown.reserve(bytes.size());
  for (size_t k = 0; k < bytes.size(); k++) {
    const unsigned char c = (unsigned char)bytes[k];
    const bool c1 = c == 0xC2 && k + 1 < bytes.size() && (unsigned char)bytes[k + 1] >= 0x80 &&
                    (unsigned char)bytes[k + 1] <= 0x9F;
    if (c1) {
      shown += printableText_escape(bytes.data() + k, 2);
      k++;
    } else if (c < 0x20 || c == 0x7F) {
      shown += printableText_escape(bytes.data() + k, 1);
    } else {
      shown += (char)c;
    }
  }
  return shown;
}

void printableText_print(const char *text) {
  fputs(printableText_escape(text, strlen(text)).c_str(), stdout);
}

std::string printableText_html(const std::string &bytes) {
  const std::string plain = printableText_escapeControls(bytes);
  std::string html;
  html.reserve(plain.size());
  for (char c : plain) {
    switch (c) {
      case '&': html += "&amp;"; break;
      case '<': html += "&lt;"; break;
      case '>': html += "&gt;"; break;
      case '"': html += "&quot;"; break;
      case '\'': html += "&#39;"; break;
      default: html += c;
    }
  }
  return html;
}
