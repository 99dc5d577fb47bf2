// The data layer's pure parts: connection parameter lines, the connect string made from them,
// statement text handling, version comparison, custom-field name checks, tokens and salts.
#include <gtest/gtest.h>

#include <set>

#include "KelvoData.Firebird.h"
#include "KelvoServer.BaseAPI.h"
#include "KelvoServer.BaseDAO.h"
#include "KelvoServer.Utility.h"

using TOpt = TConnectionObject::TConnectionOption;

struct TParamLinesCase {
  const char* FName;
  std::string FInstance;
  std::string FDatabase;
  std::string FSEPassword;
  TConnectionObject::TConnectionOptions FOptions;
  int FPooledMax;
  std::vector<std::string> FExpected;
};

class ConnectionParamLines : public ::testing::TestWithParam<TParamLinesCase> {};

TEST_P(ConnectionParamLines, AreBuiltInOrder) {
  const auto& c = GetParam();
  EXPECT_EQ(TConnectionObject::BuildConnectionParams(c.FInstance, c.FDatabase, "sysdba", "pw", c.FSEPassword,
                                                     c.FOptions, c.FPooledMax),
            c.FExpected);
}

INSTANTIATE_TEST_SUITE_P(
    Data, ConnectionParamLines,
    ::testing::Values(
        TParamLinesCase{"TwoColonsNameTheirOwnServer", "", "srv:C:\\data\\kelvoserver.tvl", "", {TOpt::UTF8}, 0,
                        {"Database=srv:C:\\data\\kelvoserver.tvl", "User_Name=sysdba", "Password=pw", "CharacterSet=UTF8"}},
        TParamLinesCase{"OneColonIsAPathOnLocalhost", "", "C:\\data\\k.tvl", "", {}, 0,
                        {"Database=C:\\data\\k.tvl", "Server=localhost", "User_Name=sysdba", "Password=pw"}},
        TParamLinesCase{"ServerSlashInstance", "srv/inst", "k.tvl", "", {}, 0,
                        {"Database=k.tvl", "Server=srv", "InstanceName=inst", "User_Name=sysdba", "Password=pw"}},
        TParamLinesCase{"InstanceAloneIsOnLocalhost", "inst", "k.tvl", "", {}, 0,
                        {"Database=k.tvl", "Server=localhost", "InstanceName=inst", "User_Name=sysdba", "Password=pw"}},
        TParamLinesCase{"PooledMaxZeroWritesNoMaximum", "", "k.tvl", "", {TOpt::Pooled, TOpt::UTF8}, 0,
                        {"Database=k.tvl", "Server=localhost", "User_Name=sysdba", "Password=pw", "Pooled=True",
                         "CharacterSet=UTF8"}},
        TParamLinesCase{"PooledMaxAndCreateAndSEPassword", "", "k.tvl", "enc", {TOpt::Pooled, TOpt::OpenModeCreate}, 12,
                        {"Database=k.tvl", "Server=localhost", "User_Name=sysdba", "Password=pw", "SEPassword=enc",
                         "Pooled=True", "POOL_MaximumItems=12", "OpenMode=Create"}},
        TParamLinesCase{"MaximumWithoutPooledIsIgnored", "", "k.tvl", "", {}, 12,
                        {"Database=k.tvl", "Server=localhost", "User_Name=sysdba", "Password=pw"}}),
    [](const auto& info) { return std::string(info.param.FName); });

