// The units' log and trace files: their names (numbered, per port, with the
// platform's separators) and a console transcript made into text a person reads.
#ifndef FLEETLOGS_H
#define FLEETLOGS_H

#include <string>

// A console transcript as text a person reads: backspaced progress as the
// value it ended at, every line end as LINEEND, nothing else changed.
std::string fleet_readableText(const std::string &raw, const char *lineEnd);
// PATH with the platform's folder separator: "logs\\update-COM3.log" on Windows.
std::string fleet_nativePath(const std::string &path);
// PATH with "-N" before its extension for N > 1: "logs/update-COM3-2.log".
std::string fleet_numberedName(const std::string &path, int number);
// PATH with the port before its extension: "trace.txt" -> "trace-COM3.txt",
// "trace-rfc2217-127.0.0.1-3001.txt"; a network port's name cut to 96
// characters, with a hash of the whole, when its host name is long.
std::string fleet_portFileName(const std::string &path, int port);

#endif  // FLEETLOGS_H
