// binimage_gen: checks a firmware release and generates the BinImage module.
//
//   binimage_gen RELEASE_DIR OUT_DIR
//
// Which file is which, in catalogue order:
//   0  the one file whose name ends in ".hex"                (microcontroller)
//   1  the one file ending in ".mcs" whose name has "_TX_"   (TX unit FPGA)
//   2  the one file ending in ".mcs" whose name has "_RX_"   (RX unit FPGA)
// Extensions are compared without regard to case; other files are ignored. A
// missing role, a role that two files could fill, or an ".mcs" file that names
// both or neither unit stops the build.
//
// Every file is checked before it is embedded: one record per line, each line
// a valid record (the updater's own intel_hex_line_is_valid after StrRemoveNL)
// of its full standard length, no NUL byte in the text; then the release
// check (HexTextCheck) refuses a text that the assembly would turn into an
// image with lost, overlapped or misplaced data; then a heap copy is assembled
// with ValidateFwAndConcatenateData. The flat length and checksum of each
// image are printed, and kept in the module (AUTOGEN_IMAGES), so that telling
// the release in figures costs no assembly at run time. A refused line is
// shown with its control characters escaped.
//
// OUT_DIR receives BinImage.h and BinImage.cpp. Each text is one string
// literal, continued over lines with backslash-newline after every record, so
// it compiles as fast as a single-line literal and stays readable. The output
// depends only on the files' names and contents, and a file is replaced only
// when its content changes, so an unchanged release does not recompile.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "image/HexTextCheck.h"
#include "image/IntelHex.h"
#include "platform/PrintableText.h"
#include "updater/TessaranFwUpgrade.h"

namespace fs = std::filesystem;

#define CATALOGUE_ENTRIES 3
#define FILE_PATH_CAPACITY 70                  // autogen_files::filePath
#define MAX_RELEASE_FILE_SIZE (64 * 1024 * 1024)  // far beyond any image that fits
#define LINE_BUFFER_SIZE 100                   // the assembly's line buffer
#define MAX_LITERAL_LINE 120                   // output columns before a forced break

struct ReleaseFile {
  std::string name;        // file name, without folder
  std::string identifier;  // C identifier of its array
  std::string text;
  int flatLength = 0;     // of its image, as the assembly builds it
  uint32_t checkSum = 0;  // imageCheckSum of that image
};

static const char *const kRoleNames[CATALOGUE_ENTRIES] = {
    "microcontroller Intel HEX (*.hex)", "TX FPGA MCS (*.mcs with \"_TX_\")",
    "RX FPGA MCS (*.mcs with \"_RX_\")"};

static void fail(const char *format, const char *a = "", const char *b = "") {
  fprintf(stderr, "binimage_gen: error: ");
  fprintf(stderr, format, a, b);
  fprintf(stderr, "\n");
  exit(EXIT_FAILURE);
}

static bool endsWithNoCase(const std::string &name, const char *suffix) {
  size_t n = strlen(suffix);
  if (name.size() < n) return false;
  for (size_t k = 0; k < n; k++) {
    char c = name[name.size() - n + k];
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    if (c != suffix[k]) return false;
  }
  return true;
}

// 1. Find the three files.
static void findReleaseFiles(const std::string &folder, std::string found[CATALOGUE_ENTRIES]) {
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) fail("cannot read the release folder %s (%s)", folder.c_str(), error.message().c_str());

  std::vector<std::string> names;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    if (it->is_regular_file(error)) names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());

  for (const std::string &name : names) {
    int role = -1;
    if (endsWithNoCase(name, ".hex")) {
      role = 0;
    } else if (endsWithNoCase(name, ".mcs")) {
      bool tx = name.find("_TX_") != std::string::npos;
      bool rx = name.find("_RX_") != std::string::npos;
      if (tx == rx)
        fail("%s: an .mcs file must name exactly one unit type (\"_TX_\" or \"_RX_\")",
             name.c_str());
      role = tx ? 1 : 2;
    }
    if (role < 0) continue;
    if (!found[role].empty())
      fail("two candidates for one release file: %s and %s", found[role].c_str(), name.c_str());
    found[role] = name;
  }
  for (int role = 0; role < CATALOGUE_ENTRIES; role++) {
    if (found[role].empty()) fail("%s: no %s file", folder.c_str(), kRoleNames[role]);
  }
}

static std::string identifierFor(const std::string &name) {
  std::string id;
  if (!name.empty() && name[0] >= '0' && name[0] <= '9') id = "file_";
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    id += ok ? c : '_';
  }
  return id;
}

