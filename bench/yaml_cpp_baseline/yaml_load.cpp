// The loader as it was before it moved to libyaml, kept for the benchmark
// only: files are read whole, yaml-cpp parses the text and a
// DocumentBuilder turns its events into a Value.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/parser.h>

#include <cerrno>
#include <istream>
#include <streambuf>

#include "tarvex/utils/yaml.hpp"
#include "yaml_baseline.hpp"
#include "yaml_document_builder.hpp"
#include "yaml_source_error.hpp"

namespace tarvex::utils::yaml::baseline {

namespace {

// Presents the bytes of a string_view as an input stream without copying
// them.
class MemoryBuffer : public std::streambuf {
 public:
  explicit MemoryBuffer(std::string_view text) {
    char* begin = const_cast<char*>(text.data());
    setg(begin, begin, begin + text.size());
  }
};

// Reports a second document in the stream, which a single-document load
// refuses.
class SecondDocumentCheck : public YAML::EventHandler {
 public:
  explicit SecondDocumentCheck(std::string_view source) : source_(source) {}
  void OnDocumentStart(const YAML::Mark& mark) override {
    throw error_at(source_, mark, "expected a single document in the stream, but found another document");
  }
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
  void OnAlias(const YAML::Mark&, YAML::anchor_t) override {}
  void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t, const std::string&) override {}
  void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {}
  void OnSequenceEnd() override {}
  void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {}
  void OnMapEnd() override {}

 private:
  std::string_view source_;
};

std::string read_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) raise_os_error(errno, path);
  std::string text;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) text.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  while (true) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      raise_os_error(error, path);
    }
    text.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);
  return text;
}

}  // namespace

Value load_string(std::string_view text, std::string_view source) {
  MemoryBuffer buffer(text);
  std::istream input(&buffer);
  YAML::Parser parser(input);
  DocumentBuilder builder(text, source);
  try {
    if (!parser.HandleNextDocument(builder)) return Value();
    SecondDocumentCheck check(source);
    parser.HandleNextDocument(check);
  } catch (const YAML::Exception& error) {
    // Our error says all the parser's did; the parser's is not shown again.
    YAMLError translated = error_at(source, error.mark, error.msg);
    translated.set_context(nullptr);
    throw translated;
  }
  return builder.take_result();
}

Value load_file(const std::string& path) { return load_string(read_file(path), path); }

}  // namespace tarvex::utils::yaml::baseline
