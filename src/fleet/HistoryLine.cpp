// The writers' form of a history line, read by one pass over its bytes.
#include "fleet/HistoryLine.h"

#include <string.h>

#include <algorithm>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "fleet/StationHistory.h"

// Distinct fractions kept as found written as the dump writes them (a unit's
// seconds, in tenths: a few thousand in a year); past that, forgotten at once.
#define FRACTIONS_KEPT 16384
#define FRACTION_KEPT_MAX 24  // bytes of a fraction's text kept

// The keys the reader takes into a record (StationHistory.cpp's readRecord
// reads the same from a parsed line).
enum LineKey {
  LINE_KEY_RESULT,
  LINE_KEY_SLOT,
  LINE_KEY_BAUD,
  LINE_KEY_SECONDS,
  LINE_KEY_HOOK,
  LINE_KEY_START_HOOK,
  LINE_KEY_ATTEMPTS,
  LINE_KEY_RUN_SECONDS,
  LINE_KEY_TEXTS  // the record's texts from here on, in kLineTexts' order
};

static const char *const kLineKeyNames[] = {"result",      "slot",
                                            "baud",        "seconds",
                                            "hook_status", "start_hook_status",
                                            "attempts",    "run_seconds"};

static const struct {
  const char *name;
  std::string FleetRecord::*member;
} kLineTexts[] = {
    {"address", &FleetRecord::address},
    {"device", &FleetRecord::device},
    {"type", &FleetRecord::type},
    {"failed_step", &FleetRecord::failedStep},
    {"firmware_before", &FleetRecord::firmwareBefore},
    {"firmware_after", &FleetRecord::firmwareAfter},
    {"fpga_before", &FleetRecord::fpgaBefore},
    {"fpga_after", &FleetRecord::fpgaAfter},
    {"message", &FleetRecord::message},
    {"log", &FleetRecord::log},
    {"label", &FleetRecord::label},
    {"started", &FleetRecord::started},
    {"finished", &FleetRecord::finished},
    {"location", &FleetRecord::location},
    {"serial_number", &FleetRecord::serialNumber},
    {"vid", &FleetRecord::vid},
    {"pid", &FleetRecord::pid},
    {"run_started", &FleetRecord::runStarted},
};

static int lineKeyOf(const char *key, size_t size) {
  for (size_t i = 0; i < sizeof kLineKeyNames / sizeof *kLineKeyNames; i++)
    if (strlen(kLineKeyNames[i]) == size && memcmp(kLineKeyNames[i], key, size) == 0) return (int)i;
  for (size_t i = 0; i < sizeof kLineTexts / sizeof *kLineTexts; i++)
    if (strlen(kLineTexts[i].name) == size && memcmp(kLineTexts[i].name, key, size) == 0)
      return LINE_KEY_TEXTS + (int)i;
  return -1;
}

// What a byte is inside a text: 0 plain, else it ends the quick run.
static const struct ByteClasses {
  enum { PLAIN, QUOTE, BACKSLASH, CONTROL, HIGH };
  uint8_t of[256];
  ByteClasses() {
    for (int c = 0; c < 256; c++)
      of[c] = c < 0x20 ? CONTROL : c == '"' ? QUOTE : c == '\\' ? BACKSLASH : c >= 0x80 ? HIGH : PLAIN;
  }
} kBytes;

// The length of the UTF-8 sequence at TEXT (END past the last byte the text
// may use) when it is one the full parser accepts; 0 when not.
static size_t utf8Length(const unsigned char *text, const unsigned char *end) {
  const unsigned char c = text[0];
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;  // no surrogate halves
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if ((size_t)(end - text) < length || text[1] < low || text[1] > high) return 0;
  for (size_t i = 2; i < length; i++)
    if (text[i] < 0x80 || text[i] > 0xBF) return 0;
  return length;
}

// The escape at TEXT (its backslash) as the dump writes it: its length, 0 when
// the dump writes that character otherwise.
static size_t escapeLength(const char *text, const char *end) {
  if (end - text < 2) return 0;
  if (strchr("\"\\bfnrt", text[1]) != NULL && text[1] != '\0') return 2;
  // \u00XX, lowercase, only for a control character without a short escape.
  static const char hex[] = "0123456789abcdef";
  if (text[1] != 'u' || end - text < 6 || text[2] != '0' || text[3] != '0' ||
      (text[4] != '0' && text[4] != '1'))
    return 0;
  const char *digit = strchr(hex, text[5]);
  if (digit == NULL || text[5] == '\0') return 0;
  const int code = (text[4] - '0') * 16 + (int)(digit - hex);
  return code == 0x08 || code == 0x09 || code == 0x0A || code == 0x0C || code == 0x0D ? 0 : 6;
}

