// The diagnostic log file: a valid JSON document in every state it can be closed in, whole
// entries under concurrent writers, and the records with their members in order.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <functional>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "KelvoHosting.LogHelpers.h"
#include "KelvoHosting.LoggingService.h"
#include "KelvoServer.Config.h"
#include "KelvoTestSupport.h"

namespace {

std::string ToText(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

// Every JSON document in `text`, one after the other; fails the test on anything else.
std::vector<rapidjson::Document> ParseDocuments(const std::string& text) {
  std::vector<rapidjson::Document> documents;
  rapidjson::StringStream stream(text.c_str());
  for (;;) {
    while (stream.Peek() == '\n' || stream.Peek() == ' ') stream.Take();
    if (stream.Peek() == '\0') break;
    rapidjson::Document doc;
    doc.ParseStream<rapidjson::kParseStopWhenDoneFlag>(stream);
    if (doc.HasParseError()) {
      ADD_FAILURE() << "not JSON at offset " << doc.GetErrorOffset() << " of:\n" << text;
      break;
    }
    documents.push_back(std::move(doc));
  }
  return documents;
}

rapidjson::Document Object(const char* json) {
  rapidjson::Document doc;
  doc.Parse(json);
  return doc;
}

void ExpectHeader(const rapidjson::Document& doc) {
  ASSERT_TRUE(doc.IsObject());
  ASSERT_EQ(doc.MemberCount(), 3u);
  auto it = doc.MemberBegin();
  EXPECT_STREQ(it->name.GetString(), "Application");
  EXPECT_TRUE(it->value.IsString() && it->value.GetStringLength() > 0);
  ++it;
  EXPECT_STREQ(it->name.GetString(), "Started");
  EXPECT_TRUE(std::regex_match(
      it->value.GetString(),
      std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)")))
      << it->value.GetString();
  ++it;
  EXPECT_STREQ(it->name.GetString(), "Log");
  EXPECT_TRUE(it->value.IsArray());
}

class LoggingServiceTest : public ::testing::Test {
 protected:
  TTempDir FDir;
  TKelvoLoggingService FService;
  std::string FFile = FDir.File("kelvo.log");
};

}  // namespace

struct TFileCase {
  const char* FName;
  std::vector<int> FEntriesPerRun;  // one run per element: open, write, close
  bool FAppend;
  std::vector<int> FExpectedDocuments;  // entries per document found in the file
};

class LogFileDocuments : public LoggingServiceTest, public ::testing::WithParamInterface<TFileCase> {};

TEST_P(LogFileDocuments, FileIsValidJSONWhenClosed) {
  const auto& c = GetParam();
  int n = 0;
  for (int entries : c.FEntriesPerRun) {
    FService.SetupFileOutput(FFile, c.FAppend);
    ASSERT_TRUE(FService.GetLoggingEnabled());
    for (int i = 0; i < entries; ++i) {
      auto record = Object(R"({"Resource":"users","Text":"quote \" slash \\ \u00e9"})");
      record.AddMember("N", n++, record.GetAllocator());
      FService.Log("Request", record);
    }
    FService.SetupFileOutput("", false);
    EXPECT_FALSE(FService.GetLoggingEnabled());
  }
  const auto documents = ParseDocuments(ReadTextFile(FFile));
  ASSERT_EQ(documents.size(), c.FExpectedDocuments.size());
  // Entries are numbered across runs; a replaced file holds only the last run's.
  int expected_n = n;
  for (int e : c.FExpectedDocuments) expected_n -= e;
  for (size_t d = 0; d < documents.size(); ++d) {
    ExpectHeader(documents[d]);
    const auto& log = documents[d]["Log"];
    ASSERT_EQ(log.Size(), static_cast<unsigned>(c.FExpectedDocuments[d]));
    for (const auto& entry : log.GetArray()) {
      ASSERT_EQ(entry.MemberCount(), 2u);
      EXPECT_STREQ(entry.MemberBegin()->name.GetString(), "Thread");
      EXPECT_TRUE(entry["Thread"].IsUint64());
      const auto& record = entry["Request"];
      EXPECT_EQ(record["N"].GetInt(), expected_n++);
      EXPECT_EQ(std::string(record["Text"].GetString()), "quote \" slash \\ \xc3\xa9");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, LogFileDocuments,
    ::testing::Values(TFileCase{"NoEntries", {0}, true, {0}},
                      TFileCase{"OneEntry", {1}, true, {1}},
                      TFileCase{"SeveralEntries", {5}, true, {5}},
                      TFileCase{"RestartAppends", {3, 2}, true, {3, 2}},
                      TFileCase{"RestartEmptyThenEntries", {0, 2}, true, {0, 2}},
                      TFileCase{"RestartReplaces", {3, 2}, false, {2}}),
    [](const auto& info) { return std::string(info.param.FName); });

TEST_F(LoggingServiceTest, DestroyingTheServiceClosesTheDocument) {
  {
    TKelvoLoggingService service;
    service.SetupFileOutput(FFile, false);
    service.Log("Trace", Object(R"({"Message":"x"})"));
  }
  const auto documents = ParseDocuments(ReadTextFile(FFile));
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_EQ(documents[0]["Log"].Size(), 1u);
}

TEST_F(LoggingServiceTest, UnopenableFileLeavesLoggingDisabled) {
  FService.SetupFileOutput(FDir.File("missing/dir/kelvo.log"), true);
  EXPECT_FALSE(FService.GetLoggingEnabled());
  EXPECT_EQ(FService.GetFileName(), "");
  FService.Log("Trace", Object(R"({"Message":"x"})"));  // must not crash
  // An open file stays usable after a failed switch: the old one was closed properly first.
  FService.SetupFileOutput(FFile, false);
  FService.SetupFileOutput(FDir.File("missing/kelvo.log"), false);
  EXPECT_EQ(ParseDocuments(ReadTextFile(FFile)).size(), 1u);
}

TEST_F(LoggingServiceTest, CustomOutputAndItsEnabledTest) {
  EXPECT_FALSE(FService.GetLoggingEnabled());
  std::vector<std::string> received;
  bool enabled = false;
  FService.SetupCustomOutput([&] { return enabled; },
                             [&](const std::string& category, const rapidjson::Value& entry) {
                               received.push_back(category + " " + ToText(entry[category.c_str()]));
                             },
                             false);
  EXPECT_FALSE(FService.GetLoggingEnabled());
  FService.Log("Trace", Object(R"({"Message":"off"})"));
  enabled = true;
  EXPECT_TRUE(FService.GetLoggingEnabled());
  FService.Log("Trace", Object(R"({"Message":"on"})"));
  EXPECT_EQ(received, std::vector<std::string>{R"(Trace {"Message":"on"})"});

  // A log file makes logging enabled whatever the custom test says; the test still gates the
  // custom output itself.
  FService.SetupFileOutput(FFile, false);
  enabled = false;
  EXPECT_TRUE(FService.GetLoggingEnabled());
  FService.Log("Trace", Object(R"({"Message":"file only"})"));
  EXPECT_EQ(received.size(), 1u);

  // No enabled test: always enabled.
  FService.SetupFileOutput("", false);
  FService.SetupCustomOutput(nullptr, [&](const std::string&, const rapidjson::Value&) {
    received.push_back("x");
  }, true);
  EXPECT_TRUE(FService.GetLoggingEnabled());
  FService.SetupCustomOutput(nullptr, nullptr, false);
  EXPECT_FALSE(FService.GetLoggingEnabled());
}

TEST_F(LoggingServiceTest, SynchronizedCustomOutputIsNeverEnteredTwice) {
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> calls{0};
  FService.SetupCustomOutput(nullptr, [&](const std::string&, const rapidjson::Value&) {
    if (inside.fetch_add(1) != 0) ++overlaps;
    std::this_thread::yield();
    ++calls;
    inside.fetch_sub(1);
  }, true);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) FService.Log("Trace", Object(R"({"Message":"m"})"));
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(calls.load(), 2000);
  EXPECT_EQ(overlaps.load(), 0);
}

TEST_F(LoggingServiceTest, ConcurrentWritersGiveWholeEntriesInEachThreadsOrder) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 1000;
  FService.SetupFileOutput(FFile, false);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kPerThread; ++i) {
        rapidjson::Document record;
        record.SetObject();
        record.AddMember("Writer", t, record.GetAllocator());
        record.AddMember("N", i, record.GetAllocator());
        FService.Log("Trace", record);
      }
    });
  }
  for (auto& t : threads) t.join();
  FService.SetupFileOutput("", false);

  const auto documents = ParseDocuments(ReadTextFile(FFile));
  ASSERT_EQ(documents.size(), 1u);
  const auto& log = documents[0]["Log"];
  ASSERT_EQ(log.Size(), static_cast<unsigned>(kThreads * kPerThread));
  std::map<int, int> next;  // writer -> next expected N
  std::map<int, uint64_t> thread_of;
  for (const auto& entry : log.GetArray()) {
    const int writer = entry["Trace"]["Writer"].GetInt();
    EXPECT_EQ(entry["Trace"]["N"].GetInt(), next[writer]++);
    // One writer is one OS thread, and distinct writers are distinct threads.
    auto [it, fresh] = thread_of.emplace(writer, entry["Thread"].GetUint64());
    if (!fresh) {
      EXPECT_EQ(it->second, entry["Thread"].GetUint64());
    }
  }
  EXPECT_EQ(next.size(), static_cast<size_t>(kThreads));
  std::set<uint64_t> ids;
  for (const auto& [writer, id] : thread_of) ids.insert(id);
  EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads));
}

