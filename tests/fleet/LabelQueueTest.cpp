#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fleet/LabelQueue.h"

// Each row's input fed whole and a byte at a time, then ended: the labels
// queued, and the beginning of each note.
TEST(LabelQueue, LinesBecomeLabelsExactlyOrAreRefusedWhole) {
  const std::string longest(LABEL_MAX_CHARS, 'A');
  struct Case {
    std::string input;
    std::vector<std::string> labels, notes;
  } cases[] = {
      {"SN-1\nSN-2\r\nSN-3\rSN-4", {"SN-1", "SN-2", "SN-3", "SN-4"}, {}},  // the last one unended
      {" \tSN 5  \r\n\n \t\r\n", {"SN 5"}, {}},
      {"A\x1b[2J\nB\tC\n\xc3\xa9\nD\x7f\nok\n",
       {"ok"},
       {"label refused: \"A\\x1b[2J\" holds a character other than printable ASCII",
        "label refused: \"B\\x09C\" holds", "label refused: \"\\xc3\\xa9\" holds",
        "label refused: \"D\\x7f\" holds"}},
      {longest + "\n" + longest + "B\n",
       {longest},
       {"label refused: \"" + longest.substr(0, 40) + "...\" is longer than 128 characters"}},
      {std::string(100000, 'x') + "\nnext", {"next"}, {"label refused: \"xxxx"}},
      {"SN1\nSN2\nSN1\n", {"SN1", "SN2"}, {"label \"SN1\" is in the queue already"}},
  };
  for (const Case &c : cases) {
    for (size_t piece : {c.input.size(), (size_t)1}) {
      LabelQueue queue;
      std::vector<std::string> notes;
      for (size_t at = 0; at < c.input.size(); at += piece)
        queue.feed(c.input.data() + at, std::min(piece, c.input.size() - at), &notes);
      queue.end(&notes);
      EXPECT_EQ(std::vector<std::string>(queue.labels().begin(), queue.labels().end()), c.labels)
          << c.input.substr(0, 40);
      ASSERT_EQ(notes.size(), c.notes.size()) << c.input.substr(0, 40);
      for (size_t i = 0; i < notes.size(); i++)
        EXPECT_EQ(notes[i].substr(0, c.notes[i].size()), c.notes[i]);
      if (!c.labels.empty()) {
        EXPECT_EQ(queue.take(), c.labels[0]);
      }
    }
  }
}
