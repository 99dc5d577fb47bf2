#include <gtest/gtest.h>

#include "KelvoServer.CommandLine.h"

TEST(CommandLine, OptionsMatchInTableOrder) {
  // -log0 is taken by the package option (short form -l) before the logging option sees it.
  const TServerCommandLine a({"-log0", "-g0"});
  EXPECT_EQ(a.FPackages, std::vector<std::string>{"og0"});
  EXPECT_FALSE(a.FLogging);
  EXPECT_FALSE(a.FHelp);

  const TServerCommandLine b({"-silent"});
  EXPECT_TRUE(b.FSilent);
  EXPECT_FALSE(b.FSetup);

  const TServerCommandLine c({"-s"});
  EXPECT_TRUE(c.FSetup);
  EXPECT_FALSE(c.FSilent);

  for (const char* start : {"-start", "-r", "-START"}) {
    const TServerCommandLine d({start});
    EXPECT_TRUE(d.FAutoStart) << start;
    EXPECT_FALSE(d.FHelp) << start;
  }

  const TServerCommandLine e({"-lload\"pkg\"", "-l\"with space.so\"", "-Lsecond.so"});
  EXPECT_EQ(e.FPackages, (std::vector<std::string>{"pkg", "with space.so", "second.so"}));
}

TEST(CommandLine, ValuesFlagsAndHelp) {
  struct TCase {
    std::vector<std::string> FParams;
    std::function<bool(const TServerCommandLine&)> FCheck;
  };
  const TCase cases[] = {
      {{"-port8081"}, [](const auto& c) { return c.FPort == "8081" && !c.FHelp; }},
      {{"-p9"}, [](const auto& c) { return c.FPort == "9"; }},
      {{"-ini/etc/x.ini"}, [](const auto& c) { return c.FIniFile == "/etc/x.ini"; }},
      {{"-i\"a b.ini\""}, [](const auto& c) { return c.FIniFile == "a b.ini"; }},
      {{"-log1"}, [](const auto& c) { return c.FPackages == std::vector<std::string>{"og1"} && c.FLogging; }},
      {{"-gx"}, [](const auto& c) { return !c.FLogging; }},  // not a number reads as 0
      {{"-g1"}, [](const auto& c) { return c.FLogging; }},
      {{"-upgrade", "-u"}, [](const auto& c) { return c.FUpgrade && !c.FHelp; }},
      {{"-setupx"}, [](const auto& c) { return c.FHelp && !c.FSetup; }},  // a flag must match exactly
      {{"-l"}, [](const auto& c) { return c.FHelp && c.FPackages.empty(); }},  // an empty value is no match
      {{"-l\"\""}, [](const auto& c) { return c.FHelp && c.FPackages.empty(); }},
      {{"plain"}, [](const auto& c) { return c.FHelp; }},
      {{"-zzz"}, [](const auto& c) { return c.FHelp; }},
      {{"-h"}, [](const auto& c) { return c.FHelp; }},
      {{}, [](const auto& c) { return !c.FHelp && c.FLogging && c.FPackages.empty(); }},
  };
  for (const auto& test : cases) {
    const TServerCommandLine line(test.FParams);
    std::string joined;
    for (const auto& p : test.FParams) joined += p + " ";
    EXPECT_TRUE(test.FCheck(line)) << joined;
  }
}

TEST(CommandLine, HelpText) {
  EXPECT_EQ(TServerCommandLine::GetHelp(),
            (std::vector<std::string>{"   -l[load]<package> - loads specified resource package",
                                      "   -i[ni]<ini file name> - loads specified INI file",
                                      "   -p[ort]<port> - specifies TCP/IP port to use",
                                      "   -[lo]g<1|0> - enables / disables log output",
                                      "   -s[etup] - runs initial setup mode",
                                      "   -u[pgrade] - runs version upgrade mode",
                                      "   -[sta]r[t] - starts server",
                                      "   -[silen]t - runs with minimal questions and outputs",
                                      "   -h[elp] - outputs this help"}));
}
