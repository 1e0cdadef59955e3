// The daemon's command line: its constants, the long-option table and the option loop over the
// system's option scanner, and the three texts it prints on standard output.
//
// Threads: parseArgs uses the option scanner's unlocked process-wide state and may only run on
// the process's single thread at start-up; the printers may be called from any thread.
#ifndef QUILLMARK_MANAGER_COMMANDLINE_H
#define QUILLMARK_MANAGER_COMMANDLINE_H

#include "quillmark/OptionScanner.h"

#include <string>

namespace quillmark {

constexpr char kVersionText[] = "3.0.0";
constexpr char kBuildTag[] = "100";
constexpr char kDefaultConfigurationFile[] = "../conf/quillmark_agentd.xml";
// "-V" requires a value while "--version" takes none; the value is read and ignored.
constexpr char kShortOptions[] = "c:hV:";

// "config" (required argument, 'c'), "help" ('h'), "version" ('V'), then the all-zero end row.
extern const LongOption kLongOptions[];

// Scans argv left to right. `configurationPath` holds the default on entry; each -c/--config
// replaces it (a later one wins). -h/--help prints the help text and --version or -V with a value
// prints the version text, and either then ends the process with exit(-1) (status 255) before
// later options are looked at. An unknown option or a missing value prints the usage text and the
// scan goes on. Restarts the scanner, so it may be called more than once; may reorder argv.
void parseArgs(int argc, char** argv, std::string& configurationPath);

// Each writes its text and a line end to standard output and flushes it.
void printVersion();
void printHelp();
void printUsage();

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_COMMANDLINE_H
