#include "tarvex/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "tarvex/exceptions.hpp"
#include "tarvex/process.hpp"
#include "tarvex/value.hpp"

namespace tarvex::files {

namespace {

[[noreturn]] void refuse(const std::string& what, const std::string& path, const std::string& why) {
  throw OSError(EPERM, "Refusing to use " + what + " " + py_repr(path) + ": " + why);
}

// Refuses a file or directory that another user could have planted or can
// change.
void check_private(const struct stat& info, const std::string& what, const std::string& path) {
  if (info.st_uid != ::geteuid()) {
    refuse(what, path,
           "it is owned by uid " + std::to_string(info.st_uid) + ", not by this user (" + std::to_string(::geteuid()) +
               ")");
  }
  if (info.st_mode & (S_IWGRP | S_IWOTH)) refuse(what, path, "others can write to it");
}

// The name a symlink at `path` finally points to (`path` itself when it is
// not a symlink).  A dangling link yields the missing target's name.
std::string resolve_symlinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::read_symlink(path, ec);
    if (ec) raise_os_error(ec.value(), path);
    path = target.is_absolute() ? target.string() : (std::filesystem::path(path).parent_path() / target).string();
  }
  raise_os_error(ELOOP, path);
}

void write_all(int fd, std::string_view text, const std::string& path) {
  if (!process::write_fully(fd, text)) raise_os_error(errno, path);
}

// open-truncate-write, for names a rename must not replace.
void write_in_place(const std::string& path, std::string_view text) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) raise_os_error(errno, path);
  write_all(fd.get(), text, path);
}

// A new file of a name no one else uses, next to `target`; empty when the
// directory does not let this user create one.
std::string create_temporary_beside(const std::string& target, UniqueFd& fd) {
  static std::atomic<unsigned> counter{0};
  std::filesystem::path directory = std::filesystem::path(target).parent_path();
  if (directory.empty()) directory = ".";
  for (;;) {
    const std::string temporary =
        (directory / ("." + std::filesystem::path(target).filename().string() + ".tmp-" + std::to_string(::getpid()) +
                      "-" + std::to_string(counter.fetch_add(1))))
            .string();
    fd.reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd) return temporary;
    if (errno == EACCES || errno == EPERM || errno == EROFS) return {};
    // A leftover of an earlier process with the same id: try the next name.
    if (errno != EEXIST) raise_os_error(errno, target);
  }
}

}  // namespace

void ensure_private_directory(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) raise_os_error(errno, path);
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) {
      std::error_code ec;
      std::filesystem::create_directories(parent, ec);
      if (ec) raise_os_error(ec.value(), parent.string());
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) raise_os_error(errno, path);
    if (::lstat(path.c_str(), &info) != 0) raise_os_error(errno, path);
  }
  if (S_ISLNK(info.st_mode)) refuse("directory", path, "it is a symbolic link");
  if (!S_ISDIR(info.st_mode)) refuse("directory", path, "it is not a directory");
  check_private(info, "directory", path);
}

std::string private_runtime_directory(std::string_view what) {
  if (::geteuid() == 0) return "/run/" + std::string(what);
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
    return std::string(runtime) + "/" + std::string(what);
  }
  std::string flat(what);
  for (char& c : flat) {
    if (c == '/') c = '-';
  }
  return "/tmp/" + flat + "-" + std::to_string(::geteuid());
}

UniqueFd open_private_for_append(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) raise_os_error(errno, path);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) raise_os_error(errno, path);
  if (!S_ISREG(info.st_mode)) refuse("file", path, "it is not a regular file");
  if (info.st_nlink != 1) refuse("file", path, "it has other hard links");
  check_private(info, "file", path);
  return fd;
}

void write_file(const std::string& path, std::string_view text) {
  write_file_in_pieces(path, [text](const std::function<void(std::string_view)>& write) { write(text); });
}

void write_file_in_pieces(const std::string& path, const PieceProducer& produce) {
  // Written in place, the file would be cut short by a failure while
  // producing: the whole content is made first there.
  const auto in_place = [&produce](const std::string& name) {
    std::string text;
    produce([&text](std::string_view piece) { text += piece; });
    write_in_place(name, text);
  };
  struct stat existing {};
  const bool exists = ::stat(path.c_str(), &existing) == 0;
  if (exists && (!S_ISREG(existing.st_mode) || existing.st_nlink > 1)) return in_place(path);
  // The temporary file goes beside the file the name finally stands for.
  // Where the links cannot be followed by name (the links of /proc), the
  // file is written in place.
  const std::string target = resolve_symlinks(path);
  struct stat resolved {};
  if (exists && (::stat(target.c_str(), &resolved) != 0 || resolved.st_dev != existing.st_dev ||
                 resolved.st_ino != existing.st_ino)) {
    return in_place(path);
  }

  UniqueFd fd;
  const std::string temporary = create_temporary_beside(target, fd);
  if (temporary.empty()) return in_place(target);
  try {
    if (exists) {
      if (::fchmod(fd.get(), existing.st_mode & 07777) != 0) raise_os_error(errno, target);
      if ((existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) &&
          ::fchown(fd.get(), existing.st_uid, existing.st_gid) != 0) {
        // Only root can give a file away: a file of another owner is then
        // written in place, which keeps its owner.
        ::unlink(temporary.c_str());
        return in_place(target);
      }
    }
    produce([&](std::string_view piece) { write_all(fd.get(), piece, target); });
    if (::fsync(fd.get()) != 0) raise_os_error(errno, target);
    const int closed = ::close(fd.release());
    if (closed != 0) raise_os_error(errno, target);
    if (::rename(temporary.c_str(), target.c_str()) != 0) raise_os_error(errno, target);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

}  // namespace tarvex::files