TEST(ConnectParams, LinesBecomeTheStringTheEngineOpens) {
  struct Case {
    std::vector<std::string> FLines;
    std::string FBaseDir;
    std::string FConnectString;
    bool FEmbedded;
  };
  const Case cases[] = {
      {{"Database=kelvo.fdb", "Server=localhost"}, "/etc/kelvo", "/etc/kelvo/kelvo.fdb", true},
      {{"Database=/var/db/kelvo.fdb", "Server=localhost"}, "/etc/kelvo", "/var/db/kelvo.fdb", true},
      {{"Database=../db/kelvo.fdb", "Server=localhost"}, "/etc/kelvo", "/etc/db/kelvo.fdb", true},
      {{"Database=dbhost:/var/db/kelvo.fdb"}, "/etc/kelvo", "dbhost:/var/db/kelvo.fdb", false},
      // One colon on Linux is a host, not a drive letter: use it as it stands.
      {{"Database=dbhost:/var/db/kelvo.fdb", "Server=localhost"}, "/etc/kelvo", "dbhost:/var/db/kelvo.fdb", false},
      {{"Database=/db/k.fdb", "Server=srv", "InstanceName=3051"}, "", "srv/3051:/db/k.fdb", false},
      {{"Database=/db/k.fdb", "Server=localhost", "InstanceName=3051"}, "", "localhost/3051:/db/k.fdb", false},
      {{"Database=/db/k.fdb", "Server=srv"}, "", "srv:/db/k.fdb", false},
  };
  for (const auto& c : cases) {
    const auto p = TFBConnectParams::FromLines(c.FLines, c.FBaseDir);
    EXPECT_EQ(p.FConnectString, c.FConnectString) << c.FLines[0];
    EXPECT_EQ(p.FEmbedded, c.FEmbedded) << c.FLines[0];
  }
  const auto p = TFBConnectParams::FromLines({"Database=k.fdb", "Server=localhost", "User_Name=sysdba", "Password=pw",
                                              "SEPassword=x", "Pooled=True", "POOL_MaximumItems=7",
                                              "CharacterSet=UTF8", "OpenMode=Create"});
  EXPECT_EQ(p.FUserName, "sysdba");
  EXPECT_EQ(p.FPassword, "pw");
  EXPECT_TRUE(p.FPooled);
  EXPECT_EQ(p.FPoolMax, 7);
  EXPECT_EQ(p.FCharacterSet, "UTF8");
  EXPECT_TRUE(p.FCreate);
}

TEST(StatementText, NamedParametersBecomePositionalOutsideQuotesAndComments) {
  const auto t = TranslateNamedParameters(
      "select ':a', \"x:y\", a.b from T where X = :p1 and Y=:P_2 -- :c\n/* :d */ and Z = :p1 || '::' and :x");
  EXPECT_EQ(t.FSQL, "select ':a', \"x:y\", a.b from T where X = ? and Y=? -- :c\n/* :d */ and Z = ? || '::' and ?");
  EXPECT_EQ(t.FNames, (std::vector<std::string>{"P1", "P_2", "P1", "X"}));
  // A doubled quote stays inside its string.
  EXPECT_EQ(TranslateNamedParameters("'it''s :not' = :yes").FNames, std::vector<std::string>{"YES"});
}

TEST(StatementText, ScriptsSplitOnTheCurrentTerminator) {
  const auto s = SplitSQLScript(
      "SET SQL DIALECT 3;\n-- comment; with semicolon\nCREATE TABLE A (X INTEGER);\n"
      "SET TERM ^ ;\nCREATE PROCEDURE P AS BEGIN INSERT INTO A VALUES (1); END^\nSET TERM ; ^\n"
      "INSERT INTO A VALUES (';');\nCOMMIT;");
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0], "CREATE TABLE A (X INTEGER)");
  EXPECT_EQ(s[1], "CREATE PROCEDURE P AS BEGIN INSERT INTO A VALUES (1); END");
  EXPECT_EQ(s[2], "INSERT INTO A VALUES (';')");
}

TEST(DBVersion, ComparesMajorAndMinorOnly) {
  using R = TCompareDBVersionResult;
  struct Case {
    const char* FActual;
    const char* FExpected;
    R FResult;
  };
  const Case cases[] = {
      {"1.33", "1.33", R::Equal},       {"1.32", "1.33", R::UpdgradeNeeded}, {"2.0", "1.33", R::DowngradeNeeded},
      {"1.33.7", "1.33", R::Equal},     {"1", "1.0", R::Equal},              {"1.5", "1.33", R::UpdgradeNeeded},
      {"", "", R::Equal},               {"V1.33", "v1.33", R::Equal},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TServerAPIHelpers::CompareActualToExpectedDBVersion(c.FActual, c.FExpected), c.FResult)
        << c.FActual << " vs " << c.FExpected;
  EXPECT_THROW(TServerAPIHelpers::CompareActualToExpectedDBVersion("1.x", "1.33"), EConvertError);
  EXPECT_THROW(TServerAPIHelpers::CompareActualToExpectedDBVersion("abc", "1.33"), EConvertError);
}

