// Reading impairment declarations: the units tc writes, the canonical
// texts, and one named problem per mistake.
#include "tarvex/morvane/fabric/impairment.hpp"

#include <gtest/gtest.h>

#include "tarvex/utils/yaml.hpp"

namespace tarvex::morvane::fabric {
namespace {

std::string joined(const std::vector<std::string>& problems) {
  std::string text;
  for (const std::string& p : problems) text += p + "\n";
  return text;
}

struct GoodCase {
  const char* declared;   // key=value words
  const char* canonical;  // Impairment::text()
};

TEST(ImpairmentText, ReadsTcUnitsIntoCanonicalText) {
  const GoodCase cases[] = {
      {"delay=20ms jitter=2ms loss=0.5% rate=100mbit", "delay 20ms jitter 2ms loss 0.5% rate 100mbit"},
      {"rate=100mbit loss=0.5% delay=20ms", "delay 20ms loss 0.5% rate 100mbit"},
      {"delay=1500us", "delay 1.5ms"},
      {"delay=.25s", "delay 250ms"},
      {"delay=2SEC jitter=250usecs", "delay 2s jitter 250us"},
      {"delay=1.000001s", "delay 1.000001s"},
      {"delay=0ms", "delay 0us"},
      {"delay=274.877906s jitter=2.147483s", "delay 274.877906s jitter 2.147483s"},
      {"rate=1.5Mbit", "rate 1.5mbit"},
      {"rate=1mbps", "rate 8mbit"},  // bytes per second, as tc reads them
      {"rate=1mibit", "rate 1.048576mbit"},
      {"rate=8kbit", "rate 8kbit"},
      {"rate=2gbps", "rate 16gbit"},
      {"delay=1ms duplicate=0.1% corrupt=0.01% reorder=1% loss=100%",
       "delay 1ms loss 100% duplicate 0.1% corrupt 0.01% reorder 1%"},
      {"loss=0%", "loss 0%"},
      {"  \t", "none"},
  };
  for (const GoodCase& c : cases) {
    std::vector<std::string> problems;
    const Impairment impairment = parse_impairment_text(c.declared, "r1", problems);
    EXPECT_TRUE(problems.empty()) << c.declared << ":\n" << joined(problems);
    EXPECT_EQ(impairment.text(), c.canonical) << c.declared;
    // The testbed's form reads back as the same impairment.
    EXPECT_EQ(parse_impairment(impairment.value(), "r1", problems), impairment) << c.declared;
    EXPECT_TRUE(problems.empty()) << c.declared << ":\n" << joined(problems);
  }
}

TEST(ImpairmentText, HoldsTheKernelsUnits) {
  std::vector<std::string> problems;
  const Impairment i = parse_impairment_text("delay=0.1ms jitter=3s rate=100mbit loss=50% corrupt=100%", "", problems);
  ASSERT_EQ(problems.size(), 1U) << joined(problems);  // the jitter is too large
  EXPECT_EQ(i.delay, std::chrono::microseconds(100));
  EXPECT_FALSE(i.jitter);
  EXPECT_EQ(i.rate, 100'000'000U);
  EXPECT_EQ(i.loss, 2147483648U);  // 2^32 - 1 halved, rounded to the nearest as tc does
  EXPECT_EQ(i.corrupt, kAlways);
  EXPECT_TRUE(i.needs_netem());
  Impairment rate_only;
  rate_only.rate = 8000;
  EXPECT_FALSE(rate_only.needs_netem());
  EXPECT_TRUE(Impairment{}.empty());
}

struct BadCase {
  const char* declared;
  const char* problem;  // the whole text of the only problem
};

TEST(ImpairmentText, NamesEachProblem) {
  const BadCase cases[] = {
      {"delay=20", "r1: impair delay '20' has no unit of time (us, ms or s)"},
      {"delay=20min", "r1: impair delay '20min' has the unknown unit 'min' (us, ms or s)"},
      {"delay=-5ms", "r1: impair delay '-5ms' is not a time (a number and us, ms or s, such as 20ms)"},
      {"delay=1e3ms", "r1: impair delay '1e3ms' has the unknown unit 'e3ms' (us, ms or s)"},
      {"delay=0.5us", "r1: impair delay '0.5us' is not a whole number of microseconds"},
      {"delay=275s", "r1: impair delay '275s' is more than netem takes (274.877906s)"},
      {"delay=1s jitter=2.2s", "r1: impair jitter '2.2s' is more than netem takes (2.147483s)"},
      {"jitter=2ms", "r1: impair jitter '2ms' needs a delay above 0 to vary"},
      {"delay=0s jitter=2ms", "r1: impair jitter '2ms' needs a delay above 0 to vary"},
      {"reorder=1%",
       "r1: impair reorder '1%' needs a delay above 0 (netem reorders by sending some packets without the delay)"},
      {"rate=100",
       "r1: impair rate '100' has no unit (bit, kbit, mbit, gbit or tbit for bits per second; bps, kbps, mbps, gbps "
       "or tbps for bytes per second)"},
      {"rate=100mb",
       "r1: impair rate '100mb' has the unknown unit 'mb' (bit, kbit, mbit, gbit or tbit for bits per "
       "second; bps, kbps, mbps, gbps or tbps for bytes per second)"},
      {"rate=0mbit", "r1: impair rate '0mbit' is not within the rates the shaper takes (8kbit to 17.179869176gbit)"},
      {"rate=18gbit", "r1: impair rate '18gbit' is not within the rates the shaper takes (8kbit to 17.179869176gbit)"},
      {"rate=100001bit", "r1: impair rate '100001bit' is not a whole number of bytes per second"},
      {"rate=1.0000001kbit", "r1: impair rate '1.0000001kbit' is not a whole number of bytes per second"},
      {"loss=0.5", "r1: impair loss '0.5' has no '%' (write 0.5%)"},
      {"loss=100.001%", "r1: impair loss '100.001%' is more than 100%"},
      {"duplicate=1%%", "r1: impair duplicate '1%%' is not a percentage (such as 0.5%)"},
      {"corrupt=1234567890123456789%", "r1: impair corrupt '1234567890123456789%' is not a percentage (such as 0.5%)"},
      {"latency=20ms", "r1: impair has no setting 'latency' (delay, jitter, loss, rate, duplicate, corrupt, reorder)"},
      {"=20ms", "r1: impair '=20ms' is not key=value (such as delay=20ms)"},
      {"delay=1ms delay=2ms", "r1: impair delay is given twice"},
  };
  for (const BadCase& c : cases) {
    std::vector<std::string> problems;
    parse_impairment_text(c.declared, "r1", problems);
    ASSERT_EQ(problems.size(), 1U) << c.declared << ":\n" << joined(problems);
    EXPECT_EQ(problems[0], c.problem) << c.declared;
  }
}

TEST(ImpairmentValue, ReadsTheTestbedMapping) {
  std::vector<std::string> problems;
  const Impairment good = parse_impairment(
      tarvex::utils::yaml::load_string("{delay: 20ms, jitter: 2ms, loss: 0.5%, rate: 100mbit, reorder: 1%}"), "r1",
      problems);
  EXPECT_TRUE(problems.empty()) << joined(problems);
  EXPECT_EQ(good.text(), "delay 20ms jitter 2ms loss 0.5% rate 100mbit reorder 1%");
  EXPECT_EQ(good.value(), tarvex::utils::yaml::load_string(
                              "{delay: '20ms', jitter: '2ms', loss: '0.5%', rate: '100mbit', reorder: '1%'}"));
  EXPECT_TRUE(parse_impairment(Value(), "r1", problems).empty());
  EXPECT_TRUE(problems.empty()) << joined(problems);

  // Every problem of a declaration at once, each under the caller's location;
  // the settings with problems are left out.
  const std::string where = "device 'r1', interface 'eth1'";
  const Impairment bad =
      parse_impairment(tarvex::utils::yaml::load_string(
                           "{delay: 20, loss: 0.5, rate: 10mbit, color: red, 7: 1ms, corrupt: ~, reorder: 1%}"),
                       where, problems);
  EXPECT_EQ(joined(problems),
            where + ": impair delay '20' has no unit of time (us, ms or s)\n" +  //
                where + ": impair loss '0.5' has no '%' (write 0.5%)\n" +        //
                where +
                ": impair has no setting 'color' (delay, jitter, loss, rate, duplicate, corrupt, reorder)\n" +    //
                where + ": impair has no setting 7 (delay, jitter, loss, rate, duplicate, corrupt, reorder)\n" +  //
                where + ": impair corrupt has no value\n");
  // The reorder is not blamed on the delay that had a problem of its own.
  EXPECT_EQ(bad.text(), "rate 10mbit reorder 1%");

  problems.clear();
  parse_impairment(tarvex::utils::yaml::load_string("[delay, 20ms]"), where, problems);
  EXPECT_EQ(joined(problems),
            where + ": impair ['delay', '20ms'] is not a mapping of settings (such as {delay: 20ms, loss: 1%})\n");
}

TEST(ImpairmentValue, CanonicalTextsReadBackExactly) {
  std::vector<std::string> problems;
  for (const Probability p :
       {0U, 1U, 2U, 3U, 4294967U, 21474836U, 42949673U, 2147483647U, 2147483648U, kAlways - 1, kAlways}) {
    EXPECT_EQ(parse_percentage(percentage_text(p), "loss", "", problems), p) << percentage_text(p);
  }
  EXPECT_EQ(percentage_text(21474836), "0.5%");
  EXPECT_EQ(percentage_text(kAlways), "100%");
  for (const std::int64_t us : {0, 1, 999, 1000, 1001, 999999, 1000000, 1234567, 274877906}) {
    const std::chrono::microseconds time(us);
    EXPECT_EQ(parse_time(time_text(time), "delay", "", problems), time) << time_text(time);
  }
  for (const std::uint64_t bits :
       {8ULL, 8000ULL, 8008ULL, 1'048'576ULL, 123'456'784ULL, 17'179'869'176ULL, 8'000'000'000'000ULL}) {
    EXPECT_EQ(parse_rate(rate_text(bits), "rate", "", problems), bits) << rate_text(bits);
  }
  EXPECT_TRUE(problems.empty()) << joined(problems);
}

}  // namespace
}  // namespace tarvex::morvane::fabric
