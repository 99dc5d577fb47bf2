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

#include "KelvoHosting.LoggingService.h"
#include "KelvoInProcess.h"
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

TEST(LoggingRegistration, IsRepeatableAndRemovesOnlyItsOwnService) {
  RegisterKelvoLoggingService();
  auto first = KelvoServices().Get<IKelvoLoggingService>();
  ASSERT_NE(first, nullptr);
  RegisterKelvoLoggingService();
  EXPECT_EQ(KelvoServices().Get<IKelvoLoggingService>(), first);
  UnregisterKelvoLoggingService();
  UnregisterKelvoLoggingService();
  EXPECT_EQ(KelvoServices().Get<IKelvoLoggingService>(), nullptr);
  EXPECT_EQ(KelvoServices().Get<IKelvoLoggingSetupService>(), nullptr);
}

// What the running server writes: every record kind it produces, with its members in order,
// in a file that holds one valid document per start.
TEST(LogRecords, ServerRunsWriteCatalogueRecordsInOrder) {
  TTempDir dir;
  const std::string log_file = dir.File("server.log");
  const std::string logging = "[Server.Logging]\nFileName=" + log_file + "\n";
  // Registered at each module start, as the module does: shut-down clears the registry.
  RegisterKelvoLoggingService();
  {
    TInProcessServer server(logging + "Append=0\n[Server.Authorization]\nUsers={\"public\":true}\n"
                            "[Server.Redirect]\nOld={\"destination\":\"New\"}\n");
    RegisterResource(std::make_unique<TStubResource>("Old", "/old", "Plain"));
    RegisterResource(std::make_unique<TStubResource>("New", "/new", "Fresh"));
    EXPECT_EQ(server.Request("GET", "/old").FStatus, 200);
    EXPECT_EQ(server.Request("GET", "/nothing").FStatus, 404);
  }
  RegisterKelvoLoggingService();
  {
    // A second start appends; an ACL that is not JSON stops the start-up notification.
    TInProcessServer server(logging + "Append=1\n[Server.Authorization]\nBad=nope\n");
  }
  UnregisterKelvoLoggingService();

  const std::map<std::string, std::vector<std::string>> members = {
      {"Error/HTTP", {"Type", "Code", "Reason", "Error", "Description"}},
      {"Error/Other", {"Type", "Exception", "Message"}},
      // These runs have no database: the analytics rows they record are dropped and reported.
      {"Error/Analytics", {"Type", "Exception", "Message", "Rows"}},
      {"RegACL", {"Resource", "ACL"}},
      {"RegRedirect", {"Resource", "Redirect"}},
      {"RegResource", {"Resource", "Endpoints"}},
      {"ConfigLoaded", {"Filename", "Exists"}},
      {"DBConnection", {"InstanceName", "Filename"}},
      {"Error/Package", {"Type", "Filename", "Exception", "Message"}},
      {"Loading", {"Filename"}},
      {"Loaded", {"Filename"}},
      {"Push", {"action", "type"}},
      {"Request", {"Resource", "Endpoint", "Method", "User", "Time"}},
      {"Redirect", {"Resource", "Endpoint", "DestinationResource", "DestinationEndpoint", "Time"}},
      {"Trace", {"Message"}},
  };
  const auto documents = ParseDocuments(ReadTextFile(log_file));
  ASSERT_EQ(documents.size(), 2u);
  std::set<std::string> seen;
  for (const auto& doc : documents) {
    ExpectHeader(doc);
    for (const auto& entry : doc["Log"].GetArray()) {
      ASSERT_EQ(entry.MemberCount(), 2u);
      const auto& category = (entry.MemberBegin() + 1)->name;
      const auto& record = (entry.MemberBegin() + 1)->value;
      std::string kind = category.GetString();
      if (kind == "Error") kind += std::string("/") + record["Type"].GetString();
      seen.insert(kind);
      auto it = members.find(kind);
      ASSERT_NE(it, members.end()) << "unknown record " << ToText(entry);
      std::vector<std::string> names;
      for (const auto& m : record.GetObject()) names.push_back(m.name.GetString());
      EXPECT_EQ(names, it->second) << ToText(entry);
    }
  }
  for (const char* kind : {"ConfigLoaded", "DBConnection", "RegACL", "RegRedirect", "RegResource", "Request",
                           "Redirect", "Error/HTTP", "Error/Other"}) {
    EXPECT_EQ(seen.count(kind), 1u) << kind;
  }
  // Values where the catalogue fixes their form.
  const auto& first = documents[0]["Log"][0];
  ASSERT_TRUE(first.HasMember("ConfigLoaded"));
  EXPECT_TRUE(first["ConfigLoaded"]["Exists"].IsBool());
}