TEST_F(LoggingServiceTest, SwitchingFilesWhileThreadsWriteLosesNoEntry) {
  const std::vector<std::string> files = {FDir.File("a.log"), FDir.File("b.log"),
                                          FDir.File("c.log")};
  FService.SetupFileOutput(files[0], false);
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&] {
      while (!done.load()) FService.Log("Trace", Object(R"({"Message":"m"})"));
    });
  }
  for (int round = 0; round < 30; ++round) {
    FService.SetupFileOutput(files[(round + 1) % files.size()], true);
  }
  done = true;
  for (auto& t : writers) t.join();
  FService.SetupFileOutput("", false);
  // Every open/close pair left one whole document, whatever entries raced with the switch.
  size_t documents = 0;
  for (const auto& file : files) documents += ParseDocuments(ReadTextFile(file)).size();
  EXPECT_EQ(documents, 31u);
}

// Records: written through the registry, captured by a custom output.
class LogRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterKelvoLoggingService();
    auto setup = KelvoServices().Get<IKelvoLoggingSetupService>();
    setup->SetupCustomOutput(nullptr, [this](const std::string& category,
                                             const rapidjson::Value& entry) {
      FRecords.push_back(category + " " + ToText(entry[category.c_str()]));
    }, false);
  }
  void TearDown() override { UnregisterKelvoLoggingService(); }
  std::vector<std::string> FRecords;
};

