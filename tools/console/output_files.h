// The files a program writes that the user named on its command line (a
// capture, a settings backup, a log): before one is created, the program
// makes sure it is not a file the run reads, and that it does not replace a
// file the user did not ask to replace.
//
// Files are told apart by what the file system says they are, not by their
// names: two names of one file (a relative and a full path, another case on
// Windows, a link) are one file. Where the file system cannot say, the names
// are compared.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/os_api.h"

namespace kv27::console {

// Whether `path` names an existing file (or anything else the system opens:
// a device such as /dev/full).
bool FileExists(w32::OsApi& os, const std::u16string& path);

// Whether `a` and `b` name one existing file.
bool SameFile(w32::OsApi& os, const std::u16string& a, const std::u16string& b);

// One file the run reads: what it is to the user ("the image") and its path
// (empty: none).
struct RunInput {
  std::u16string what;
  std::u16string path;
};

// Why `output` must not be written, or empty when it may be: it is one of
// `inputs` (always refused), or it exists and `replace` is false. `option`
// names the option that allows replacing it, for the message.
std::u16string OutputFileProblem(w32::OsApi& os, const std::u16string& output, bool replace,
                                 const std::vector<RunInput>& inputs, const std::u16string& option);

}  // namespace kv27::console
