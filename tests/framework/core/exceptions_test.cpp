#include "tarvex/exceptions.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace tarvex {
namespace {

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

}  // namespace
}  // namespace tarvex
