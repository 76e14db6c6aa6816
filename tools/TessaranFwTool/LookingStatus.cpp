#include "LookingStatus.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include <string>

#include "serial/UpdateProgress.h"

static size_t gShown = 0;  // characters of the text on the screen
static bool gFollowing = false;

// Backspaces over the text, blanks over it, backspaces again: the cursor ends
// where the text began, whatever standard output wrote before it.
static void erase(void) {
  if (gShown == 0) return;
  char line[3 * 64 + 1];
  size_t at = 0;
  for (int pass = 0; pass < 3; pass++)
    for (size_t i = 0; i < gShown; i++) line[at++] = pass == 1 ? ' ' : '\b';
  line[at] = '\0';
  fputs(line, stderr);
  gShown = 0;
}

static void show(const char *text, int length) {
  erase();
  fputs(text, stderr);
  fflush(stderr);
  gShown = (size_t)length;
}

static void showAsking(const UpdateEvent *event, void *) {
  if (event->kind != UPDATE_EVENT_FACT || strcmp(event->key, UPDATE_FACT_ASKING) != 0) return;
  // "COM3 9600", "rfc2217://host:3001 57600"; rate 0: a raw socket's, unknown.
  const char *space = strrchr(event->value, ' ');
  if (space == NULL) return;
  const std::string port(event->value, (size_t)(space - event->value));
  const int rate = atoi(space + 1);
  char text[3 * 64];
  int length = rate > 0 ? snprintf(text, sizeof text, " asking %s at %d baud", port.c_str(), rate)
                        : snprintf(text, sizeof text, " asking %s at the server's rate", port.c_str());
  if (length <= 0 || length > 64) return;
  show(text, length);
}

void lookingStatus_show(const char *text) {
  const size_t length = strlen(text);
  if (gFollowing && length <= 64) show(text, (int)length);
}

void lookingStatus_start(void) {
  if (gFollowing || !isatty(fileno(stderr))) return;
  gFollowing = updateProgress_addListener(showAsking, NULL) != 0;
}

void lookingStatus_end(void) {
  if (!gFollowing) return;
  updateProgress_removeListener(showAsking, NULL);
  gFollowing = false;
  erase();
  fflush(stderr);
}
