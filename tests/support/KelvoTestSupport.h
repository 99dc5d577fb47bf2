// Test support: temporary directories, an HTTP client, and the real Apache with the module.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

/// A fresh directory under /tmp, removed with everything in it when the object goes.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

void WriteTextFile(const std::string& file_name, const std::string& text);
std::string ReadTextFile(const std::string& file_name);

struct THttpReply {
  long FStatus = 0;
  std::string FBody;
  std::map<std::string, std::string> FHeaders;  // names lower-cased
  bool HasHeader(const std::string& name) const;
  std::string Header(const std::string& name) const;
};

struct THttpRequest {
  std::string FMethod = "GET";
  std::string FUrl;
  std::vector<std::string> FHeaders;  // "Name: value"
  std::string FBody;
  bool FChunked = false;  // send the body with chunked transfer encoding
};

/// One HTTP exchange with libcurl; throws std::runtime_error when no reply arrives.
THttpReply HttpExchange(const THttpRequest& request);
THttpReply HttpGet(const std::string& url, const std::vector<std::string>& headers = {});

/// A free TCP port on 127.0.0.1 (bound and released, so a race is possible but unlikely).
int FreeLoopbackPort();

/// The real apache2 serving the built module below "/" on a free loopback port, with its own
/// run directory, kelvoserver.ini and Firebird lock directory. Stopped by its PID on destruction.
class TApacheServer {
 public:
  /// Runs in the run directory's path after kelvoserver.ini is written and before Apache's
  /// configuration is generated (which hands the directory to the server's user), e.g. to
  /// create the database there.
  using TBeforeStart = std::function<void(const std::string& run_dir)>;

  /// Starts Apache with `ini_text` as kelvoserver.ini; waits until it answers.
  explicit TApacheServer(const std::string& ini_text, int threads = 64,
                         const std::string& handler = "mod_kelvoserver-handler", const TBeforeStart& before_start = {});
  ~TApacheServer();
  TApacheServer(const TApacheServer&) = delete;
  TApacheServer& operator=(const TApacheServer&) = delete;

  std::string Url(const std::string& path) const;
  int Port() const { return FPort; }
  /// The PID of the Apache parent (its one child serves the requests).
  int Pid() const { return FPid; }
  const std::string& RunDir() const { return FDir.Path(); }
  std::string ErrorLog() const;
  void Stop();

 private:
  TTempDir FDir;
  int FPort = 0;
  int FPid = -1;
};
