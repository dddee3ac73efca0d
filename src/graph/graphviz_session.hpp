// A graphviz context with exactly the plugins the pictures need, and the
// messages graphviz reports while it is used.
#pragma once

#include <gvc.h>

#include <memory>
#include <string>

namespace tarvex::morvane::graph {

// Owns a graphviz context whose plugins (the core renderers, the dot and
// neato layouts, cairo's PNG and text layout) are handed to it directly
// rather than found through graphviz's plugin configuration file, which
// only exists where a package's install script wrote it.  While a session
// lives, graphviz's warnings and errors are collected instead of printed,
// and are given by errors() to name what went wrong.  One session at a time
// (graphviz's message hook is process-wide).
class GraphvizSession {
 public:
  GraphvizSession();
  ~GraphvizSession();
  GraphvizSession(const GraphvizSession&) = delete;
  GraphvizSession& operator=(const GraphvizSession&) = delete;

  GVC_t* context() const { return context_.get(); }
  // graphviz's messages since the session began (or the last take), one a
  // line, and forgets them.
  std::string take_messages();

 private:
  struct FreeContext {
    void operator()(GVC_t* context) const { gvFreeContext(context); }
  };
  std::unique_ptr<GVC_t, FreeContext> context_;
  agusererrf previous_hook_;
};

}  // namespace tarvex::morvane::graph
