// Owning a stdio stream and reading it line by line.
//
// FileHandle closes its stream when it goes out of scope, on every path. readLine reads one
// whole line whatever its length and whatever bytes it holds, so no caller parses the tail of a
// long line as a line of its own. Any thread; a stream is used by one thread at a time.
#ifndef QUILLMARK_FILEHANDLE_H
#define QUILLMARK_FILEHANDLE_H

#include <cstdio>
#include <memory>
#include <string>

namespace quillmark {

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file != nullptr) std::fclose(file);
    }
};
typedef std::unique_ptr<std::FILE, FileCloser> FileHandle;

// The next line of `file` into `line`, without its line feed. False at the end of the file, or
// on a read error (ferror tells which), when nothing was read.
bool readLine(std::FILE* file, std::string& line);

}  // namespace quillmark

#endif  // QUILLMARK_FILEHANDLE_H
