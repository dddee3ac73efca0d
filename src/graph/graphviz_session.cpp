// graphviz's plugins loaded from where libgvc itself lives, handed to each
// context as built-in plugins, and graphviz's messages collected.
#include "graph/graphviz_session.hpp"

#include <dlfcn.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "tarvex/exceptions.hpp"
#include "tarvex/log.hpp"

namespace tarvex::morvane::graph {

namespace {

// The plugin libraries the pictures use, with the library description each
// exports: the SVG and dot renderers (core), the two layouts, and cairo's
// PNG renderer with pango's text measurement (pango), which sizes the
// labels by the fonts actually installed.
struct Plugin {
  const char* name;
  const char* symbol;
};
constexpr std::array<Plugin, 4> kPlugins = {{{"core", "gvplugin_core_LTX_library"},
                                             {"dot_layout", "gvplugin_dot_layout_LTX_library"},
                                             {"neato_layout", "gvplugin_neato_layout_LTX_library"},
                                             {"pango", "gvplugin_pango_LTX_library"}}};

// graphviz keeps the plugins beside libgvc, in graphviz/, under the same
// major version: /usr/lib/<arch>/libgvc.so.6 has
// /usr/lib/<arch>/graphviz/libgvplugin_core.so.6.
std::string plugin_path(const char* plugin) {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&gvContextPlugins), &info) == 0 || !info.dli_fname) {
    throw RuntimeError("cannot find where graphviz's libgvc is loaded from, to load its plugins");
  }
  const std::filesystem::path library = info.dli_fname;
  const std::string file = library.filename().string();
  const std::string::size_type so = file.find(".so");
  const std::string version = so == std::string::npos ? std::string() : file.substr(so);  // ".so.6"
  return (library.parent_path() / "graphviz" / ("libgvplugin_" + std::string(plugin) + version)).string();
}

// The plugins as graphviz's list of built-in plugins, loaded once per
// process and kept loaded (the contexts made from them point into them).
const std::vector<lt_symlist_t>& builtin_plugins() {
  static const std::vector<lt_symlist_t> plugins = [] {
    std::vector<lt_symlist_t> list;
    for (const Plugin& plugin : kPlugins) {
      const std::string path = plugin_path(plugin.name);
      void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!handle) {
        throw OSError(ENOENT, "cannot load graphviz's " + std::string(plugin.name) + " plugin " + path + ": " +
                                  ::dlerror() + " (Debian: install libgvc6)");
      }
      void* library = ::dlsym(handle, plugin.symbol);
      if (!library) throw RuntimeError(path + " is not a graphviz plugin: it lacks " + plugin.symbol);
      list.push_back({plugin.symbol, library});
    }
    list.push_back({nullptr, nullptr});
    return list;
  }();
  return plugins;
}

// The process's context, made on first use and never freed (see the
// header).  Without demand loading, graphviz reads no configuration file and
// loads nothing by itself: only the plugins given here exist.
GVC_t* process_context() {
  static GVC_t* const context = [] {
    GVC_t* made = gvContextPlugins(builtin_plugins().data(), 0);
    if (!made) throw RuntimeError("graphviz cannot make a context");
    return made;
  }();
  return context;
}

// graphviz's messages while a session lives; its hook is a plain function.
std::string collected_messages;

int collect_message(char* text) {
  if (text) collected_messages += text;
  return 0;
}

}  // namespace

GraphvizSession::GraphvizSession() {
  collected_messages.clear();
  previous_hook_ = agseterrf(collect_message);
  try {
    context_ = process_context();
  } catch (const RuntimeError& error) {
    const std::string said = take_messages();
    agseterrf(previous_hook_);
    throw RuntimeError(error.message() + (said.empty() ? "" : ": " + said));
  } catch (...) {
    agseterrf(previous_hook_);
    throw;
  }
}

GraphvizSession::~GraphvizSession() {
  agseterrf(previous_hook_);
  const std::string left = take_messages();
  if (!left.empty()) log::getLogger("tarvex.morvane.graph").debug("graphviz said: {}", left);
}

std::string GraphvizSession::take_messages() {
  std::string messages;
  messages.swap(collected_messages);
  while (!messages.empty() && (messages.back() == '\n' || messages.back() == ' ')) messages.pop_back();
  return messages;
}

}  // namespace tarvex::morvane::graph
