// The general task pool: counting, failing items, cancelling and shutting down.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include <rapidjson/document.h>

#include "KelvoHosting.LoggingService.h"
#include "KelvoServer.TaskPool.h"

namespace {

using namespace std::chrono_literals;

// A gate that work items wait at until the test opens it.
struct TGate {
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FOpen = false;
  int FWaiting = 0;
  void Pass() {
    std::unique_lock<std::mutex> lock(FLock);
    ++FWaiting;
    FChanged.notify_all();
    FChanged.wait(lock, [this] { return FOpen; });
  }
  bool WaitForWaiting(int n) {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, 10s, [&] { return FWaiting >= n; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(FLock);
    FOpen = true;
    FChanged.notify_all();
  }
};

bool WaitUntil(const std::function<bool()>& pred) {
  for (int i = 0; i < 10000 && !pred(); ++i) std::this_thread::sleep_for(1ms);
  return pred();
}

}  // namespace

TEST(TaskPool, CountsUnfinishedItemsAndCleansFinishedTasks) {
  TKelvoTaskPool pool(2);
  TGate gate;
  auto a = pool.QueueWorkItem([&] { gate.Pass(); });
  auto b = pool.QueueWorkItem([&] { gate.Pass(); });
  auto c = pool.QueueWorkItem([] {});
  ASSERT_TRUE(gate.WaitForWaiting(2));
  EXPECT_EQ(pool.GetCounter(), 3);
  EXPECT_EQ(a->GetStatus(), TKelvoTaskStatus::Running);
  EXPECT_EQ(c->GetStatus(), TKelvoTaskStatus::WaitingToRun);  // both threads are busy
  gate.Open();
  ASSERT_TRUE(WaitUntil([&] { return pool.GetCounter() == 0; }));
  EXPECT_EQ(c->GetStatus(), TKelvoTaskStatus::Completed);
  EXPECT_EQ(pool.GetTaskCount(), 3u);
  pool.CleanTaskList();
  EXPECT_EQ(pool.GetTaskCount(), 0u);
}

TEST(TaskPool, FailingItemIsLoggedAndDoesNotStopThePool) {
  RegisterKelvoLoggingService();
  std::mutex lock;
  std::vector<std::string> messages;
  KelvoServices().Get<IKelvoLoggingSetupService>()->SetupCustomOutput(
      nullptr,
      [&](const std::string& category, const rapidjson::Value& entry) {
        std::lock_guard<std::mutex> guard(lock);
        messages.push_back(category + ":" + entry["Error"]["Message"].GetString());
      },
      false);
  TKelvoTaskPool pool(2);
  auto failing = pool.QueueWorkItem([] { throw std::runtime_error("item failed"); });
  std::atomic<bool> ran{false};
  pool.QueueWorkItem([&] { ran = true; });
  ASSERT_TRUE(WaitUntil([&] { return pool.GetCounter() == 0; }));
  EXPECT_TRUE(ran);
  EXPECT_EQ(failing->GetStatus(), TKelvoTaskStatus::Exception);
  UnregisterKelvoLoggingService();
  EXPECT_EQ(messages, std::vector<std::string>{"Error:item failed"});
}

TEST(TaskPool, CancelAndShutdownSkipItemsNotYetStarted) {
  std::atomic<int> ran{0};
  TGate gate;
  TKelvoTaskPool pool(1);
  auto running = pool.QueueWorkItem([&] { gate.Pass(); ++ran; });
  auto cancelled = pool.QueueWorkItem([&] { ++ran; });
  auto dropped = pool.QueueWorkItem([&] { ++ran; });
  ASSERT_TRUE(gate.WaitForWaiting(1));
  pool.CancelTask(cancelled);
  pool.CancelTask(running);  // already running: it finishes
  EXPECT_EQ(cancelled->GetStatus(), TKelvoTaskStatus::Canceled);
  EXPECT_EQ(pool.GetTaskCount(), 1u);
  std::thread opener([&] {
    std::this_thread::sleep_for(20ms);
    gate.Open();
  });
  pool.Shutdown();  // waits for the running item, skips the queued one
  opener.join();
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(running->GetStatus(), TKelvoTaskStatus::Completed);
  EXPECT_EQ(dropped->GetStatus(), TKelvoTaskStatus::Canceled);
  EXPECT_EQ(pool.GetCounter(), 0);
  EXPECT_EQ(pool.QueueWorkItem([] {}), nullptr);
  pool.Shutdown();
}