// 2. Read one file whole.
static std::string readWholeFile(const std::string &path) {
  FILE *file = fopen(path.c_str(), "rb");
  if (file == NULL) fail("cannot open %s", path.c_str());
  std::string text;
  char chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
    text.append(chunk, got);
    if (text.size() > MAX_RELEASE_FILE_SIZE) fail("%s is larger than 64 MiB", path.c_str());
  }
  bool readError = ferror(file) != 0;
  fclose(file);
  if (readError) fail("cannot read %s", path.c_str());
  return text;
}

// 3. Every line one valid record, and nothing the assembly would misplace.
static void checkRecords(const ReleaseFile &file) {
  if (file.text.find('\0') != std::string::npos)
    fail("%s: holds a NUL byte, the text would end there", file.name.c_str());

  const std::string &text = file.text;
  size_t lineNumber = 0;
  size_t records = 0;
  size_t at = 0;
  while (at < text.size()) {
    // A line ends at CR LF, LF or CR.
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    lineNumber++;
    if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n')
      at = end + 2;
    else
      at = end < text.size() ? end + 1 : end;
    if (line.empty()) continue;

    // The same steps as the assembly: copy, cut at the line end, validate.
    bool ok = line[0] == ':' && line.find(':', 1) == std::string::npos &&
              line.size() < LINE_BUFFER_SIZE;
    if (ok) {
      char buffer[LINE_BUFFER_SIZE];
      memcpy(buffer, line.c_str(), line.size() + 1);
      StrRemoveNL(buffer, '\0');
      ok = intel_hex_line_is_valid(buffer) == INTEL_HEX_STRING_OK &&
           line.size() == 11u + 2u * intel_hex_line_data_length(buffer);
    }
    if (!ok) {
      fprintf(stderr, "binimage_gen: error: %s:%zu: not a valid Intel HEX record:\n%s\n",
              file.name.c_str(), lineNumber, printableText_escape(line).c_str());
      exit(EXIT_FAILURE);
    }
    records++;
  }
  if (records == 0) fail("%s: holds no record", file.name.c_str());

  // What the assembly would place wrongly.
  HexTextProblem problem;
  if (hexTextCheck_findProblem(file.text.c_str(), &problem)) {
    fprintf(stderr, "binimage_gen: error: %s:%lu: %s:\n%s\n", file.name.c_str(),
            problem.lineNumber, problem.reason,
            printableText_escape(problem.line, problem.lineLength).c_str());
    exit(EXIT_FAILURE);
  }
}

// 4. Assemble a heap copy, as the updater does.
static void assembleAndReport(ReleaseFile &file) {
  char *copy = (char *)calloc(file.text.size() + 16, 1);
  if (copy == NULL) fail("out of memory");
  memcpy(copy, file.text.data(), file.text.size());
  BOOL ok = ValidateFwAndConcatenateData(copy);
  free(copy);
  if (!ok) fail("%s: image assembly failed", file.name.c_str());
  if (gDataConcatenatedLenght <= 0) fail("%s: the image holds no data", file.name.c_str());
  file.flatLength = gDataConcatenatedLenght;
  file.checkSum = imageCheckSum(gDataConcatenated, gDataConcatenatedLenght);
  printf("binimage_gen: %s: %d characters, image %d bytes, checksum %u\n", file.name.c_str(),
         (int)file.text.size(), file.flatLength, (unsigned)file.checkSum);
}

// 5. The generated module.
static void appendLiteral(std::string &out, const std::string &text) {
  static const char octal[] = "01234567";
  out += '"';
  size_t column = 1;
  for (size_t k = 0; k < text.size(); k++) {
    unsigned char c = (unsigned char)text[k];
    size_t before = out.size();
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '?': out += "\\?"; break;  // no trigraphs, whatever the language level
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += (char)c;
        } else {
          out += '\\';
          out += octal[(c >> 6) & 7];
          out += octal[(c >> 3) & 7];
          out += octal[c & 7];
        }
    }
    column += out.size() - before;
    // Continue the literal on the next line after each record's line end,
    // or when a line grows long; backslash-newline keeps it one token.
    bool lastChar = k + 1 == text.size();
    if (!lastChar && (c == '\n' || column >= MAX_LITERAL_LINE)) {
      out += "\\\n";
      column = 0;
    }
  }
  out += '"';
}

