#include <gtest/gtest.h>

#include "orvanta_fixture.hpp"
#include "tarvex/morvane/exceptions.hpp"

namespace tarvex::testing {
namespace {

using morvane::BringUp;
using morvane::bases::BringUpBase;
using morvane::exceptions::NoOrchestratorSpecified;

class ManagerConstruction : public OrvantaTest {
 protected:
  void SetUp() override {
    OrvantaTest::SetUp();
    morvane::orvanta::logger().set_level(log::DEBUG);
  }
  log::LogCapture capture;
};

Value clean_with_sections(std::initializer_list<Map::value_type> sections) {
  return Value::map({{"bringup", Value(Map(sections))}});
}

TEST_F(ManagerConstruction, AnExplicitOrchestratorWinsOverTheCleanConfiguration) {
  const Value clean =
      clean_with_sections({{"sim", Value::map({{"class", "some.OtherWorker"}, {"log_level", "debug"}})}});
  auto bringup = create<BringUp>({}, Kwargs{{"orchestrator", "tests-orvanta"}, {"clean_config", clean}});
  EXPECT_EQ(bringup->bring_up_class, &OrvantaTestWorker::class_info());
  EXPECT_TRUE(capture.contains(log::DEBUG,
                               "Ignoring the bringup class some.OtherWorker specified as part of clean "
                               "configuration."));
  // "class" left the section, also as seen through the clean configuration.
  EXPECT_FALSE(BringUpBase::bringup_clean_config.contains("class"));
  EXPECT_FALSE(BringUpBase::clean_config["bringup"]["sim"].contains("class"));
  EXPECT_EQ(BringUpBase::bringup_clean_config["log_level"], Value("debug"));
  EXPECT_EQ(morvane::orvanta::logger().level(), log::DEBUG);
}

TEST_F(ManagerConstruction, TheFirstSectionNamesTheClassWhenNoneIsRequested) {
  const Value clean = clean_with_sections(
      {{"first", Value::map({{"class", "tests-orvanta"}})}, {"second", Value::map({{"class", "tests-not-a-worker"}})}});
  auto bringup = create<BringUp>({}, Kwargs{{"clean_config", clean}});
  EXPECT_EQ(bringup->bring_up_class, &OrvantaTestWorker::class_info());
  EXPECT_TRUE(capture.contains(log::INFO, "Using the following bringup class : <class 'tests.OrvantaTestWorker'>."));
}

TEST_F(ManagerConstruction, AGivenSectionIgnoresTheCleanConfigurationsSections) {
  const Value clean = clean_with_sections({{"first", Value::map({{"class", "tests-not-a-worker"}})}});
  auto bringup = create<BringUp>(
      {}, Kwargs{{"clean_config", clean}, {"bringup_clean_config", Value::map({{"class", "tests-orvanta"}})}});
  EXPECT_EQ(bringup->bring_up_class, &OrvantaTestWorker::class_info());
  EXPECT_TRUE(BringUpBase::clean_config["bringup"]["first"].contains("class"));
}

TEST_F(ManagerConstruction, ACleanConfigurationArgumentMeansNoFileIsLoaded) {
  auto bringup = create<BringUp>({}, Kwargs{{"orchestrator", "tests-orvanta"},
                                            {"clean_config", clean_with_sections({{"s", Value::map({})}})},
                                            {"clean_files", Value::list({"/nonexistent/clean.yaml"})}});
  EXPECT_TRUE(BringUpBase::clean_config.contains("bringup"));
}

TEST_F(ManagerConstruction, CleanFilesAreLoadedAndTheirErrorsReported) {
  const std::string file = write_file("clean.yaml", "bringup:\n  sim:\n    class: tests-orvanta\n");
  auto bringup = create<BringUp>({}, Kwargs{{"clean_files", Value::list({file})}});
  EXPECT_EQ(bringup->bring_up_class, &OrvantaTestWorker::class_info());

  const std::exception_ptr error = raised([&] {
    create<BringUp>({}, Kwargs{{"clean_files", Value::list({dir_.file("missing.yaml")})}});
  });
  EXPECT_EQ(exception_str(error), "Could not load clean configuration.");
  EXPECT_TRUE(is_instance<TypeError>(as_error(error)->cause()));
}

TEST_F(ManagerConstruction, MissingPiecesOfTheCleanConfigurationAreOnlyDebugMessages) {
  EXPECT_TRUE(is_instance<NoOrchestratorSpecified>(raised([] { create<BringUp>({}, {}); })));
  EXPECT_TRUE(capture.contains(log::DEBUG, "Could not find bringup worker class name."));

  capture.clear();
  EXPECT_TRUE(is_instance<NoOrchestratorSpecified>(raised([] {
    create<BringUp>({}, Kwargs{{"clean_config", Value::map({{"cleaners", Value::map({})}})}});
  })));
  EXPECT_TRUE(capture.contains(log::DEBUG, "Could not find bringup worker class name."));
  EXPECT_TRUE(capture.contains(log::DEBUG, "Could not derive bringup clean configuration."));

  capture.clear();
  create<BringUp>(
      {}, Kwargs{{"orchestrator", "tests-orvanta"}, {"bringup_clean_config", Value::map({{"log_level", "info"}})}});
  EXPECT_TRUE(capture.contains(log::DEBUG, "The bringup class was not imported successfully."));
}

TEST_F(ManagerConstruction, ClassesThatCannotServeAreRefused) {
  std::exception_ptr error = raised([] { create<BringUp>({}, Kwargs{{"orchestrator", "no.such.Worker"}}); });
  EXPECT_EQ(exception_str(error), "Could not import bringup class.");
  EXPECT_TRUE(is_instance<ImportError>(as_error(error)->cause()));

  error = raised([] { create<BringUp>({}, Kwargs{{"orchestrator", "tests-not-a-worker"}}); });
  EXPECT_EQ(exception_str(error),
            "The specified bringup class <class 'tests.NotAWorker'> does not inherit from BringUpWorkerBase as "
            "required.");
  EXPECT_FALSE(NotAWorker::class_info().has_attached("_dispatch"));
}

TEST_F(ManagerConstruction, TheCommandLineReplacesKeywordsButNeverDebug) {
  ScopedCommandLine cli({"bringup", "-orchestrator", "tests-orvanta", "-bringup_log_level", "None", "-debug", "x",
                         "-testbed_file", "tb.yaml"});
  auto bringup = create<TestableBringUp>(
      {}, Kwargs{{"orchestrator", "unknown"}, {"bringup_log_level", "debug"}, {"taskid", "T1"}, {"debug", false}});
  EXPECT_EQ(bringup->orchestrator, "tests-orvanta");
  EXPECT_FALSE(bringup->bringup_log_level.has_value());
  EXPECT_FALSE(bringup->debug);
  EXPECT_EQ(bringup->bringup_kwargs, (Map{{"taskid", "T1"}}));
  EXPECT_FALSE(bringup->link()._svr_process);  // nothing started
  EXPECT_EQ(bringup->_serverport(), 0);
  EXPECT_TRUE(OrvantaTestWorker::class_info().has_attached("_dispatch"));
  EXPECT_TRUE(OrvantaTestWorker::class_info().has_attached("test_connection"));
}

TEST_F(ManagerConstruction, ABadCommandLinePrintsTheUsageAndRaises) {
  ScopedCommandLine cli({"bringup", "-clean_files"});
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(is_instance<morvane::utils::ArgumentError>(raised([] { create<BringUp>({}, {}); })));
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("usage: bringup [-orchestrator ORCHESTRATOR]"),
            std::string::npos);
}

TEST_F(ManagerConstruction, RemotePropertiesAreNullBeforeTheContext) {
  auto bringup = manager({});
  EXPECT_EQ(bringup->topology_config(), Value());
  EXPECT_EQ(bringup->interactive(), Value());
  bringup->interactive(true);
  EXPECT_TRUE(capture.contains(log::ERROR, "Cannot set interactive attribute of bringup worker."));
  bringup->launch_topology();  // nothing to command
  EXPECT_EQ(capture.count("Commanding bringup worker to launch topology..."), 0u);
}

}  // namespace
}  // namespace tarvex::testing
