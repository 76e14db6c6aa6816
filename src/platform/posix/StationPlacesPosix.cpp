#include <ctype.h>
#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/StationPlaces.h"

std::string stationPlaces_hostName(void) {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  name[sizeof name - 1] = '\0';
  return name;
}

// The account's entry, not $USER: a variable anyone can set names no one.
static const struct passwd *account(void) { return getpwuid(getuid()); }

std::string stationPlaces_userName(void) {
  const struct passwd *entry = account();
  if (entry != NULL && entry->pw_name != NULL) return entry->pw_name;
  const char *user = getenv("USER");
  return user != NULL ? user : "";
}

std::string stationPlaces_stateFolder(const char *program) {
  std::string name = program;
  for (char &c : name) c = (char)tolower((unsigned char)c);
  // A relative $XDG_STATE_HOME is to be ignored, as the base directory rules say.
  const char *state = getenv("XDG_STATE_HOME");
  if (state != NULL && state[0] == '/') return std::string(state) + "/" + name;
  const char *home = getenv("HOME");
  const struct passwd *entry = home != NULL && home[0] == '/' ? NULL : account();
  if (entry != NULL && entry->pw_dir != NULL && entry->pw_dir[0] == '/') home = entry->pw_dir;
  if (home == NULL || home[0] != '/') return "";
  return std::string(home) + "/.local/state/" + name;
}

bool stationPlaces_makeFolders(const std::string &folder, std::string *error) {
  // Each folder from the top down; mkdir returns -1 with EEXIST for one
  // that is there, which must then be a folder (or a link to one).
  for (size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
    const std::string part = folder.substr(0, at);
    struct stat st;
    if (!part.empty() && mkdir(part.c_str(), 0777) != 0 &&
        (errno != EEXIST || stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
      *error = "cannot make the folder " + part + ": " +
               (errno == EEXIST ? "a file is in its place" : strerror(errno));
      return false;
    }
    if (at == std::string::npos) return true;
  }
}
