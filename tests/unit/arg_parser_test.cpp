#include "cli/arg_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellucor {
namespace {

using namespace std::string_literals;

ArgToken short_token(char32_t c) { return ArgToken{ArgKind::Short, c, {}}; }
ArgToken long_token(std::string name) { return ArgToken{ArgKind::Long, 0, std::move(name)}; }
ArgToken value_token(std::string text) { return ArgToken{ArgKind::Value, 0, std::move(text)}; }

// Tokenises all of `args` with next_arg only; failures appear as "error: ...".
std::vector<std::string> tokens(std::vector<std::string> args) {
  ArgParser p(std::move(args));
  std::vector<std::string> out;
  for (int guard = 0; guard < 100; ++guard) {
    auto t = p.next_arg();
    if (!t) {
      out.push_back("error: " + t.error().message);
      continue;
    }
    if (!t->has_value()) break;
    out.push_back(arg_token_debug(**t));
  }
  return out;
}

TEST(ArgTokenDebug, Forms) {
  struct Case {
    ArgToken token;
    std::string debug;
  };
  const Case cases[] = {
      {short_token('x'), "Short('x')"},
      {short_token('\''), "Short('\\'')"},
      {short_token('"'), "Short('\"')"},
      {short_token('\\'), "Short('\\\\')"},
      {short_token('\n'), "Short('\\n')"},
      {short_token(U'\u00e9'), "Short('\u00e9')"},
      {short_token(0xFFFD), "Short('\ufffd')"},
      {long_token("name"), "Long(\"name\")"},
      {long_token("a\"b"), "Long(\"a\\\"b\")"},
      {long_token("it's"), "Long(\"it's\")"},
      {value_token("hello world"), "Value(\"hello world\")"},
      {value_token("tab\there\r\n\0end"s), "Value(\"tab\\there\\r\\n\\0end\")"},
      {value_token("esc\x1b[0m del\x7f"), "Value(\"esc\\u{1b}[0m del\\u{7f}\")"},
      {value_token("back\\slash \"q\""), "Value(\"back\\\\slash \\\"q\\\"\")"},
      {value_token("caf\xc3\xa9 \xe2\x80\x94 \xe2\x9c\x93"), "Value(\"caf\xc3\xa9 \xe2\x80\x94 \xe2\x9c\x93\")"},
      {value_token("rtl\xe2\x80\xae" "x"), "Value(\"rtl\\u{202e}x\")"},
      {value_token("zw\xe2\x80\x8b"), "Value(\"zw\\u{200b}\")"},
      {value_token("c1\xc2\x85"), "Value(\"c1\\u{85}\")"},
      // Bytes that are not UTF-8: stray, overlong, surrogate, cut short.
      {value_token("a\xff" "b"), "Value(\"a\\xFFb\")"},
      {value_token("\xc0\xaf"), "Value(\"\\xC0\\xAF\")"},
      {value_token("\xed\xa0\x80"), "Value(\"\\xED\\xA0\\x80\")"},
      {value_token("x\xe2\x82"), "Value(\"x\\xE2\\x82\")"},
      {value_token("\xf0\x9f\x98" "a\xf0\x9f\x98\x80"), "Value(\"\\xF0\\x9F\\x98a\xf0\x9f\x98\x80\")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(arg_token_debug(c.token), c.debug);
  }
}

TEST(ArgParser, TokenisingRules) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> tokens;
  };
  const Case cases[] = {
      {{}, {}},
      {{"get", "title"}, {"Value(\"get\")", "Value(\"title\")"}},
      {{"-"}, {"Value(\"-\")"}},
      {{"-abc"}, {"Short('a')", "Short('b')", "Short('c')"}},
      {{"--name", "--"}, {"Long(\"name\")"}},
      {{"--", "--name", "-x", "--"}, {"Value(\"--name\")", "Value(\"-x\")", "Value(\"--\")"}},
      {{"--", "-"}, {"Value(\"-\")"}},
      {{"-=", "-"}, {"Short('=')", "Value(\"-\")"}},
      {{"--a=b=c"}, {"Long(\"a\")", "error: unexpected argument for option '--a': \"b=c\""}},
      {{"--json=yes", "next"},
       {"Long(\"json\")", "error: unexpected argument for option '--json': \"yes\"", "Value(\"next\")"}},
      {{"--x="}, {"Long(\"x\")", "error: unexpected argument for option '--x': \"\""}},
      {{"-ab=c"}, {"Short('a')", "Short('b')", "error: unexpected argument for option '-b': \"c\""}},
      {{"-\xff" "a"}, {"Short('\ufffd')", "Short('a')"}},
      {{"-\xc3\xa9"}, {"Short('\u00e9')"}},
      {{"--na\xffme"}, {"Long(\"na\ufffdme\")"}},
      {{"--"}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tokens(c.args), c.tokens) << (c.args.empty() ? "" : c.args[0]);
  }
}

