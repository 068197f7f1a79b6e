#pragma once
// Names and directories from the volume turned into paths under the destination, so that
// nothing a volume holds can lead a recovered file out of the directory the user chose.

#include <optional>
#include <string>

namespace relicta::recover {

// One path component from the volume: "/" (and NUL, should one remain) become "_"; "." and
// ".." get a "_" in front.
std::string SafeFileName(std::string name);

// Whether a component can name a new file or directory: not empty, ".", or "..".
bool IsUsableFileName(const std::string& name);

// A listed directory ("C:\a\?b\") as a relative path ("a/~b/"): the drive dropped, every
// part made safe and a lost first letter written as "~". nullopt when a part cannot be a
// name of its own.
std::optional<std::string> RelativePathOfListedDir(const std::string& dir);

// `dir` with one "/" at its end; an empty directory is the working directory.
std::string WithTrailingSlash(std::string dir);

}  // namespace relicta::recover
