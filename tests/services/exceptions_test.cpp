#include "tarvex/exceptions.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

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

TEST(Exceptions, ChainIsFormattedOldestFirst) {
  EXPECT_EQ(format_exception(chained_error()),
            "KeyError: 'devices'\n\nThe above exception was the direct cause of the following exception:\n\n"
            "TypeError: bad testbed");
  EXPECT_EQ(exception_repr(chained_error()), "TypeError('bad testbed')");
}

TEST(Exceptions, ContextIsCapturedWhileHandling) {
  std::exception_ptr error;
  try {
    try {
      throw ValueError("first");
    } catch (...) {
      throw RuntimeError("second");
    }
  } catch (...) {
    error = std::current_exception();
  }
  EXPECT_EQ(format_exception(error),
            "ValueError: first\n\nDuring handling of the above exception, another exception occurred:\n\n"
            "RuntimeError: second");
}

TEST(Exceptions, SetCauseRefusesCycles) {
  std::exception_ptr a = std::make_exception_ptr(ValueError("a"));
  as_mutable_error(a)->set_cause(a);
  EXPECT_EQ(as_error(a)->cause(), nullptr);
}

TEST(Exceptions, ForeignErrorsAreAdoptedWithTheirTypeAndText) {
  const std::exception_ptr foreign = std::make_exception_ptr(std::out_of_range("index 7"));
  EXPECT_EQ(exception_type_name(foreign), "std::out_of_range");
  EXPECT_EQ(exception_str(foreign), "index 7");
  EXPECT_TRUE(is_ordinary(foreign));
  EXPECT_FALSE(is_ordinary(std::make_exception_ptr(KeyboardInterrupt())));
}

TEST(Exceptions, InterruptsAreNotOrdinaryErrors) {
  bool caught_as_ordinary = false;
  try {
    try {
      throw KeyboardInterrupt();
    } catch (const std::exception&) {
      caught_as_ordinary = true;
    }
  } catch (const KeyboardInterrupt&) {
  }
  EXPECT_FALSE(caught_as_ordinary);
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

}  // namespace
}  // namespace tarvex

namespace tarvex {
namespace {

TEST(Exceptions, AnAdoptedForeignErrorIsShownOnce) {
  std::exception_ptr chained;
  try {
    try {
      throw std::runtime_error("parser gave up");
    } catch (...) {
      ValueError outer("bad file");
      outer.set_cause(adopt(std::current_exception()));
      throw outer;
    }
  } catch (...) {
    chained = std::current_exception();
  }
  EXPECT_EQ(format_exception(chained),
            "std::runtime_error: parser gave up\n\nThe above exception was the direct cause of the following "
            "exception:\n\nValueError: bad file");
}

TEST(Exceptions, TheUserFormShowsTheChainOnceAndCarriesTheOriginal) {
  const std::exception_ptr original = std::make_exception_ptr(KeyError("'devices'"));
  const std::exception_ptr user = morvane::exceptions::BringupExceptionWithTraceback(original).get_user_exception();
  EXPECT_EQ(format_exception(user), "KeyError: 'devices'");
  EXPECT_EQ(as_error(user)->cause(), original);
  // Its sibling (the user form of the user form) is plain again.
  const std::exception_ptr sibling = as_error(user)->make_sibling("x");
  EXPECT_FALSE(as_error(sibling)->chain_in_message());
}

}  // namespace
}  // namespace tarvex