TEST(ArgParser, OptionValueSources) {
  // Attached value of a long option.
  {
    ArgParser p({"--field=pass=word", "rest"});
    ASSERT_TRUE(p.next_arg().value()->is_long("field"));
    EXPECT_EQ(p.option_value().value(), "pass=word");
    EXPECT_EQ(arg_token_debug(*p.next_arg().value()), "Value(\"rest\")");
  }
  // The next whole argument, whatever it looks like.
  for (std::string next : {"-x", "--", "--other", "-", ""}) {
    ArgParser p({"--field", next, "after"});
    ASSERT_TRUE(p.next_arg().value()->is_long("field"));
    EXPECT_EQ(p.option_value().value(), next);
    EXPECT_EQ(arg_token_debug(*p.next_arg().value()), "Value(\"after\")");
  }
  // The rest of a short cluster, one leading "=" dropped.
  for (auto [arg, value] : {std::pair{"-fvalue", "value"}, {"-f=value", "value"}, {"-f==v", "=v"},
                            {"-f=", ""}, {"-abf", "bf"}}) {
    ArgParser p({arg, "next"});
    ASSERT_EQ(p.next_arg().value()->kind, ArgKind::Short);
    EXPECT_EQ(p.option_value().value(), value) << arg;
    EXPECT_EQ(arg_token_debug(*p.next_arg().value()), "Value(\"next\")") << arg;
  }
  // A short option at the end of its cluster takes the next argument.
  {
    ArgParser p({"-f", "--x"});
    ASSERT_TRUE(p.next_arg().value()->is_short('f'));
    EXPECT_EQ(p.option_value().value(), "--x");
    EXPECT_FALSE(p.next_arg().value().has_value());
  }
  // After "--" a value is still the next argument.
  {
    ArgParser p({"--", "type", "-title"});
    ASSERT_TRUE(p.next_arg().value()->is_value());
    EXPECT_EQ(p.option_value().value(), "-title");
  }
  // Raw bytes pass through unchanged.
  {
    ArgParser p({"--file", "\xff\xfe"});
    ASSERT_TRUE(p.next_arg().value()->is_long("file"));
    EXPECT_EQ(p.option_value().value(), "\xff\xfe");
  }
}

TEST(ArgParser, MissingValueMessages) {
  {
    ArgParser p({"--field"});
    ASSERT_TRUE(p.next_arg().has_value());
    EXPECT_EQ(p.option_value().error().message, "missing argument for option '--field'");
  }
  {
    ArgParser p({"-xf"});
    ASSERT_TRUE(p.next_arg().has_value());
    ASSERT_TRUE(p.next_arg().value()->is_short('f'));
    EXPECT_EQ(p.option_value().error().message, "missing argument for option '-f'");
  }
  {
    ArgParser p({});
    EXPECT_EQ(p.option_value().error().message, "missing argument");
  }
  {
    // The title of `put credential`: a value is asked for after a positional.
    ArgParser p({"--username", "bob", "credential"});
    ASSERT_TRUE(p.next_arg().value()->is_long("username"));
    ASSERT_EQ(p.option_value().value(), "bob");
    ASSERT_TRUE(p.next_arg().value()->is_value());
    EXPECT_EQ(p.option_value().error().message, "missing argument");
  }
}

TEST(ArgParser, ErrorsBecomeArgumentErrors) {
  ArgParser p({"--json=yes"});
  ASSERT_TRUE(p.next_arg().has_value());
  const CliError e = error_from_arg_error(p.next_arg().error());
  EXPECT_EQ(e.error.code, "PL-2000");
  EXPECT_EQ(format_cli_error(e), "PL-2000: unexpected argument for option '--json': \"yes\"");
}

TEST(ArgParser, FromArgvDropsTheProgramNameAndStopsAtNull) {
  const char* argv[] = {"pellucor-cli", "get", nullptr, "never"};
  ArgParser p = ArgParser::from_argv(4, argv);
  EXPECT_EQ(p.next_arg().value()->text, "get");
  EXPECT_FALSE(p.next_arg().value().has_value());
  ArgParser none = ArgParser::from_argv(0, nullptr);
  EXPECT_FALSE(none.next_arg().value().has_value());
}

}  // namespace
}  // namespace pellucor
