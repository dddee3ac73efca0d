// User text made safe to place in graphviz's HTML-like labels.
#pragma once

#include <string>
#include <string_view>

namespace tarvex::morvane::graph {

// `text` as the content of an HTML-like label: &, <, > and quotes escaped,
// a line break as <BR/>, other control characters and bytes that are not
// UTF-8 replaced by U+FFFD (graphviz parses these labels as XML, which
// allows neither), so that any name the user wrote shows as written.
std::string html_text(std::string_view text);

}  // namespace tarvex::morvane::graph
