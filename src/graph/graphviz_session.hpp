// A graphviz context with exactly the plugins the pictures need, and the
// messages graphviz reports while it is used.
#pragma once

#include <gvc.h>

#include <string>

namespace tarvex::morvane::graph {

// Use of the process's graphviz context, whose plugins (the core renderers,
// the dot and neato layouts, cairo's PNG and text layout) are handed to it
// directly rather than found through graphviz's plugin configuration file,
// which only exists where a package's install script wrote it.  The context
// is made on first use and kept for the process's life: graphviz's text
// layout plugin remembers a font name that belongs to the context it last
// measured with, and reads it again with the next context (freed memory, if
// the first one was freed).  While a session lives, graphviz's warnings and
// errors are collected instead of printed, for take_messages() to name what
// went wrong.  One session at a time (graphviz's message hook is
// process-wide).
class GraphvizSession {
 public:
  GraphvizSession();
  ~GraphvizSession();
  GraphvizSession(const GraphvizSession&) = delete;
  GraphvizSession& operator=(const GraphvizSession&) = delete;

  GVC_t* context() const { return context_; }
  // graphviz's messages since the session began (or the last take), one a
  // line, and forgets them.
  std::string take_messages();

 private:
  GVC_t* context_ = nullptr;
  agusererrf previous_hook_;
};

}  // namespace tarvex::morvane::graph