TEST_F(LogRecordsTest, MembersInOrder) {
  struct TCase {
    std::function<void()> FWrite;
    const char* FExpected;
  };
  const std::runtime_error failure("no such file");
  const TCase cases[] = {
      {[] { TKelvoLogHelpers::LogHTTPError(404, "Error", "Resource not found: /x", ""); },
       R"(Error {"Type":"HTTP","Code":"404","Reason":"Error","Error":"Resource not found: /x","Description":""})"},
      {[&] { TKelvoLogHelpers::LogPackageError("/p/lib.so", failure); },
       R"(Error {"Type":"Package","Filename":"/p/lib.so","Exception":"runtime_error","Message":"no such file"})"},
      {[&] { TKelvoLogHelpers::LogOtherError(failure); },
       R"(Error {"Type":"Other","Exception":"runtime_error","Message":"no such file"})"},
      {[] { TKelvoLogHelpers::LogLoading("/p/lib.so"); }, R"(Loading {"Filename":"/p/lib.so"})"},
      {[] { TKelvoLogHelpers::LogLoaded("/p/lib.so"); }, R"(Loaded {"Filename":"/p/lib.so"})"},
      {[] { TKelvoLogHelpers::LogRegACL("users", R"({"public":true})"); },
       R"(RegACL {"Resource":"users","ACL":{"public":true}})"},
      {[] { TKelvoLogHelpers::LogRegACL("users", "[1,2]"); },
       R"(RegACL {"Resource":"users","ACL":{"InvalidJSON":"[1,2]"}})"},
      {[] { TKelvoLogHelpers::LogRegRedirect("users", "{bad"); },
       R"(RegRedirect {"Resource":"users","Redirect":{"InvalidJSON":"{bad"}})"},
      {[] { TKelvoLogHelpers::LogRegResource("Users", {"GetUsers", "LoginUser"}); },
       R"(RegResource {"Resource":"Users","Endpoints":["GetUsers","LoginUser"]})"},
      {[] { TKelvoLogHelpers::LogRegResource("Empty", {}); },
       R"(RegResource {"Resource":"Empty","Endpoints":[]})"},
      {[] { TKelvoLogHelpers::LogConfigLoaded("/etc/k.ini", false); },
       R"(ConfigLoaded {"Filename":"/etc/k.ini","Exists":false})"},
      {[] { TKelvoLogHelpers::LogDBConnection("", "/d/k.fdb"); },
       R"(DBConnection {"InstanceName":"","Filename":"/d/k.fdb"})"},
      {[] { TKelvoLogHelpers::LogTrace("hello"); }, R"(Trace {"Message":"hello"})"},
      {[] { TKelvoLogHelpers::LogPush("Queued", "TGcmPushNotification"); },
       R"(Push {"action":"Queued","type":"TGcmPushNotification"})"},
      {[] { TKelvoLogHelpers::LogPublicPath("/img", "/srv/img", "", {}, {}, ""); },
       R"(PublicPath {"LogicalPath":"/img","PublicDirectory":"/srv/img"})"},
      {[] { TKelvoLogHelpers::LogPublicPath("/img", "/srv/img", "index.html", {"image/*"}, {".png"}, "utf-8"); },
       R"(PublicPath {"LogicalPath":"/img","PublicDirectory":"/srv/img","DefaultFile":"index.html","Mimes":["image/*"],"Extensions":[".png"],"Charset":"utf-8"})"},
  };
  for (const auto& c : cases) {
    FRecords.clear();
    c.FWrite();
    ASSERT_EQ(FRecords.size(), 1u) << c.FExpected;
    EXPECT_EQ(FRecords[0], c.FExpected);
  }
}

TEST_F(LogRecordsTest, RequestAndRedirectCarryTheLocalTime) {
  const std::regex time_member(R"(,"Time":"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"\}$)");
  TKelvoLogHelpers::LogRequest("Users", "LoginUser", "POST", "");
  TKelvoLogHelpers::LogRequest("Users", "GetUser", "GET", "u-1");
  TKelvoLogHelpers::LogRedirect("Users", "GetUser", "Other", "GetThing");
  ASSERT_EQ(FRecords.size(), 3u);
  EXPECT_EQ(FRecords[0].rfind(R"x(Request {"Resource":"Users","Endpoint":"LoginUser","Method":"POST","User":"(blank)","Time":")x", 0), 0u) << FRecords[0];
  EXPECT_EQ(FRecords[1].rfind(R"(Request {"Resource":"Users","Endpoint":"GetUser","Method":"GET","User":"u-1","Time":")", 0), 0u) << FRecords[1];
  EXPECT_EQ(FRecords[2].rfind(R"(Redirect {"Resource":"Users","Endpoint":"GetUser","DestinationResource":"Other","DestinationEndpoint":"GetThing","Time":")", 0), 0u) << FRecords[2];
  for (const auto& record : FRecords) EXPECT_TRUE(std::regex_search(record, time_member)) << record;
}

TEST_F(LogRecordsTest, NothingIsWrittenWhenLoggingIsDisabled) {
  KelvoServices().Get<IKelvoLoggingSetupService>()->SetupCustomOutput(
      [] { return false; },
      [this](const std::string& c, const rapidjson::Value&) { FRecords.push_back(c); }, false);
  TKelvoLogHelpers::LogTrace("hidden");
  UnregisterKelvoLoggingService();
  TKelvoLogHelpers::LogTrace("no service");  // no logging service registered at all
  EXPECT_TRUE(FRecords.empty());
}

TEST_F(LogRecordsTest, SetupFromConfigurationOpensTheFileAndLogsConfigLoaded) {
  TTempDir dir;
  const std::string ini = dir.File("kelvoserver.ini");
  WriteTextFile(ini, "[Server.Logging]\nFileName=server.log\nAppend=0\n");
  TKelvoConfiguration config(ini);
  config.Load();
  KelvoServices().Get<IKelvoLoggingSetupService>()->SetupCustomOutput(nullptr, nullptr, false);
  TKelvoLogHelpers::SetupLogging(config);
  // The relative name is taken beside the configuration file, not in the process's directory.
  const std::string log_file = dir.File("server.log");
  UnregisterKelvoLoggingService();
  const auto documents = ParseDocuments(ReadTextFile(log_file));
  ASSERT_EQ(documents.size(), 1u);
  ASSERT_EQ(documents[0]["Log"].Size(), 1u);
  const auto& record = documents[0]["Log"][0]["ConfigLoaded"];
  EXPECT_EQ(ToText(record), R"({"Filename":")" + ini + R"(","Exists":true})");
}

TEST_F(LogRecordsTest, RegistrationIsRepeatable) {
  auto first = KelvoServices().Get<IKelvoLoggingService>();
  RegisterKelvoLoggingService();
  EXPECT_EQ(KelvoServices().Get<IKelvoLoggingService>(), first);
  UnregisterKelvoLoggingService();
  UnregisterKelvoLoggingService();
  EXPECT_EQ(KelvoServices().Get<IKelvoLoggingService>(), nullptr);
  EXPECT_EQ(KelvoServices().Get<IKelvoLoggingSetupService>(), nullptr);
}
