// The checks of a file that says what to build (the logical testbed, the
// static testbed, a clean file), made while it is loaded, so that a slip in
// it stops the run before anything is built instead of building a
// different topology or failing late.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tarvex/log.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::morvane {

// Watches the load of one file through the options it hands the loader,
// then raises what it found:
// - a string (key or value) holding a control character other than tab,
//   line feed and carriage return is refused, in every kind of file;
// - in a file that places devices (the logical testbed, a clean file), a
//   device written twice under `devices:` or `topology:`, an interface
//   written twice under `topology: DEVICE: interfaces:`, and one of those
//   sections written twice are refused, since the last one would replace
//   the first; any other key written twice is warned of through `logger`
//   and keeps its last value, as YAML loaders do.
// Every refused problem of the file is raised together, one a line.
class TestbedFileCheck {
 public:
  enum class Kind {
    PlacesDevices,  // the logical testbed, a clean file
    Static,         // the static testbed: duplicate keys as YAML loaders take them
  };

  // `path` as the user gave it, which the messages name.
  TestbedFileCheck(std::string path, Kind kind, log::Logger& logger);
  TestbedFileCheck(const TestbedFileCheck&) = delete;
  TestbedFileCheck& operator=(const TestbedFileCheck&) = delete;

  // For the load of the file; they refer to this object.
  const tarvex::utils::yaml::LoadOptions& options() const { return options_; }

  // ValueError listing the refused problems in the order of the text, each
  // line naming the file, where the problem is and what it is; nothing
  // when there is none.
  void raise_if_refused();

 private:
  void duplicate(const tarvex::utils::yaml::DuplicateKey& duplicate);
  void control_characters(const tarvex::utils::yaml::ControlCharacters& found);

  std::string path_;
  Kind kind_;
  log::Logger& logger_;
  tarvex::utils::yaml::LoadOptions options_;
  // Each problem with the place it is reported at, to be put in the order
  // of the text.
  std::vector<std::pair<tarvex::utils::yaml::Position, std::string>> refused_;
};

}  // namespace tarvex::morvane
