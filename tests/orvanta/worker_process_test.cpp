#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "orvanta_fixture.hpp"
#include "support/child.hpp"
#include "tarvex/morvane/exceptions.hpp"
#include "tarvex/warnings.hpp"

namespace tarvex::testing {
namespace {

using namespace std::chrono_literals;
using morvane::exceptions::FailedToCreateBringupWorker;
using morvane::exceptions::NoConnectionError;
using morvane::exceptions::ServerNotStarted;

using WorkerProcess = OrvantaTest;

TEST_F(WorkerProcess, AWorkerThatCannotBeConstructedFailsQuickly) {
  auto bringup = manager(Kwargs{{"fail_init", "no backend here"}});
  const auto start = std::chrono::steady_clock::now();
  const std::exception_ptr error = raised([&] { bringup->_start_server(); });
  EXPECT_TRUE(is_instance<FailedToCreateBringupWorker>(error));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  // The worker's own error comes along as the cause, with its type.
  const std::exception_ptr cause = as_error(error)->cause();
  EXPECT_TRUE(is_instance<RuntimeError>(cause));
  EXPECT_EQ(format_exception(cause), "RuntimeError: no backend here");
  EXPECT_EQ(bringup->_serverport(), 1);
  EXPECT_EQ(bringup->link()._svr_process->wait(5.0), 1);  // the subprocess ended with the error
}

TEST_F(WorkerProcess, AKeywordGivenTwiceFailsTheWorkersConstruction) {
  auto bringup = manager({});
  bringup->bringup_kwargs["bringup_log_level"] = "debug";
  EXPECT_TRUE(is_instance<FailedToCreateBringupWorker>(raised([&] { bringup->_start_server(); })));
}

TEST_F(WorkerProcess, AServerThatNeverPublishesIsGivenUpAfterTheLastPoll) {
  // The shipped 30 polls, one every 20 ms instead of every second.
  morvane::orvanta::timing().port_check_interval_sec = 0.02;
  log::LogCapture capture;
  warnings::WarningCapture warned;
  pid_t pid;
  {
    auto bringup = manager(Kwargs{{"hang_init", true}});
    EXPECT_TRUE(is_instance<ServerNotStarted>(raised([&] { bringup->_start_server(); })));
    std::vector<std::string> expected;
    for (int attempt = 6; attempt <= 30; ++attempt) {
      expected.push_back("Attempt " + std::to_string(attempt) + " out of 30 to launch bringup worker server");
    }
    EXPECT_EQ(warned.messages(), expected);
    EXPECT_TRUE(capture.contains(log::ERROR, "Bringup worker server could not start after 30 attempts."));
    pid = bringup->link()._svr_process->pid();
    EXPECT_TRUE(bringup->link()._svr_process->is_alive());  // not stopped here...
  }
  EXPECT_NE(::kill(pid, 0), 0);  // ...but never left running once the manager is gone
}

TEST_F(WorkerProcess, StartsOnceServesOnRPC2WithTheTokenAndTerminates) {
  auto bringup = manager({});
  morvane::orvanta::logger().set_level(log::DEBUG);
  log::LogCapture capture;
  const auto triple = bringup->_start_server();
  EXPECT_GT(triple.port, 1);
  EXPECT_EQ(triple.pid, bringup->link()._svr_process->pid());
  EXPECT_EQ(triple.host, "127.0.0.1");
  EXPECT_TRUE(capture.contains(
      log::DEBUG, "Bringup worker server has been started on host 127.0.0.1 with pid " + std::to_string(*triple.pid)));

  warnings::WarningCapture warned;
  const auto again = bringup->_start_server();
  EXPECT_EQ(again.port, triple.port);
  EXPECT_EQ(warned.messages(), (std::vector<std::string>{"Server has already been started with pid " +
                                                         std::to_string(*triple.pid) + "."}));

  const std::string base = "http://127.0.0.1:" + std::to_string(triple.port);
  const xmlrpc::ServerProxy good(base, {.token = bringup->link().token});
  EXPECT_EQ(good.call("test_connection"), Value(true));
  try {
    xmlrpc::ServerProxy(base + "/other", {.token = bringup->link().token}).call("test_connection");
    FAIL();
  } catch (const xmlrpc::ProtocolError& e) {
    EXPECT_EQ(e.status(), 404);
  }
  try {
    xmlrpc::ServerProxy(base).call("test_connection");
    FAIL();
  } catch (const xmlrpc::ProtocolError& e) {
    EXPECT_EQ(e.status(), 401);
  }
  bringup->_terminate_server();
  EXPECT_FALSE(bringup->link()._isserverstarted);
  EXPECT_FALSE(bringup->link()._svr_process->is_alive());
  bringup->_terminate_server();  // an ended subprocess terminates without error
}

TEST_F(WorkerProcess, TerminatingWithoutASubprocessIsLoggedAndRaised) {
  auto bringup = manager({});
  log::LogCapture capture;
  EXPECT_TRUE(raised([&] { bringup->_terminate_server(); }));
  EXPECT_EQ(capture.texts(log::ERROR).size(), 1u);
  EXPECT_TRUE(capture.texts(log::ERROR)[0].starts_with(
      "Bringup worker server (pid None) could not be terminated... caught error:"));
}

// The worker's log goes to the task log named by the task id; its port
// message names the port the manager was given.
TEST_F(WorkerProcess, WorkerLogsToItsTaskLogAndPublishesThePortItAnnounces) {
  TempDir logs;
  log::managed_handlers().tasklog.log_dir = logs.path();
  auto bringup = manager(Kwargs{{"taskid", 42}, {"bringup_log_level", "debug"}});
  morvane::bases::with_context(*bringup, [](morvane::BringUp&) {});
  log::managed_handlers().tasklog.log_dir.clear();
  std::ifstream in(logs.file("BringUp_42.log"));
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("Bringup worker server (port " + std::to_string(bringup->_serverport()) +
                            ") ready to receive requests------------"),
            std::string::npos)
      << text.str();
}

int closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

TEST_F(WorkerProcess, ConnectGivesUpAfterItsRetriesWithWarnings) {
  morvane::orvanta::timing().connect_retries = 8;
  morvane::orvanta::timing().connect_retry_interval_sec = 0.01;
  auto bringup = manager({});
  const int port = closed_port();
  bringup->_serverport(port);
  bringup->link()._serverpid = 4321;
  warnings::WarningCapture warned;
  log::LogCapture capture;
  try {
    bringup->_connect();
    FAIL();
  } catch (const NoConnectionError& e) {
    EXPECT_EQ(e.port(), port);
    EXPECT_EQ(e.pid(), 4321);
  }
  ASSERT_EQ(warned.messages().size(), 3u);
  EXPECT_EQ(warned.messages()[0], "Attempt 6 out of 8 " + bringup->repr() + " could not connect on port " +
                                      std::to_string(port) + ".Trying to reconnect in 0.01 sec...");
  EXPECT_TRUE(capture.contains(log::ERROR, bringup->repr() + " could not connect to Server (host: 127.0.0.1, port: " +
                                               std::to_string(port) + ")"));
}

// A server whose connection test fails with a fault seven times, then
// answers: two warnings (attempts 6 and 7), success at attempt 8.
TEST_F(WorkerProcess, AFaultCountsAsAFailedAttempt) {
  morvane::orvanta::timing().connect_retry_interval_sec = 0.01;
  auto bringup = manager({});
  bringup->link().token = "test-token";
  int ports[2];
  ASSERT_EQ(::pipe(ports), 0);
  auto server_process = process::ChildProcess::fork([&] {
    int calls = 0;
    xmlrpc::Server server({.token = "test-token"}, [&](const std::string&, const List&) -> Value {
      if (++calls < 8) throw ValueError("not yet");
      return true;
    });
    const int port = server.port();
    [[maybe_unused]] auto n = ::write(ports[1], &port, sizeof port);
    for (;;) {
      pollfd fd{server.listen_fd(), POLLIN, 0};
      if (::poll(&fd, 1, 100) > 0) server.handle_request();
    }
    return 0;
  });
  int port = 0;
  ASSERT_EQ(::read(ports[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
  bringup->_serverport(port);
  warnings::WarningCapture warned;
  bringup->_connect();
  EXPECT_EQ(warned.warnings().size(), 2u);
  ::close(ports[0]);
  ::close(ports[1]);
}

}  // namespace
}  // namespace tarvex::testing
