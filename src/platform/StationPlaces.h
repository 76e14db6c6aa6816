// Where and by whom the tool runs: the host's and the user's names, and the
// user's folder for a program's state. One file per platform
// (posix/StationPlacesPosix.cpp, win32/StationPlacesWin32.cpp).
#ifndef STATIONPLACES_H
#define STATIONPLACES_H

#include <string>

// The host's name; "" when the system does not tell it.
std::string stationPlaces_hostName(void);
// The name of the user the process runs as; "" when not known.
std::string stationPlaces_userName(void);
// PROGRAM's folder in the user's state folder: POSIX
// $XDG_STATE_HOME/program (an absolute $XDG_STATE_HOME only), else
// $HOME/.local/state/program, the name in lower case ("tessaranfwupgrade");
// Windows %LOCALAPPDATA%\Program as written. "" when no such folder is known.
std::string stationPlaces_stateFolder(const char *program);
// Makes FOLDER and the folders above it that are missing. FALSE with the
// reason in *error.
bool stationPlaces_makeFolders(const std::string &folder, std::string *error);

#endif  // STATIONPLACES_H
