// A container image reference (`registry.example:5000/team/nos:2.1`,
// `busybox`, `name@sha256:...`), as registries and engines read it.
#pragma once

#include <string>
#include <string_view>

namespace tarvex::engine {

// A validated reference split into its parts.  The domain is kept as written
// (empty when the reference has none): engines resolve short names their
// own ways, so none is made up here.
struct ImageReference {
  std::string domain;  // "registry.example:5000", "localhost", or empty
  std::string path;    // "team/nos"
  std::string tag;     // empty when none was given
  std::string digest;  // "sha256:<hex>", or empty

  // The name without tag and digest: "registry.example:5000/team/nos".
  std::string repository() const;
  // The tag to ask for: the given one, else "latest" (an engine asked for a
  // repository without a tag pulls every tag).
  std::string tag_or_latest() const { return tag.empty() ? "latest" : tag; }
  // The whole reference as written, normalised to no extra characters.
  std::string str() const;
};

// Parses and validates `text` by the distribution project's reference
// grammar: a domain (host names or bracketed IPv6, optional port), path
// components of lower-case letters and digits joined by `.`, `_`, `__` or
// dashes, a tag of at most 128 word characters, dots and dashes, a digest.
// ValueError with the reason otherwise (empty, upper case in the
// repository, a bad tag, a bad port, spaces, a bare image id, ...).
ImageReference parse_image_reference(std::string_view text);

}  // namespace tarvex::engine
