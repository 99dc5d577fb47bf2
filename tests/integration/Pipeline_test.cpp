#include <gtest/gtest.h>

#include "KelvoTestSupport.h"

TEST(ApachePipeline, RootAnswers200) {
  TApacheServer server("");
  EXPECT_EQ(HttpGet(server.Url("/")).FStatus, 200);
}
