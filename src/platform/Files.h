// Files and folders as the fleet and the tool make them: a new file of our
// own beside another, a file replaced whole at once, a folder, a name's
// check that does not follow links. Windows calls on Windows, POSIX ones
// elsewhere. Where a call fails, errno tells why.
#ifndef FILES_H
#define FILES_H

#include <stdio.h>

#include <string>

// The platform's line end in text files ("\r\n" on Windows, "\n"
// elsewhere) and its folder separator.
#ifdef _WIN32
#define FILES_LINE_END "\r\n"
#define FILES_SEPARATOR '\\'
#else
#define FILES_LINE_END "\n"
#define FILES_SEPARATOR '/'
#endif

// A new, empty file of our own in PATH's folder, named after it
// (".trace.txt.XXXXXX"), readable by others: its name in *tempPath. FALSE
// with the reason in *error.
bool files_newBeside(const std::string &path, std::string *tempPath, std::string *error);
// Whether PATH's folder takes a new file beside it: one made and removed at
// once, PATH itself untouched. FALSE with the reason in *error.
inline bool files_canMakeBeside(const std::string &path, std::string *error) {
  std::string temp;
  if (!files_newBeside(path, &temp, error)) return false;
  remove(temp.c_str());
  return true;
}
// TEXT written whole beside PATH, flushed to the disk, then renamed over it:
// PATH holds the earlier file or the new one, never a part. A link at PATH is
// replaced, not followed. On Windows, a reader holding PATH open without
// delete sharing is waited for up to a quarter of a second. FALSE with the
// reason in *error.
bool files_replace(const std::string &path, const std::string &text, std::string *error);
// TEMPPATH, a file written whole (files_newBeside), flushed to the disk and
// renamed over PATH, as files_replace does; removed when that fails.
bool files_replaceWith(const std::string &path, const std::string &tempPath, std::string *error);
// Makes the folder; an existing one (or a link to one) will do unless
// mustBeNew. FALSE with errno set (EEXIST: the name is taken).
bool files_makeFolder(const std::string &path, bool mustBeNew);
// Something is at PATH: a file, a folder, or a link (a dangling one too).
bool files_nameTaken(const std::string &path);
// Makes PATH a new empty file: FALSE (errno set) when anything, a link
// included, is there.
bool files_makeNew(const std::string &path);
// PATH opened for reading in binary, only when it is a plain file (not a link
// to one unless followLink, not a fifo that would hold the reader up); NULL
// otherwise. When something else is there, *notPlain (if given) says what,
// "a folder", "a fifo", "a device", ..., and is "" when the open itself
// failed (errno tells why).
FILE *files_openPlain(const std::string &path, bool followLink = false,
                      std::string *notPlain = NULL);
// The system's folder for temporary files, ending in its separator.
std::string files_tempFolder(void);
// The file system STREAM writes to has no room left for this process's
// user; FALSE where that cannot be told (Windows).
bool files_onFullDisk(FILE *stream);

#endif  // FILES_H
