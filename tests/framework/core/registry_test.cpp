#include "tarvex/registry.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "support/temp_dir.hpp"
#include "tarvex/topology.hpp"
#include "tarvex/utils/import_utils.hpp"

namespace tarvex {
namespace {

// Sets an environment variable for one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(Registry, RegisteredClassesResolveByQualifiedAndShortName) {
  EXPECT_EQ(&device_classes().resolve("tarvex.topology.Device"), &topology::Device::class_info());
  EXPECT_EQ(&utils::import_utils::import_from_name("Device"), &topology::Device::class_info());
}

TEST(Registry, PluginFileNamesGoFromLongestPrefix) {
  EXPECT_EQ(plugin_file_names("acme.workers.Foo"),
            (std::vector<std::string>{"libacme.workers.Foo.so", "acme.workers.Foo.so", "libacme.workers.so",
                                      "acme.workers.so", "libacme.so", "acme.so"}));
}

// Names are never paths: no plugin is loaded from outside the plugin
// directories, by a name or through a symlink.  (Before the plugin is
// loaded by the test below.)
TEST(Registry, PluginsLoadOnlyFromInsideThePluginDirectories) {
  std::string plugin = MORVANE_TEST_PLUGIN_DIR;
  plugin += "/libmorvane_sample_plugin.so";
  testing::TempDir dir;
  std::filesystem::create_symlink(plugin, dir.path() / "libevil.so");
  std::string path = dir.path().string();
  path += ":";
  path += MORVANE_TEST_PLUGIN_DIR;
  ScopedEnv env(kPluginPathVariable, path);
  for (const std::string& name : {std::string("evil"), plugin, std::string("../plugins/morvane_sample_plugin"),
                                  std::string("x/../../morvane_sample_plugin"), std::string(".hidden")}) {
    EXPECT_THROW(device_classes().resolve(name), ImportError) << name;
  }
  EXPECT_EQ(::dlopen(plugin.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the plugin was loaded";
}

TEST(Registry, AnUnknownNameLoadsItsPlugin) {
  std::string path = "/nonexistent:";
  path += MORVANE_TEST_PLUGIN_DIR;
  ScopedEnv env(kPluginPathVariable, path);
  EXPECT_EQ(device_classes().find("morvane_sample_plugin.Widget"), nullptr);
  const ClassInfo& widget = utils::import_utils::import_from_name("morvane_sample_plugin.Widget");
  EXPECT_TRUE(widget.is_subclass_of(topology::Device::class_info()));
  auto object = widget.construct({}, Kwargs{{"name", "w1"}});
  EXPECT_EQ(object->get_attr("name"), Value("w1"));
}

TEST(Registry, ANameNothingProvidesSaysWhereItLooked) {
  ScopedEnv env(kPluginPathVariable, "/nonexistent-a:/nonexistent-b");
  try {
    worker_classes().resolve("acme.Nothing");
    FAIL();
  } catch (const ImportError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("No worker class named 'acme.Nothing' is registered"), std::string::npos) << text;
    EXPECT_NE(text.find("/nonexistent-a, /nonexistent-b"), std::string::npos) << text;
    EXPECT_NE(text.find("libacme.so"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace tarvex
