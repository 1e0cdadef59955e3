// Replacing a whole file so that its path always names either the complete old file or the
// complete new one, for the configuration store's writers (the ".conf" writer, the conversion into
// XML). Internal to common/; the manager has its own variant that also keeps the owner.
//
// Any thread may call it; two concurrent replacements of one path leave one of the two files.
#ifndef QUILLMARK_COMMON_REPLACEFILE_H
#define QUILLMARK_COMMON_REPLACEFILE_H

#include <string>

namespace quillmark {

// Writes `contents` to a temporary file in the directory of `path` ("." + name + ".tmp" + a
// unique suffix, created exclusively and close-on-exec), syncs it and renames it over `path`.
// When `path` is a symbolic link the file it ends in is replaced and the link stays; an existing
// file's mode is kept, a new file gets 0666 minus the umask. An existing `path` that is not a
// regular file is refused. True when the new file is in place; otherwise the temporary file is
// removed, `path` is untouched and `error` says what failed.
bool replaceFile(const std::string& path, const std::string& contents, std::string& error);

}  // namespace quillmark

#endif  // QUILLMARK_COMMON_REPLACEFILE_H
