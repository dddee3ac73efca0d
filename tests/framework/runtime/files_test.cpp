#include "tarvex/files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/temp_dir.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/process.hpp"

namespace tarvex::testing {
namespace {

namespace fs = std::filesystem;

std::string read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct stat info(const std::string& path) {
  struct stat result {};
  EXPECT_EQ(::lstat(path.c_str(), &result), 0) << path;
  return result;
}

// The name a user points us at is written the way a user expects of an
// editor's "save": readers see old or new content, and what the name is
// (a link, a file with its mode, owner and links, a FIFO) stays what it was.
TEST(WriteFile, KeepsWhatTheNameIsAndWhatTheFileWas) {
  TempDir dir;
  // A new file: created whole.
  files::write_file(dir.file("new.yaml"), "a: 1\n");
  EXPECT_EQ(read(dir.file("new.yaml")), "a: 1\n");

  // A symlink: the target is written, the link stays a link.
  files::write_file(dir.file("target.yaml"), "old\n");
  fs::create_symlink("target.yaml", dir.path() / "link.yaml");
  files::write_file(dir.file("link.yaml"), "through\n");
  EXPECT_TRUE(S_ISLNK(info(dir.file("link.yaml")).st_mode));
  EXPECT_EQ(read(dir.file("target.yaml")), "through\n");

  // A dangling symlink: the file it names is created.
  fs::create_symlink("later.yaml", dir.path() / "dangling.yaml");
  files::write_file(dir.file("dangling.yaml"), "later\n");
  EXPECT_EQ(read(dir.file("later.yaml")), "later\n");

  // A file holding passwords keeps its mode.
  ::chmod(dir.file("target.yaml").c_str(), 0600);
  files::write_file(dir.file("target.yaml"), "secret\n");
  EXPECT_EQ(info(dir.file("target.yaml")).st_mode & 07777, 0600u);

  // A hard link stays linked: written in place.
  fs::create_hard_link(dir.path() / "target.yaml", dir.path() / "hard.yaml");
  files::write_file(dir.file("hard.yaml"), "both\n");
  EXPECT_EQ(read(dir.file("target.yaml")), "both\n");

  // A FIFO is written to, not replaced.
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  auto reader = process::ChildProcess::fork([&] {
    std::ifstream in(dir.file("fifo"));
    std::string line;
    std::getline(in, line);
    return line == "piped" ? 0 : 1;
  });
  files::write_file(dir.file("fifo"), "piped\n");
  EXPECT_EQ(reader.wait(10.0), 0);
  EXPECT_TRUE(S_ISFIFO(info(dir.file("fifo")).st_mode));

  // No temporary file is left anywhere.
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  }
}

// Content made in pieces: written whole, and a failure while it is made
// leaves the file as it was, whether it is replaced or written in place.
TEST(WriteFile, InPiecesAllOrNothing) {
  TempDir dir;
  const auto pieces = [](bool fail) {
    return [fail](const std::function<void(std::string_view)>& write) {
      write("a: 1\n");
      if (fail) throw ValueError("cannot be written");
      write("b: 2\n");
    };
  };
  files::write_file_in_pieces(dir.file("new.yaml"), pieces(false));
  EXPECT_EQ(read(dir.file("new.yaml")), "a: 1\nb: 2\n");
  fs::create_hard_link(dir.path() / "new.yaml", dir.path() / "hard.yaml");
  for (const char* name : {"new.yaml", "hard.yaml"}) {
    EXPECT_THROW(files::write_file_in_pieces(dir.file(name), pieces(true)), ValueError) << name;
    EXPECT_EQ(read(dir.file(name)), "a: 1\nb: 2\n") << name;
  }
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  }
}

TEST(WriteFile, AFileOfAnotherOwnerKeepsItsOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  TempDir dir;
  files::write_file(dir.file("theirs.yaml"), "old\n");
  ASSERT_EQ(::chown(dir.file("theirs.yaml").c_str(), 4242, 4242), 0);
  files::write_file(dir.file("theirs.yaml"), "new\n");
  EXPECT_EQ(info(dir.file("theirs.yaml")).st_uid, 4242u);
  EXPECT_EQ(read(dir.file("theirs.yaml")), "new\n");
}

// What the system creates for itself in shared places is refused when
// someone else could have planted it or can change it.
TEST(PrivateFiles, RefusePlantedOrSharedOnes) {
  TempDir dir;
  const std::string created = dir.file("a/b/private");
  files::ensure_private_directory(created);
  EXPECT_EQ(info(created).st_mode & 0777, 0700u);
  files::ensure_private_directory(created);  // again: fine

  ASSERT_EQ(::mkdir(dir.file("shared").c_str(), 0777), 0);
  ::chmod(dir.file("shared").c_str(), 0777);
  EXPECT_THROW(files::ensure_private_directory(dir.file("shared")), OSError);
  fs::create_symlink(created, dir.path() / "linked");
  EXPECT_THROW(files::ensure_private_directory(dir.file("linked")), OSError);

  // Log files: never through a link, never one with other links.
  const std::string victim = dir.file("victim");
  std::ofstream(victim) << "keep\n";
  fs::create_symlink(victim, dir.path() / "planted.log");
  EXPECT_THROW(files::open_private_for_append(dir.file("planted.log")), OSError);
  fs::create_hard_link(victim, dir.path() / "hard.log");
  EXPECT_THROW(files::open_private_for_append(dir.file("hard.log")), OSError);
  EXPECT_EQ(read(victim), "keep\n");
  EXPECT_TRUE(files::open_private_for_append(dir.file("fresh.log")));
  EXPECT_EQ(info(dir.file("fresh.log")).st_mode & 0777, 0600u);

  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(created.c_str(), 4242, 4242), 0);
    EXPECT_THROW(files::ensure_private_directory(created), OSError);
  }
}

}  // namespace
}  // namespace tarvex::testing
