#include <gtest/gtest.h>

#include "tarvex/morvane/exceptions.hpp"

namespace tarvex {
namespace {

using morvane::exceptions::BringupExceptionWithTraceback;

std::exception_ptr chained_error() {
  try {
    try {
      throw KeyError("'devices'");
    } catch (...) {
      TypeError outer("bad testbed");
      outer.set_cause(std::current_exception());
      throw outer;
    }
  } catch (...) {
    return std::current_exception();
  }
}

TEST(Exceptions, UserExceptionKeepsTypeShowsChainAndCarriesCause) {
  const std::exception_ptr original = chained_error();
  const std::exception_ptr user = BringupExceptionWithTraceback(original).get_user_exception();
  EXPECT_TRUE(is_instance<TypeError>(user));
  EXPECT_EQ(as_error(user)->cause(), original);
  const std::string text = exception_str(user);
  EXPECT_NE(text.find("KeyError: 'devices'"), std::string::npos) << text;
  EXPECT_NE(text.find("TypeError: bad testbed"), std::string::npos) << text;
}

TEST(Exceptions, ExtraFieldsSurviveSiblingsAndNamesAreRegistered) {
  const morvane::exceptions::NoConnectionError error(4242, 17);
  const std::exception_ptr sibling = error.make_sibling("again");
  try {
    std::rethrow_exception(sibling);
  } catch (const morvane::exceptions::NoConnectionError& e) {
    EXPECT_EQ(e.port(), 4242);
    EXPECT_EQ(e.pid(), 17);
    EXPECT_STREQ(e.what(), "again");
  }
  EXPECT_TRUE(
      is_instance<morvane::exceptions::BringupWorkerException>(make_exception_by_name("ServerNotStarted", "x")));
  EXPECT_TRUE(is_instance<KeyError>(make_exception_by_name("KeyError", "x")));
  EXPECT_EQ(make_exception_by_name("NoSuchError", "x"), nullptr);
}

TEST(Exceptions, TheUserFormShowsTheChainOnceAndCarriesTheOriginal) {
  const std::exception_ptr original = std::make_exception_ptr(KeyError("'devices'"));
  const std::exception_ptr user = BringupExceptionWithTraceback(original).get_user_exception();
  EXPECT_EQ(format_exception(user), "KeyError: 'devices'");
  EXPECT_EQ(as_error(user)->cause(), original);
  // Its sibling (the user form of the user form) is plain again.
  const std::exception_ptr sibling = as_error(user)->make_sibling("x");
  EXPECT_FALSE(as_error(sibling)->chain_in_message());
}

}  // namespace
}  // namespace tarvex
