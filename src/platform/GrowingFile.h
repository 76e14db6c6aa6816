// A file kept open and grown at its end, each write made durable before the
// next (a watch's report): read where it is, written from an offset on (the
// file then ends where the write ends), synced to the disk. One file per
// platform: posix/GrowingFilePosix.cpp, win32/GrowingFileWin32.cpp.
#ifndef GROWINGFILE_H
#define GROWINGFILE_H

#include <string>

struct GrowingFile;

// PATH opened to read and write, made (empty) when missing. A link planted
// at PATH is refused, not followed, and so is anything but a plain file. NULL
// with the reason in *error.
GrowingFile *growingFile_open(const std::string &path, std::string *error);
void growingFile_close(GrowingFile *file);
// Its size now, in bytes.
long long growingFile_size(GrowingFile *file);
// Up to LENGTH bytes from OFFSET into *text (fewer at the file's end). FALSE
// with the reason in *error.
bool growingFile_read(GrowingFile *file, long long offset, size_t length, std::string *text,
                      std::string *error);
// TEXT written at OFFSET in one write; the file then ends after it (cut there
// when it was longer), and its data is on the disk before this returns.
// FALSE with the reason in *error: the file may then hold part of TEXT.
bool growingFile_writeAt(GrowingFile *file, long long offset, const std::string &text,
                         std::string *error);

// The file held by this process until it is closed: an exclusive lock that
// the system lets go when the process ends, however it ends (a kill, a power
// cut leaves no lock behind). FALSE with the reason in *error, and *busy set
// when another process holds it.
bool growingFile_hold(GrowingFile *file, bool *busy, std::string *error);
// Whether another process holds the file at PATH (growingFile_hold); FALSE
// when there is no such file. Nothing is written.
bool growingFile_held(const std::string &path);

#endif  // GROWINGFILE_H
