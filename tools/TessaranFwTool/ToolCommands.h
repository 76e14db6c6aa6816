// Subcommands of TessaranFwTool. Each takes the arguments after its own name
// and returns the process exit status.
#ifndef TOOLCOMMANDS_H
#define TOOLCOMMANDS_H

int runImageCommand(int argc, char **argv);      // image --entry N -o FILE | image HEXFILE -o FILE
int runExportWebCommand(int argc, char **argv);  // export-web
int runVerifyWebCommand(int argc, char **argv);  // verify-web [FILE]
int runBenchCommand(int argc, char **argv);      // bench send-512kb PORT BAUD | send-512kb-2 | dump


#endif  // TOOLCOMMANDS_H
