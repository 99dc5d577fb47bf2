// The module's general task pool, offered to extension packages; the server itself queues no
// work on it. Class-level, like the module's other process-wide objects.
#pragma once

#include <functional>

#include "KelvoServer.BaseDAO.h"
#include "KelvoServer.TaskPool.h"

class TMEAPThreadPool {
 public:
  /// Creates the pool when absent.
  static void CreateThreadPool();
  /// Cancels items not yet started, waits for running ones and releases the pool. Harmless
  /// when there is no pool.
  static void ReleaseThreadPool();
  /// Queues a work item; it runs with a new connection object on `_RS_KELVO` of its own,
  /// released when the item ends. Null once the pool has been released (until created again).
  static TKelvoTaskRef QueueWorkItem(std::function<void(TConnectionObject&)> callback);
  static int GetCounter();
  static void CancelTask(const TKelvoTaskRef& task);
  static void CleanTaskList();
};
