// Files and folders as zymran-check and the table generator see them: one
// folder lister, one whole-file reader and one way to take a path apart.
#ifndef ZYMRAN_CHECK_FILES_H
#define ZYMRAN_CHECK_FILES_H

#include <string>
#include <vector>

namespace check {

// The names in `folder` (the current folder when empty), "." and ".."
// left out, sorted by their bytes. False, with the system's reason in
// `*reason`, when the folder can't be listed.
bool listFolder(const std::string& folder, std::vector<std::string>* names, std::string* reason);

// The whole file at `path`. False, with the system's reason in `*reason`,
// when it can't be opened or read, or is not a regular file.
bool readWholeFile(const std::string& path, std::string* text, std::string* reason);

// Whether `path` names a regular file (following symbolic links).
bool isRegular(const std::string& path);

// The last component of `path`, and what comes before it: "" for a name
// alone, "/" for a name in the root.
std::string fileName(const std::string& path);
std::string folderOf(const std::string& path);

// `name` in `folder`: the name alone when the folder is empty.
std::string inFolder(const std::string& folder, const std::string& name);

}  // namespace check

#endif
