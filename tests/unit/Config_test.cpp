#include <gtest/gtest.h>

#include "KelvoServer.Config.h"

TEST(Config, DefaultsWithoutFile) {
  TKelvoConfiguration config;
  config.LoadFromText("");
  EXPECT_EQ(config.FData.FDatabase, "kelvoserver.tvl");
  EXPECT_EQ(config.FData.FUsername, "sysdba");
  EXPECT_EQ(config.FServerLimits.FMaxConnections, 32);
  EXPECT_TRUE(config.FServerLogging.FAppend);
}
