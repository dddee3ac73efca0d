#include "tarvex/engine/image_reference.hpp"

#include <algorithm>
#include <cctype>

#include "tarvex/exceptions.hpp"

namespace tarvex::engine {

namespace {

constexpr std::size_t kMaxNameLength = 255;
constexpr std::size_t kMaxTagLength = 128;

bool is_lower_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }
bool is_alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }
bool is_word(char c) { return is_alnum(c) || c == '_'; }
bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool has_upper(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// Raised with the reference and the reason, as every refusal reads.
[[noreturn]] void refuse(std::string_view text, const std::string& reason) {
  throw ValueError("invalid image reference '" + std::string(text) + "': " + reason);
}

// alpha-numeric [separator alpha-numeric]*, the separators being ".", "_",
// "__" or any number of dashes.
std::string path_component_problem(std::string_view component) {
  if (component.empty()) return "an empty path component";
  if (has_upper(component)) return "upper case in the repository name '" + std::string(component) + "'";
  if (!is_lower_alnum(component.front()) || !is_lower_alnum(component.back())) {
    return "the path component '" + std::string(component) + "' must start and end with a letter or digit";
  }
  for (std::size_t i = 0; i < component.size();) {
    if (is_lower_alnum(component[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < component.size() && !is_lower_alnum(component[end])) ++end;
    const std::string_view separator = component.substr(i, end - i);
    const bool dashes = separator.find_first_not_of('-') == std::string_view::npos;
    if (!(separator == "." || separator == "_" || separator == "__" || dashes)) {
      return "the path component '" + std::string(component) + "' has the separator '" + std::string(separator) +
             "' (allowed: '.', '_', '__', dashes)";
    }
    i = end;
  }
  return {};
}

// ([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9-]*[a-zA-Z0-9]), or a bracketed IPv6
// address; then an optional port.
std::string domain_problem(std::string_view domain) {
  std::string_view host = domain;
  std::string_view port;
  if (!domain.empty() && domain.front() == '[') {
    const std::size_t close = domain.find(']');
    if (close == std::string_view::npos) return "the registry address '" + std::string(domain) + "' lacks its ']'";
    const std::string_view address = domain.substr(1, close - 1);
    if (address.empty() || address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos) {
      return "the registry address '" + std::string(domain) + "' is not an IPv6 address";
    }
    host = {};
    const std::string_view rest = domain.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return "unexpected text after the registry address '" + std::string(domain) + "'";
      port = rest.substr(1);
      if (port.empty()) return "the registry '" + std::string(domain) + "' has an empty port";
    }
  } else if (const std::size_t colon = domain.find(':'); colon != std::string_view::npos) {
    host = domain.substr(0, colon);
    port = domain.substr(colon + 1);
    if (port.empty()) return "the registry '" + std::string(domain) + "' has an empty port";
  }
  if (!port.empty()) {
    if (port.find_first_not_of("0123456789") != std::string_view::npos || port.size() > 5 ||
        std::stoul(std::string(port)) == 0 || std::stoul(std::string(port)) > 65535) {
      return "bad port '" + std::string(port) + "' (a number from 1 to 65535)";
    }
  }
  if (domain.front() == '[') return {};
  for (std::size_t start = 0;;) {
    const std::size_t dot = std::min(host.find('.', start), host.size());
    const std::string_view label = host.substr(start, dot - start);
    const bool valid = !label.empty() && is_alnum(label.front()) && is_alnum(label.back()) &&
                       std::all_of(label.begin(), label.end(), [](char c) { return is_alnum(c) || c == '-'; });
    if (!valid) return "bad registry host name '" + std::string(host) + "'";
    if (dot == host.size()) break;
    start = dot + 1;
  }
  return {};
}

std::string tag_problem(std::string_view tag) {
  if (tag.empty()) return "an empty tag";
  if (tag.size() > kMaxTagLength) return "a tag longer than 128 characters";
  const bool valid = is_word(tag.front()) &&
                     std::all_of(tag.begin(), tag.end(), [](char c) { return is_word(c) || c == '.' || c == '-'; });
  if (!valid)
    return "bad tag '" + std::string(tag) + "' (letters, digits, '_', '.', '-'; not starting with '.' or '-')";
  return {};
}

// algorithm ":" hex: the algorithm of letters and digits joined by "+", ".",
// "_" or "-"; sha256 takes exactly 64 lower-case hex digits, others 32 or more.
std::string digest_problem(std::string_view digest) {
  const std::size_t colon = digest.find(':');
  if (colon == std::string_view::npos) return "the digest '" + std::string(digest) + "' lacks its algorithm";
  const std::string_view algorithm = digest.substr(0, colon);
  const std::string_view hex = digest.substr(colon + 1);
  bool valid_algorithm = !algorithm.empty() && std::isalpha(static_cast<unsigned char>(algorithm.front()));
  for (std::size_t i = 1; valid_algorithm && i < algorithm.size(); ++i) {
    const char c = algorithm[i];
    const bool separator = c == '+' || c == '.' || c == '_' || c == '-';
    valid_algorithm = is_alnum(c) || (separator && i + 1 < algorithm.size() &&
                                      std::isalpha(static_cast<unsigned char>(algorithm[i + 1])));
  }
  if (!valid_algorithm) return "bad digest algorithm '" + std::string(algorithm) + "'";
  if (!std::all_of(hex.begin(), hex.end(), is_hex))
    return "the digest '" + std::string(digest) + "' is not hexadecimal";
  if (algorithm == "sha256") {
    if (hex.size() != 64 || has_upper(hex)) return "a sha256 digest is 64 lower-case hex digits";
  } else if (hex.size() < 32) {
    return "the digest '" + std::string(digest) + "' is shorter than 32 hex digits";
  }
  return {};
}

}  // namespace

std::string ImageReference::repository() const { return domain.empty() ? path : domain + "/" + path; }

std::string ImageReference::str() const {
  std::string text = repository();
  if (!tag.empty()) text += ":" + tag;
  if (!digest.empty()) text += "@" + digest;
  return text;
}

ImageReference parse_image_reference(std::string_view text) {
  if (text.empty()) refuse(text, "it is empty");
  for (const char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) refuse(text, "it contains white space");
    if (std::iscntrl(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80) {
      refuse(text, "it contains a character that is not printable ASCII");
    }
  }
  ImageReference reference;
  std::string_view name = text;
  if (const std::size_t at = name.find('@'); at != std::string_view::npos) {
    reference.digest = std::string(name.substr(at + 1));
    if (const std::string problem = digest_problem(reference.digest); !problem.empty()) refuse(text, problem);
    name = name.substr(0, at);
  }
  const std::size_t last_slash = name.rfind('/');
  if (const std::size_t colon = name.rfind(':');
      colon != std::string_view::npos && (last_slash == std::string_view::npos || colon > last_slash)) {
    reference.tag = std::string(name.substr(colon + 1));
    if (const std::string problem = tag_problem(reference.tag); !problem.empty()) refuse(text, problem);
    name = name.substr(0, colon);
  }
  if (name.empty()) refuse(text, "it has no repository name");
  if (name.size() > kMaxNameLength) refuse(text, "the repository name is longer than 255 characters");
  // The first component is a registry when it could not be a path: it has
  // a dot, a port or upper case, or it is "localhost".
  std::string_view path = name;
  if (const std::size_t slash = name.find('/'); slash != std::string_view::npos) {
    const std::string_view first = name.substr(0, slash);
    if (first.find_first_of(".:[") != std::string_view::npos || first == "localhost" || has_upper(first)) {
      if (const std::string problem = domain_problem(first); !problem.empty()) refuse(text, problem);
      reference.domain = std::string(first);
      path = name.substr(slash + 1);
    }
  }
  for (std::size_t start = 0;;) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    if (const std::string problem = path_component_problem(path.substr(start, slash - start)); !problem.empty()) {
      refuse(text, problem);
    }
    if (slash == path.size()) break;
    start = slash + 1;
  }
  reference.path = std::string(path);
  if (reference.domain.empty() && reference.tag.empty() && reference.digest.empty() && path.size() == 64 &&
      std::all_of(path.begin(), path.end(), is_hex)) {
    refuse(text, "it is an image id (64 hex digits), not a name");
  }
  return reference;
}

}  // namespace tarvex::engine
