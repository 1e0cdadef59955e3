// The zip module: unpacks an upgrade package (a zip archive) over the minizip unzip interface.
//
// The manager calls only extractArchiveToDirectory, which writes every file of the archive
// under its base name into one directory (directory entries skipped, existing files replaced).
// The other functions are the per-archive and per-entry steps with their options, and helpers
// the manager's flow does not use (a listing, the extraction of one named entry, directories).
//
// The module reports progress and errors as lines on standard output, not through the logger;
// in the daemon standard output is the log file.
//
// Result codes are minizip's: UNZ_OK (0), UNZ_ERRNO (-1) for a file that could not be written
// or created, UNZ_INTERNALERROR (-104) for a failed allocation, UNZ_BADZIPFILE (-103) for an
// entry this module refuses (see extractCurrentEntry), or the negative code a minizip call gave.
//
// Threads: the module has no state of its own, but extractArchiveToDirectory changes the
// working directory of the whole process and the relative paths of every thread with it; the
// manager calls it on the Listener's thread only, one request at a time.
#ifndef QUILLMARK_MANAGER_UNZIPARCHIVE_H
#define QUILLMARK_MANAGER_UNZIPARCHIVE_H

#include <unzip.h>

namespace quillmark {

// The outcomes of extractArchiveToDirectory.
enum ExtractionResult {
    kExtractionDone = 0,
    kArchiveNotOpened = 1,
    kTargetDirectoryNotEntered = 2,
    // The archive was opened and the directory entered, but an entry was not extracted whole;
    // the entries before it are complete, the ones after it are not extracted.
    kEntryNotExtracted = 3,
};

// Opens the archive at `archivePath`, changes the process's working directory to
// `targetDirectory` and extracts every entry there without paths and with overwrite. An entry
// whose base name is the archive's own file name is skipped with a line on standard output (it
// would overwrite the archive while it is read); the others are extracted. Returns an
// ExtractionResult: 1 for a null path or a file that is missing or not a zip archive, 2 when the
// directory cannot be entered (nothing is extracted and the working directory is unchanged),
// 3 when extractAllEntries did not finish (the failed entry leaves no file, see
// extractCurrentEntry). The working directory is not changed back.
int extractArchiveToDirectory(const char* archivePath, const char* targetDirectory);

// Extracts the entries of `archive` in archive order, from the first, into the working
// directory. `withoutPath` 1 writes each file under its base
// name, 0 keeps the entry's directories; `overwrite` 1 replaces existing files, 0 asks on
// standard input (see extractCurrentEntry); `password` is for encrypted entries, or null.
// Returns 0 when every entry was extracted or deliberately skipped; otherwise the code of the
// entry or minizip call that stopped the loop (an entry's failure stops it).
int extractAllEntries(unzFile archive, int withoutPath, int overwrite, const char* password);

// Extracts the current entry of `archive`. The options are passed by address so that an "All"
// answer to the overwrite question sets *overwrite to 1 for the entries that follow. Returns 0
// when the entry was written whole (or is a directory entry, or the answer was No), otherwise a
// code: the minizip code of a failed open, read or close (a CRC-32 mismatch shows at the close),
// UNZ_ERRNO when the file cannot be created or written, UNZ_INTERNALERROR when the copy buffer
// cannot be allocated, UNZ_BADZIPFILE for a refused entry. Refused are: a name of 256 bytes or
// more (it does not fit the name buffer; it is not cut, which could write a different file), a
// base name "." or "..", and, with `withoutPath` 0, an absolute name or one with a ".." part.
// With `*overwrite` 0 and an existing file the question reads standard input; when standard
// input ends the process exits with status 1. With `*overwrite` 1 standard input is never read.
// When the entry fails after its file was created or truncated (a full disk, damaged data, a
// CRC-32 mismatch), that file is removed, so no file stands under the entry's name then: an
// existing file it was to replace is gone too. A file that could not be opened is left alone.
int extractCurrentEntry(unzFile archive, const int* withoutPath, int* overwrite,
                        const char* password);

// Finds the entry named `entryName` (case-sensitive) and extracts it as extractCurrentEntry
// does. Returns 0 when it was extracted, 1 when the extraction failed, 2 when there is no such
// entry.
int extractNamedEntry(unzFile archive, const char* entryName, int withoutPath, int overwrite,
                      const char* password);

// Prints a table of the entries (size, method, compressed size, ratio, date, time, CRC-32, name)
// on standard output. Names longer than 255 bytes are printed cut. Always returns 0.
int listArchiveEntries(unzFile archive);

// Sets the access and modification times of `path` to the entry date `date` read as local time.
// Failures are not reported.
void setFileTimeFromEntry(const char* path, tm_unz date);

// mkdir(path, 0775): 0, or -1 with errno set.
int makeDirectory(const char* path);

// Creates `path` and its missing parents (a "/" or "\\" separates them). Returns 0 for an empty
// path and when a directory cannot be made because its parent is missing, else 1.
int makeDirectoryPath(const char* path);

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_UNZIPARCHIVE_H
