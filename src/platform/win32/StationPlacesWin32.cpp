// GetComputerNameA and GetUserNameA return nonzero upon success.
#include <direct.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "platform/StationPlaces.h"

std::string stationPlaces_hostName(void) {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? std::string(name, size) : "";
}

std::string stationPlaces_userName(void) {
  char name[257] = "";
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? name : "";
}

std::string stationPlaces_stateFolder(const char *program) {
  const char *local = getenv("LOCALAPPDATA");
  if (local == NULL || local[0] == '\0') return "";
  return std::string(local) + "\\" + program;
}

bool stationPlaces_makeFolders(const std::string &folder, std::string *error) {
  // Each folder from the top down, what is there already left as it is
  // (_mkdir returns -1 then, as for a drive or a share's name, which it
  // cannot make); the last one must then be a folder.
  int why = 0;
  for (size_t at = folder.find_first_of("/\\", 1);; at = folder.find_first_of("/\\", at + 1)) {
    const std::string part = folder.substr(0, at);
    if (!part.empty() && part.back() != ':' && _mkdir(part.c_str()) != 0) why = errno;
    if (at == std::string::npos) break;
  }
  struct _stat st;
  if (_stat(folder.c_str(), &st) == 0 && (st.st_mode & _S_IFDIR)) return true;
  *error = "cannot make the folder " + folder + ": " +
           (why == EEXIST || why == 0 ? "a file is in its place" : strerror(why));
  return false;
}
