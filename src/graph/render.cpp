// Drawing a topology picture with graphviz in-process, to text or bytes
// in memory and to a file.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "graph/graphviz_session.hpp"
#include "graph/picture_layout.hpp"
#include "graph/topology_drawing.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/files.hpp"
#include "tarvex/morvane/graph.hpp"

namespace tarvex::morvane::graph {

namespace {

constexpr const char* kFormats = "svg, png, dot";

bool known_format(const std::string& format) { return format == "svg" || format == "png" || format == "dot"; }

// What graphviz said, for an error message.
std::string because(const std::string& messages) { return messages.empty() ? "" : ": " + messages; }

// Frees what gvRenderData() returns.
struct FreeRenderData {
  void operator()(char* data) const { gvFreeRenderData(data); }
};

// Frees a memory stream's buffer.
struct FreeBuffer {
  void operator()(char* data) const { std::free(data); }
};

// A graph laid out for as long as it lives: lay_out() with graphviz's
// words in its error, the layout's memory freed at the end.
class LaidOut {
 public:
  LaidOut(GraphvizSession& session, Agraph_t* graph) : context_(session.context()), graph_(graph) {
    try {
      lay_out(context_, graph_);
    } catch (const RuntimeError& error) {
      gvFreeLayout(context_, graph_);
      throw RuntimeError(error.message() + because(session.take_messages()));
    }
  }
  ~LaidOut() { gvFreeLayout(context_, graph_); }
  LaidOut(const LaidOut&) = delete;
  LaidOut& operator=(const LaidOut&) = delete;

 private:
  GVC_t* context_;
  Agraph_t* graph_;
};

}  // namespace

std::string dot_text(const Graph& graph) {
  // The session's context also sets cgraph's defaults for new graphs.
  GraphvizSession session;
  const GraphHandle drawn = draw_topology(graph);
  // Laid out once, so that the text holds where every node goes (the
  // layout pins them).
  { const LaidOut pinned(session, drawn.get()); }
  char* data = nullptr;
  std::size_t size = 0;
  FILE* stream = ::open_memstream(&data, &size);
  if (!stream) throw OSError(errno, "cannot open a memory stream for the topology's dot text");
  const int written = agwrite(drawn.get(), stream);
  // Closing sets the buffer and its size for the last time.
  const int closed = std::fclose(stream);
  const std::unique_ptr<char, FreeBuffer> text(data);
  if (written != 0 || closed != 0) {
    throw RuntimeError("graphviz cannot write the topology's dot text" + because(session.take_messages()));
  }
  return std::string(text.get(), size);
}

std::string render_to_string(const Graph& graph, const std::string& format) {
  if (!known_format(format)) {
    throw ValueError("format " + py_repr(format) + " is not one a topology is drawn in (" + kFormats + ")");
  }
  if (format == "dot") return dot_text(graph);
  GraphvizSession session;
  const GraphHandle drawn = draw_topology(graph);
  // A PNG a little larger than graphviz's 72 dots per inch, to be read on
  // screen (set before the layout, which reads it); vector formats have no
  // resolution.
  if (format == "png")
    agsafeset(drawn.get(), const_cast<char*>("dpi"), const_cast<char*>("110"), const_cast<char*>(""));
  const LaidOut laid_out(session, drawn.get());
  char* data = nullptr;
  unsigned int length = 0;
  const int rendered = gvRenderData(session.context(), drawn.get(), format.c_str(), &data, &length);
  const std::unique_ptr<char, FreeRenderData> owned(data);
  if (rendered != 0 || !data) {
    throw RuntimeError("graphviz cannot draw the topology as " + format + because(session.take_messages()));
  }
  return std::string(data, length);
}

void render(const Graph& graph, const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!known_format(extension)) {
    throw ValueError("cannot draw the topology to " + py_repr(path) + ": its extension is not one of .svg, .png, .dot");
  }
  files::write_file(path, render_to_string(graph, extension));
}

}  // namespace tarvex::morvane::graph
