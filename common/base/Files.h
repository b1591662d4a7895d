#pragma once
// Reading and replacing whole files the same way in every part of the system:
// a reader never blocks on a FIFO or a device and never pulls more than its
// limit into memory; a writer never leaves a half-written or lost file.
#include <cstddef>
#include <string>
#include <string_view>

namespace korva {

// The system's text for an errno value (thread-safe).
std::string ErrnoText(int err);

enum class FileRead { kRead, kMissing, kFailed };

// Reads the whole file at path into *content. kMissing when nothing is there
// (no error text); kFailed with the reason in *error when the path names
// something other than a regular file (a FIFO, a device, a directory: refused
// without opening it for reading, so it cannot block), when the file holds
// more than maxBytes, or when the system refuses.
FileRead ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string* content,
                         std::string* error);

// Replaces the file at path by data, or leaves it exactly as it was. The data
// goes to a new file with a unique name in the target's folder, which takes
// the old file's mode (and owner where permitted), is synced and renamed over
// the target; then the folder is synced. A symbolic link is followed and the
// file it names is replaced (the link stays). Fails, with the reason in
// *error, when no file can be made beside the target (a read-only folder),
// when the target is not a regular file, or when writing fails (a full disk,
// or the file size limit: that fails with EFBIG instead of the signal ending
// the process): nothing is ever written in place.
bool ReplaceFile(const std::string& path, std::string_view data, std::string* error);

// The file a path names once symbolic links are followed (the path itself
// when it is none); the last link may point at a file that does not exist.
// Empty, with the reason, for a loop or an unreadable link.
std::string ResolveLinks(const std::string& path, std::string* error);

}  // namespace korva