// Whether any of the 8 bytes in WORD is a quote, a backslash, a control
// character or past ASCII: the end of a text's quick run (bit tricks on a
// 64-bit word, so that a text is passed 8 bytes at a time).
static bool lineWordStops(uint64_t word) {
  const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  const uint64_t quote = word ^ (ones * '"'), backslash = word ^ (ones * '\\');
  return (((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | (word - ones * 0x20) | word) &
         highs;
}

bool HistoryLineReader::scanText(const char *line, size_t end, size_t *at, bool *escaped) {
  size_t i = *at + 1;  // past the opening quote
  *escaped = false;
  for (;;) {
    for (uint64_t word; i + 8 <= end; i += 8) {
      memcpy(&word, line + i, 8);
      if (lineWordStops(word)) break;
    }
    while (i < end && kBytes.of[(unsigned char)line[i]] == ByteClasses::PLAIN) i++;
    if (i >= end) return false;
    switch (kBytes.of[(unsigned char)line[i]]) {
      case ByteClasses::QUOTE:
        *at = i;
        return true;
      case ByteClasses::BACKSLASH: {
        const size_t length = escapeLength(line + i, line + end);
        if (length == 0) return false;
        *escaped = true;
        i += length;
        break;
      }
      case ByteClasses::HIGH: {
        const size_t length = utf8Length((const unsigned char *)line + i, (const unsigned char *)line + end);
        if (length == 0) return false;
        i += length;
        break;
      }
      default:
        return false;  // a control character as it is
    }
  }
}

// A fraction's text is taken only when the dump writes its value the same
// way (no exponent, no trailing zero but one after the point, ...). The dump
// itself tells: asked once per distinct text, the answer kept.
bool HistoryLineReader::fractionWritten(const char *text, size_t size, double *value) {
  fractionText_.assign(text, size);
  const auto kept = fractions_.find(fractionText_);
  if (kept != fractions_.end()) {
    *value = kept->second;
    return true;
  }
  const nlohmann::ordered_json number = nlohmann::ordered_json::parse(text, text + size, nullptr, false);
  if (!number.is_number_float() || number.dump() != fractionText_) return false;
  *value = number.get<double>();
  if (size > FRACTION_KEPT_MAX) return true;
  if (fractions_.size() >= FRACTIONS_KEPT) fractions_.clear();
  fractions_.emplace(fractionText_, *value);
  return true;
}

// A number as the dump writes it: an integer of up to 18 digits (the dump
// writes larger ones otherwise than they may be written) or a fraction.
bool HistoryLineReader::scanNumber(const char *line, size_t end, size_t *at, Field *field) {
  size_t i = *at;
  const bool negative = line[i] == '-';
  if (negative) i++;
  const size_t first = i;
  uint64_t whole = 0;
  while (i < end && line[i] >= '0' && line[i] <= '9') whole = whole * 10 + (uint64_t)(line[i++] - '0');
  const size_t digits = i - first;
  if (digits == 0 || (digits > 1 && line[first] == '0')) return false;
  if (i < end && (line[i] == 'e' || line[i] == 'E')) return false;
  if (i < end && line[i] == '.') {
    const size_t point = i;
    for (i++; i < end && line[i] >= '0' && line[i] <= '9';) i++;
    if (i < end && (line[i] == 'e' || line[i] == 'E')) return false;
    field->kind = FRACTION;
    if (i == point + 2 && digits <= 14) {
      // Tenths, as the writers write seconds, below 10^14: the double
      // nearest such a value lies within 0.4 of its last place from it
      // (a tenth's binary digits repeat), and a place is under 1/64 there,
      // so the dump's shortest form is this text again; the division of
      // exact integers rounds once, as the parser's reading does. A text
      // of each value is no longer asked of the dump (a run's seconds
      // differ on every line).
      const double tenths = (double)(whole * 10 + (uint64_t)(line[point + 1] - '0')) / 10.0;
      field->number = negative ? -tenths : tenths;
    } else if (!fractionWritten(line + *at, i - *at, &field->number)) {
      return false;
    }
  } else {
    // "-0" is written "0"; past 18 digits a value may not fit in 64 bits.
    if (digits > 18 || (negative && whole == 0)) return false;
    field->kind = INTEGER;
    field->number = negative ? (double)-(int64_t)whole : (double)whole;
  }
  field->value = (uint32_t)*at, field->valueSize = (uint32_t)(i - *at);
  *at = i;
  return true;
}

bool HistoryLineReader::scan(const char *line, size_t size) {
  fields_.clear();
  if (size < 2 || size > UINT32_MAX || line[0] != '{' || line[size - 1] != '}') return false;
  const size_t end = size - 1;  // the closing brace
  size_t i = 1;
  if (i == end) return true;
  for (;;) {
    Field field;
    bool escaped;
    if (line[i] != '"') return false;
    const size_t keyAt = i;
    if (!scanText(line, end, &i, &escaped)) return false;
    field.key = (uint32_t)keyAt + 1, field.keySize = (uint32_t)(i - keyAt - 1);
    if (++i >= end || line[i] != ':' || ++i >= end) return false;
    switch (line[i]) {
      case '"': {
        const size_t valueAt = i;
        if (!scanText(line, end, &i, &escaped)) return false;
        field.kind = escaped ? TEXT_ESCAPED : TEXT;
        field.value = (uint32_t)valueAt + 1, field.valueSize = (uint32_t)(i - valueAt - 1);
        i++;
        break;
      }
      case 't':
      case 'f':
      case 'n': {
        const char *word = line[i] == 't' ? "true" : line[i] == 'f' ? "false" : "null";
        const size_t length = strlen(word);
        if (end - i < length || memcmp(line + i, word, length) != 0) return false;
        field.kind = line[i] == 'n' ? NULL_VALUE : LITERAL;
        field.value = (uint32_t)i, field.valueSize = (uint32_t)length;
        i += length;
        break;
      }
      default:
        if (line[i] != '-' && (line[i] < '0' || line[i] > '9')) return false;  // nested, or no value
        if (!scanNumber(line, end, &i, &field)) return false;
    }
    fields_.push_back(field);
    if (i == end) return keysDistinct(line);
    if (line[i] != ',' || ++i >= end) return false;
  }
}

// Whether no key comes twice (the full parser would keep one value of the
// two, in the first one's place: the dump would differ from the line).
// Names each field's known key on the way.
bool HistoryLineReader::keysDistinct(const char *line) {
  bool same = fields_.size() <= layout_.size();
  for (size_t i = 0; same && i < fields_.size(); i++) {
    const Field &f = fields_[i];
    same = layout_[i].size() == f.keySize && memcmp(layout_[i].data(), line + f.key, f.keySize) == 0;
    fields_[i].known = layoutKnown_[i];
  }
  if (same) return true;  // keys of a line known distinct, or the first ones of them
  order_.resize(fields_.size());
  for (uint32_t i = 0; i < order_.size(); i++) order_[i] = i;
  auto key = [&](uint32_t i) { return std::string_view(line + fields_[i].key, fields_[i].keySize); };
  std::sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
  for (size_t i = 1; i < order_.size(); i++)
    if (key(order_[i - 1]) == key(order_[i])) return false;
  layout_.resize(fields_.size());
  layoutKnown_.resize(fields_.size());
  for (size_t i = 0; i < fields_.size(); i++) {
    Field &f = fields_[i];
    f.known = lineKeyOf(line + f.key, f.keySize);
    layout_[i].assign(line + f.key, f.keySize);
    layoutKnown_[i] = f.known;
  }
  return true;
}

// A text's bytes as the full parser reads them into TO.
static void lineTextInto(const char *text, size_t size, bool escaped, std::string *to) {
  if (!escaped) {
    to->assign(text, size);
    return;
  }
  to->clear();
  for (size_t i = 0; i < size; i++) {
    if (text[i] != '\\') {
      *to += text[i];
      continue;
    }
    const char c = text[++i];
    switch (c) {
      case 'b': *to += '\b'; break;
      case 'f': *to += '\f'; break;
      case 'n': *to += '\n'; break;
      case 'r': *to += '\r'; break;
      case 't': *to += '\t'; break;
      case 'u': {  // \u00XX, a control character (escapeLength checked the form)
        const char x = text[i + 4];
        *to += (char)((text[i + 3] - '0') * 16 + (x <= '9' ? x - '0' : x - 'a' + 10));
        i += 4;
        break;
      }
      default: *to += c;  // " or backslash
    }
  }
}

// A time the history wrote, "2026-12-09T08:15:00Z"; -1 for anything else.
static time_t lineTime(const std::string &text) {
  time_t when = -1;
  if (text.size() != 20 || !stationHistory_parseTime(text.data(), text.size(), false, &when)) return -1;
  return when;
}

bool HistoryLineReader::read(const char *line, size_t size, HistoryEntry *entry) {
  if (!scan(line, size)) return false;
  FleetRecord &r = entry->record;
  for (const auto &text : kLineTexts) (r.*text.member).clear();
  entry->result.clear(), entry->slot.clear();
  r.baud = 0, r.seconds = 0, r.hookStatus = FLEET_NO_HOOK, r.startHookStatus = FLEET_NO_HOOK;
  r.attempts = 1;  // lines written before retries: one
  r.runSeconds = -1;
  bool result = false, slot = false;
  for (const Field &f : fields_) {
    if (f.known < 0) continue;
    const bool text = f.kind == TEXT || f.kind == TEXT_ESCAPED;
    const bool number = f.kind == INTEGER || f.kind == FRACTION;
    std::string *into = NULL;
    switch (f.known) {
      case LINE_KEY_RESULT: result = text, into = &entry->result; break;
      case LINE_KEY_SLOT: slot = true, into = &entry->slot; break;
      case LINE_KEY_BAUD: if (number) r.baud = historyLine_int(f.number); break;
      case LINE_KEY_SECONDS: if (number) r.seconds = f.number; break;
      case LINE_KEY_HOOK: if (number) r.hookStatus = historyLine_int(f.number); break;
      case LINE_KEY_START_HOOK: if (number) r.startHookStatus = historyLine_int(f.number); break;
      case LINE_KEY_ATTEMPTS: if (number) r.attempts = historyLine_int(f.number); break;
      case LINE_KEY_RUN_SECONDS: if (number) r.runSeconds = f.number; break;
      default: into = &(r.*kLineTexts[f.known - LINE_KEY_TEXTS].member);
    }
    if (into != NULL && text) lineTextInto(line + f.value, f.valueSize, f.kind == TEXT_ESCAPED, into);
  }
  if (!result) return false;  // not a record: the full parser names it
  r.result = fleet_resultOf(entry->result);
  if (!slot) entry->slot = stationHistory_slot(r);
  entry->started = lineTime(r.started);
  entry->finished = lineTime(r.finished);
  stationHistory_runTimes(entry);
  return true;
}

// Bytes of a text that fleet_csvField would change or quote: a control
// character, a C1 one's lead byte, a comma, or (first) a formula's sign.
static bool csvPlain(const char *text, size_t size) {
  if (size > 0 && strchr("=+-@", text[0]) != NULL) return false;
  for (size_t i = 0; i < size; i++) {
    const unsigned char c = (unsigned char)text[i];
    if (c == ',' || c == 0x7F || c == 0xC2) return false;
  }
  return true;
}

const std::string &HistoryLineReader::csvLine(const HistoryEntry &entry,
                                              const std::vector<std::string> &keys) {
  const std::string &line = entry.text;
  if (entry.json.is_object() || !scan(line.data(), line.size())) {
    csv_ = fleet_csvLine(entry.json.is_object() ? entry.json
                                                : nlohmann::ordered_json::parse(line, nullptr, false),
                         keys);
    return csv_;
  }
  csv_.clear();
  columns_.resize(keys.size());
  for (size_t k = 0; k < keys.size(); k++) {
    if (k > 0) csv_ += ',';
    // A column's key is where the last line had it, as a rule.
    const std::string &key = keys[k];
    const Field *f = NULL;
    for (size_t n = 0; n < fields_.size() && f == NULL; n++) {
      const size_t place = (columns_[k] + n) % fields_.size();
      const Field &at = fields_[place];
      if (at.keySize == key.size() && memcmp(line.data() + at.key, key.data(), key.size()) == 0)
        f = &at, columns_[k] = (uint32_t)place;
    }
    if (f == NULL || f->kind == NULL_VALUE) continue;
    const char *value = line.data() + f->value;
    if (f->kind == TEXT && csvPlain(value, f->valueSize)) {
      csv_.append(value, f->valueSize);
    } else if (f->kind == TEXT || f->kind == TEXT_ESCAPED) {
      lineTextInto(value, f->valueSize, f->kind == TEXT_ESCAPED, &decoded_);
      csv_ += fleet_csvField(decoded_);
    } else {
      csv_.append(value, f->valueSize);  // a number or true/false, as the dump writes it
    }
  }
  csv_ += "\r\n";
  return csv_;
}
