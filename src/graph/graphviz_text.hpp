// User text made safe for graphviz: in HTML-like labels, where it is shown
// as written, and as the names of graphviz's objects.
#pragma once

#include <string>
#include <string_view>

namespace tarvex::morvane::graph {

// `text` as the content of an HTML-like label: &, <, > and quotes escaped,
// a backslash doubled (graphviz would take "\N" for the node's name), a
// line break as <BR/>, other control characters and bytes that are not
// UTF-8 replaced by U+FFFD (graphviz parses these labels as XML, which
// allows neither), so that any name the user wrote shows as written.
std::string html_text(std::string_view text);

// `text` as the name of a graphviz object (a node's name shows in an SVG's
// titles and in the dot text, not in the picture): control characters and
// bytes that are not UTF-8 replaced by U+FFFD, which XML does not allow, and
// a backslash by U+29F5 (a look-alike), which graphviz's dot writer cannot
// put at the end of a quoted name.
std::string id_text(std::string_view text);

}  // namespace tarvex::morvane::graph
