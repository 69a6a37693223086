// The shared command-line parser: the forms an option may take, the usage
// errors, and the usage line and help generated from one table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdline.h"

namespace {

const cmdline::Program kProgram{
    "prog",
    "IN [OUT]",
    "Does things.",
    {{'s', 's', "slack", "S", "expected slack"},
     {'m', 'm', "segments", "M", "segmenting coefficient"},
     {'d', 'd', "debug", nullptr, "debug listings"},
     {300, 0, "out", "BASE", "output base\nsecond line"},
     {301, 0, "sequence", nullptr, "a flag sharing a prefix"}},
};

cmdline::Parsed run(std::vector<const char *> words) {
  words.insert(words.begin(), "prog");
  return cmdline::parse(kProgram, static_cast<int>(words.size()), words.data());
}

std::string error_of(std::vector<const char *> words) {
  try {
    run(std::move(words));
  } catch (const cmdline::UsageError &e) {
    return e.what();
  }
  return "(no error)";
}

TEST(Cmdline, OptionFormsOperandsAndActions) {
  cmdline::Parsed p = run({"a", "-dm4", "--slack", "-5", "--out=x", "-", "-s", "2", "--seg=7", "--", "-d", "--out"});
  ASSERT_EQ(p.action, cmdline::Parsed::RUN);
  std::vector<std::string> got;
  for (const cmdline::Option &o : p.options) got.push_back(std::to_string(o.key) + o.name + "=" + o.value);
  EXPECT_EQ(got, (std::vector<std::string>{"100-d=", "109-m=4", "115--slack=-5", "300--out=x", "115-s=2",
                                           "109--segments=7"}));
  EXPECT_EQ(p.operands, (std::vector<std::string>{"a", "-", "-d", "--out"}));
  EXPECT_EQ(cmdline::integer_value(p.options[1], 0, 10), 4);
  EXPECT_EQ(cmdline::real_value(p.options[2]), -5.0);
  EXPECT_EQ(run({"x", "--he"}).action, cmdline::Parsed::HELP);
  EXPECT_EQ(run({"-dV", "--bogus"}).action, cmdline::Parsed::VERSION);
}

TEST(Cmdline, UsageErrorsNameTheirReason) {
  EXPECT_EQ(error_of({"-o"}), "unknown option '-o'");
  EXPECT_EQ(error_of({"--bogus=1"}), "unknown option '--bogus'");
  EXPECT_EQ(error_of({"--se", "1"}), "option '--se' is ambiguous (--segments, --sequence)");
  EXPECT_EQ(error_of({"--debug=1"}), "option '--debug' takes no argument");
  EXPECT_EQ(error_of({"a", "-s"}), "option '-s' needs an argument (S)");
  EXPECT_EQ(error_of({"--slack"}), "option '--slack' needs an argument (S)");
  EXPECT_EQ(error_of({"-"}), "(no error)");
  cmdline::Parsed p = run({"-m", "4x", "-s", "inf"});
  EXPECT_THROW(cmdline::integer_value(p.options[0], 0, 10), cmdline::UsageError);
  EXPECT_THROW(cmdline::real_value(p.options[1]), cmdline::UsageError);
  EXPECT_THROW(cmdline::at_most_one_standard_input({"-", "a", "-"}), cmdline::UsageError);
  EXPECT_EQ(cmdline::usage_line(kProgram),
            "Usage: prog [-s S] [-m M] [-d] [--out=BASE] [--sequence] [-h] [-V] IN [OUT]");
}

}  // namespace
