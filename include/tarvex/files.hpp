// Files and directories the system creates for itself, made safe to create
// as root in directories other users can write to, and the writing of a
// file that readers may be watching.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "tarvex/fd.hpp"

namespace tarvex::files {

// Makes sure `path` is a directory private to this user: created with mode
// 0700 (its missing parents with 0755) when absent; an existing one must be
// a real directory (not a symlink), owned by this user and not writable by
// anyone else.  OSError naming the directory and the problem otherwise.
void ensure_private_directory(const std::string& path);

// A private directory of this user for `what` (e.g. "morvane/logs"): under
// /run for root, under $XDG_RUNTIME_DIR otherwise, else under
// /tmp/<what>-<uid>.  Not created.
std::string private_runtime_directory(std::string_view what);

// Opens `path` for appending, creating it with mode 0600, without following
// a symlink; an existing file must be a regular file with one link, owned
// by this user.  OSError otherwise.
UniqueFd open_private_for_append(const std::string& path);

// Writes `text` to `path` so that a reader sees either the previous content
// or the whole new content, never a part: through a temporary file in the
// same directory that is renamed onto the name.  A symlink is written
// through to its target; an existing file keeps its mode and owner.  Where a
// rename cannot work or would change what the name is (a FIFO, a device, a
// file with other hard links, a directory this user cannot write to), the
// file is written in place, as open-truncate-write would.  OSError naming
// the file on failure; a failed write leaves no temporary file behind.
void write_file(const std::string& path, std::string_view text);

// Content made in pieces, so that a large document need not be held whole:
// `produce` hands each piece to the writer it is given.
using PieceProducer = std::function<void(const std::function<void(std::string_view piece)>& write)>;
// write_file() for such content, with the same guarantees: an error raised
// while producing leaves the file as it was and no temporary file behind.
// Where the file is written in place, the pieces are gathered first.
void write_file_in_pieces(const std::string& path, const PieceProducer& produce);

}  // namespace tarvex::files