TEST(CustomFieldNames, KeyCharacterRules) {
  struct Case {
    const char* FName;
    const char* FMessage;  // empty: accepted
  };
  const Case cases[] = {
      {"city", ""},
      {"2nd", "First key character cannot be numeric \"2nd\""},
      {"a/b", "Invalid character found in Key Name \"a/b\""},
      {"9a?", "Invalid character found in Key Name \"9a?\""},  // the later rule wins
      {"\xD9\xA3x", "First key character cannot be numeric \"\xD9\xA3x\""},  // Arabic-Indic three
      {"x2", ""},
      {"ä", ""},
      {"", "Key Name cannot be empty"},
  };
  for (const auto& c : cases) EXPECT_EQ(TValidate::KeyCharactersProblem(c.FName), c.FMessage) << c.FName;
  for (const char* bad : {"a!", "a#", "a$", "a%", "a?"}) EXPECT_NE(TValidate::KeyCharactersProblem(bad), "") << bad;
}

TEST(CustomFieldNames, ConflictsAreCollectedAndBadNamesRaiseAtOnce) {
  const std::vector<std::string> user_fields = {"USERID", "USERNAME", "ISACTIVE", "CREATED", "LASTMODIFIED", "CREATOR", "TID"};
  try {
    TValidate::ValidateDetails<EBaseAPIInvalidParametersError>(user_fields, {{"username", "x"}, {"city", "Rome"},
                                                                            {"Created", "y"}, {"username", "z"}});
    FAIL();
  } catch (const EBaseAPIInvalidParametersError& e) {
    EXPECT_STREQ(e.what(),
                 "Operation could not be completed because one or more dynamic names conflicts with a static name.  "
                 "Conflict(s): Created,username");
  }
  // A bad character is reported before any conflict, even one found earlier.
  EXPECT_EQ(TValidate::DetailsProblem(user_fields, {{"username", "x"}, {"a/b", "y"}}),
            "Invalid character found in Key Name \"a/b\"");
  EXPECT_NO_THROW(TValidate::ValidateDetails(user_fields, {{"city", "Rome"}, {"tid2", "x"}}));
}

TEST(Authentication, TokensSaltsAndHashes) {
  EXPECT_EQ(TAuthentication::HashMd5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(TAuthentication::HashMd5("secretabc123"), TAuthentication::HashMd5(std::string("secret") + "abc123"));
  EXPECT_EQ(TAuthentication::HashMd5("Gr\xC3\xBC\xC3\x9F" "e"), "49c5f675b49037b6044b803ac9d1a6d7");  // UTF-8 bytes

  std::set<std::string> tokens;
  for (int i = 0; i < 200; ++i) {
    const std::string t = TAuthentication::GenerateSessionID("same-user");
    ASSERT_EQ(t.size(), 32u);
    EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos) << t;
    tokens.insert(t);
  }
  EXPECT_EQ(tokens.size(), 200u) << "tokens for one user at one moment must still differ";

  const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ01239456789!$%&/()=;:-";
  std::set<char> seen;
  for (int i = 0; i < 2000; ++i) {
    const std::string s = TAuthentication::GenerateSalt();
    ASSERT_EQ(s.size(), 6u);
    for (char ch : s) {
      ASSERT_NE(alphabet.find(ch), std::string::npos) << s;
      seen.insert(ch);
    }
  }
  EXPECT_EQ(seen.size(), 73u) << "every character of the alphabet occurs";

  const std::string g = NewGUIDText();
  ASSERT_EQ(g.size(), 36u);
  for (size_t i : {8u, 13u, 18u, 23u}) EXPECT_EQ(g[i], '-');
  EXPECT_EQ(g.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << g;
  EXPECT_NE(NewGUIDText(), g);
}
