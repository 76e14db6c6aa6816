// A station history's line read without the full JSON parser, when it is in
// the form the writers give it.
//
// The writers dump each record as one compact object (nlohmann-json's dump:
// no blank, strings with only the escapes the dump makes, numbers as the dump
// writes them, the same keys in the same order on every line). Parsing such a
// line into a JSON document costs over ten times what reading it here
// does. A line is read here only when it is exactly what the full parser and
// that dump give back, byte for byte: a flat object, no key twice, values
// that are texts, numbers, true, false or null. Anything else (a blank, an
// escape the dump does not write, a number written another way, a nested
// value) is left to the full parser, so that a line reads the same whichever
// way it went.
#ifndef HISTORYLINE_H
#define HISTORYLINE_H

#include <limits.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

struct HistoryEntry;

// A number of a line as an int: the whole part, clamped (a JSON number may
// be any size; the cast of one past int's range would be undefined).
inline int historyLine_int(double value) {
  if (!(value > (double)INT_MIN)) return INT_MIN;
  if (!(value < (double)INT_MAX)) return INT_MAX;
  return (int)value;
}

class HistoryLineReader {
 public:
  // TRUE when the SIZE bytes at LINE (its line end taken off) are a record
  // in the writers' form: *ENTRY's record, result, slot, started and finished
  // are then what the full parser reads from it (json, text and line are not
  // touched). FALSE for any other line, *ENTRY's fields then undefined.
  bool read(const char *line, size_t size, HistoryEntry *entry);
  // ENTRY's record as one CSV line (its "\r\n" included), a column per key,
  // as fleet_csvLine writes it from the record's JSON object.
  const std::string &csvLine(const HistoryEntry &entry, const std::vector<std::string> &keys);

 private:
  enum Kind : uint8_t { TEXT, TEXT_ESCAPED, INTEGER, FRACTION, LITERAL, NULL_VALUE };
  struct Field {
    uint32_t key, keySize, value, valueSize;  // offsets in the line; a text's without its quotes
    Kind kind;
    int known;  // the record's field the key names (-1: none)
    double number;
  };
  // Splits the line into fields_; FALSE when it is not in the writers' form.
  bool scan(const char *line, size_t size);
  bool scanText(const char *line, size_t end, size_t *at, bool *escaped);
  bool scanNumber(const char *line, size_t end, size_t *at, Field *field);
  bool fractionWritten(const char *text, size_t size, double *value);
  bool keysDistinct(const char *line);

  std::vector<Field> fields_;
  // The keys of the last line read, in their order and known distinct: a
  // line with the same keys needs no other test that no key comes twice.
  std::vector<std::string> layout_;
  std::vector<int> layoutKnown_;
  std::vector<uint32_t> order_;
  std::vector<uint32_t> columns_;  // where each CSV column's key was in the last line
  std::string csv_, decoded_;
  // Fractions found written as the dump writes them, by their text, and
  // their values.
  std::unordered_map<std::string, double> fractions_;
  std::string fractionText_;
};

#endif  // HISTORYLINE_H
