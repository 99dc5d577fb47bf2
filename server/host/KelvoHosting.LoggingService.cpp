#include "KelvoHosting.LoggingService.h"

#include "KelvoServerAPI.JSON.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "KelvoServer.Config.h"
#include "KelvoServerAPI.Format.h"

namespace {

// The kernel's id of the calling thread: the number that ps, top and gdb show.
uint64_t CurrentThreadId() {
  thread_local const uint64_t id = static_cast<uint64_t>(::syscall(SYS_gettid));
  return id;
}

// Local time with milliseconds and the offset from UTC: 2026-12-11T09:27:24.120+01:00.
std::string LocalTimeISO8601(std::chrono::system_clock::time_point now) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          now.time_since_epoch()).count() % 1000;
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  const long offset_minutes = local.tm_gmtoff / 60;
  const long abs_offset = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  char text[64];
  std::snprintf(text, sizeof text, "%s.%03d%c%02ld:%02ld", stamp, static_cast<int>(millis),
                offset_minutes < 0 ? '-' : '+', abs_offset / 60, abs_offset % 60);
  return text;
}

// The header line up to and including the opening bracket of the "Log" array.
std::string HeaderLine() {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("Application");
  writer.String(TKelvoConfiguration::CurrentDirectory() + TKelvoConfiguration::ModuleFileName());
  writer.Key("Started");
  writer.String(LocalTimeISO8601(std::chrono::system_clock::now()));
  writer.Key("Log");
  writer.StartArray();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

void WriteText(std::FILE* file, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), file);
}

std::shared_ptr<TKelvoLoggingService>& ServiceInstance() {
  static std::shared_ptr<TKelvoLoggingService> service;
  return service;
}

}  // namespace

TKelvoLoggingService::~TKelvoLoggingService() {
  std::lock_guard<std::mutex> lock(FWriterLock);
  CloseFile();
  FOutput.store(nullptr);
}

bool TKelvoLoggingService::GetLoggingEnabled() const {
  if (FFileOpen.load(std::memory_order_acquire)) return true;
  const auto output = FOutput.load();
  if (!output) return false;
  return !output->FEnabledFunc || output->FEnabledFunc();
}

void TKelvoLoggingService::Log(const std::string& category, const rapidjson::Value& json) {
  if (!GetLoggingEnabled()) return;

  rapidjson::Document entry;
  entry.SetObject();
  auto& allocator = entry.GetAllocator();
  entry.AddMember("Thread", CurrentThreadId(), allocator);
  entry.AddMember(rapidjson::Value(category, allocator), rapidjson::Value(json, allocator),
                  allocator);

  if (FFileOpen.load(std::memory_order_acquire)) {
    // Serialise outside the lock; only the write itself is serialised.
    // Records carry client text (paths, headers): written so that it is valid JSON whatever
    // bytes the client sent.
    const std::string text = JSONToText(entry);
    std::lock_guard<std::mutex> lock(FWriterLock);
    if (FWriter) {
      if (!FLogIsEmpty) WriteText(FWriter, ",\n");
      std::fwrite(text.data(), 1, text.size(), FWriter);
      // Flushed per entry so that the log shows what happened up to a crash.
      std::fflush(FWriter);
      FLogIsEmpty = false;
    }
  }

  if (const auto output = FOutput.load(); output && output->FOutputProc) {
    if (output->FEnabledFunc && !output->FEnabledFunc()) return;
    if (output->FSynchronize) {
      std::lock_guard<std::mutex> lock(output->FCallLock);
      output->FOutputProc(category, entry);
    } else {
      output->FOutputProc(category, entry);
    }
  }
}

void TKelvoLoggingService::CloseFile() {
  if (!FWriter) return;
  FFileOpen.store(false, std::memory_order_release);
  if (!FLogIsEmpty) WriteText(FWriter, "\n");
  WriteText(FWriter, "]}\n");
  std::fclose(FWriter);
  FWriter = nullptr;
  FFileName.clear();
  FLogIsEmpty = true;
}

void TKelvoLoggingService::SetupFileOutput(const std::string& file_name, bool append) {
  std::lock_guard<std::mutex> lock(FWriterLock);
  CloseFile();
  if (file_name.empty()) return;
  // "e": the log file is not inherited by programs the server starts.
  std::FILE* file = std::fopen(file_name.c_str(), append ? "ae" : "we");
  if (!file) {
    std::cerr << Format("kelvoserver: cannot open log file %s: %s",
                        {file_name, std::strerror(errno)})
              << std::endl;
    return;
  }
  WriteText(file, HeaderLine());
  if (std::fflush(file) != 0) {
    std::cerr << Format("kelvoserver: cannot write log file %s: %s",
                        {file_name, std::strerror(errno)})
              << std::endl;
    std::fclose(file);
    return;
  }
  FWriter = file;
  FFileName = file_name;
  FLogIsEmpty = true;
  FFileOpen.store(true, std::memory_order_release);
}

void TKelvoLoggingService::SetupCustomOutput(TKelvoLoggingEnabledFunc enabled,
                                             TKelvoLoggingOutputProc output, bool synchronize) {
  if (!enabled && !output) {
    FOutput.store(nullptr);
    return;
  }
  auto custom = std::make_shared<TCustomOutput>();
  custom->FEnabledFunc = std::move(enabled);
  custom->FOutputProc = std::move(output);
  custom->FSynchronize = synchronize;
  FOutput.store(std::move(custom));
}

std::string TKelvoLoggingService::GetFileName() const {
  std::lock_guard<std::mutex> lock(FWriterLock);
  return FFileName;
}

void RegisterKelvoLoggingService() {
  auto& service = ServiceInstance();
  if (!service) service = std::make_shared<TKelvoLoggingService>();
  KelvoServices().Add<IKelvoLoggingService>(service);
  KelvoServices().Add<IKelvoLoggingSetupService>(service);
}

void UnregisterKelvoLoggingService() {
  auto& service = ServiceInstance();
  if (!service) return;
  // Only our own registrations are removed; a host may have installed another service.
  if (KelvoServices().Get<IKelvoLoggingService>() == service) {
    KelvoServices().Remove<IKelvoLoggingService>();
  }
  if (KelvoServices().Get<IKelvoLoggingSetupService>() == service) {
    KelvoServices().Remove<IKelvoLoggingSetupService>();
  }
  service->SetupFileOutput({}, false);
  service.reset();
}
