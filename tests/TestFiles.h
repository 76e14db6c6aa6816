// A file's whole text, as the tests read back what the code wrote.
#ifndef TESTFILES_H
#define TESTFILES_H

#include <fstream>
#include <iterator>
#include <string>

// The bytes of the file at PATH, "" when it cannot be read.
inline std::string fileText(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

#endif  // TESTFILES_H
