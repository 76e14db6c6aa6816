#include "JsonText.h"

#ifdef _WIN32
#include <windows.h>
#endif

std::string jsonText(const nlohmann::json &value) {
  return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string systemTextAsUtf8(const std::string &text) {
#ifdef _WIN32
  if (text.empty()) return text;
  // Each returns the number of characters written (or needed, for a null
  // buffer) upon success, 0 upon failure; a text that does not convert is
  // left to jsonText's replacement.
  int wideLength = MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), NULL, 0);
  if (wideLength <= 0) return text;
  std::wstring wide((size_t)wideLength, L'\0');
  if (MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), &wide[0], wideLength) != wideLength)
    return text;
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, NULL, 0, NULL, NULL);
  if (length <= 0) return text;
  std::string utf8((size_t)length, '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, &utf8[0], length, NULL, NULL) != length)
    return text;
  return utf8;
#else
  return text;
#endif
}