static std::string headerText(const ReleaseFile files[CATALOGUE_ENTRIES]) {
  std::string h;
  h += "// Generated by binimage_gen from the release files. Do not edit.\n";
  h += "#ifndef _AUTOGEN_BINIMAGE_H_\n#define _AUTOGEN_BINIMAGE_H_\n\n";
  h += "#include <stdint.h>\n\n";
  h += "// One embedded release file.\n";
  h += "typedef struct autogen_files {\n";
  h += "  char filePath[70];           // file name, NUL-padded\n";
  h += "  signed char filePathLength;  // characters in filePath\n";
  h += "  const char *fileData;        // the text, NUL-terminated\n";
  h += "  int fileDataLength;          // characters of the text, NUL not counted\n";
  h += "} autogen_files;\n\n";
  h += "// The texts; each size counts the terminating NUL.\n";
  for (int k = 0; k < CATALOGUE_ENTRIES; k++) {
    h += "extern const char " + files[k].identifier + "[" +
         std::to_string(files[k].text.size() + 1) + "];\n";
  }
  h += "\n// 0 microcontroller, 1 TX unit FPGA, 2 RX unit FPGA.\n";
  h += "extern const autogen_files AUTOGEN_FILES[3];\n\n";
  h += "// The flat image each text assembles into, as found when the module was\n";
  h += "// generated: the same assembly, so the same figures as at run time.\n";
  h += "typedef struct autogen_image {\n";
  h += "  int flatLength;     // bytes\n";
  h += "  uint32_t checkSum;  // imageCheckSum of those bytes\n";
  h += "} autogen_image;\n";
  h += "extern const autogen_image AUTOGEN_IMAGES[3];\n\n";
  h += "#endif  // _AUTOGEN_BINIMAGE_H_\n";
  return h;
}

static std::string sourceText(const ReleaseFile files[CATALOGUE_ENTRIES]) {
  std::string s;
  s += "// Generated by binimage_gen from the release files. Do not edit.\n";
  s += "#include \"BinImage.h\"\n\n";
  s += "const autogen_files AUTOGEN_FILES[3] = {\n";
  for (int k = 0; k < CATALOGUE_ENTRIES; k++) {
    s += "    {\"" + files[k].name + "\", " + std::to_string(files[k].name.size()) + ", " +
         files[k].identifier + ", " + std::to_string(files[k].text.size()) + "},\n";
  }
  s += "};\n\nconst autogen_image AUTOGEN_IMAGES[3] = {\n";
  for (int k = 0; k < CATALOGUE_ENTRIES; k++) {
    s += "    {" + std::to_string(files[k].flatLength) + ", " + std::to_string(files[k].checkSum) +
         "u},\n";
  }
  s += "};\n";
  for (int k = 0; k < CATALOGUE_ENTRIES; k++) {
    s += "\n// " + files[k].name + "\n";
    s += "const char " + files[k].identifier + "[" + std::to_string(files[k].text.size() + 1) +
         "] =\n";
    appendLiteral(s, files[k].text);
    s += ";\n";
  }
  return s;
}

// Replaces `path` only when its content differs, through a temporary file.
static void writeIfChanged(const std::string &path, const std::string &content) {
  FILE *existing = fopen(path.c_str(), "rb");
  if (existing != NULL) {
    fclose(existing);
    std::error_code error;
    if (fs::file_size(path, error) == content.size() && !error && readWholeFile(path) == content)
      return;
  }
  std::string temporary = path + ".tmp";
  FILE *file = fopen(temporary.c_str(), "wb");
  if (file == NULL) fail("cannot create %s", temporary.c_str());
  size_t written = fwrite(content.data(), 1, content.size(), file);
  if (fclose(file) != 0 || written != content.size()) fail("cannot write %s", temporary.c_str());
  std::error_code error;
  fs::rename(temporary, path, error);
  if (error) fail("cannot replace %s (%s)", path.c_str(), error.message().c_str());
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "Usage: binimage_gen RELEASE_DIR OUT_DIR\n");
    return 2;
  }
  std::string releaseFolder = argv[1];
  std::string outFolder = argv[2];

  std::string names[CATALOGUE_ENTRIES];
  findReleaseFiles(releaseFolder, names);

  gDataConcatenated = (uint8_t *)malloc(CONCAT_BUFFER_SIZE + 16);
  if (gDataConcatenated == NULL) fail("out of memory");

  ReleaseFile files[CATALOGUE_ENTRIES];
  for (int k = 0; k < CATALOGUE_ENTRIES; k++) {
    ReleaseFile &file = files[k];
    file.name = names[k];
    if (file.name.size() >= FILE_PATH_CAPACITY)
      fail("%s: file name longer than 69 characters", file.name.c_str());
    if (file.name.find_first_of("\"\\") != std::string::npos)
      fail("%s: file name holds a quote or a backslash", file.name.c_str());
    file.identifier = identifierFor(file.name);
    file.text = readWholeFile((fs::path(releaseFolder) / file.name).string());
    if (file.text.size() > (size_t)INT_MAX - 16) fail("%s is too large", file.name.c_str());
    checkRecords(file);
    assembleAndReport(file);
  }
  free(gDataConcatenated);
  gDataConcatenated = NULL;

  writeIfChanged((fs::path(outFolder) / "BinImage.h").string(), headerText(files));
  writeIfChanged((fs::path(outFolder) / "BinImage.cpp").string(), sourceText(files));
  return 0;
}
