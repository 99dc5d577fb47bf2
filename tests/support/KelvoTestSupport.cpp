#include "KelvoTestSupport.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

TTempDir::TTempDir() {
  char pattern[] = "/tmp/kelvotest.XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  FPath = pattern;
  std::filesystem::permissions(FPath, std::filesystem::perms(0755));
}

TTempDir::~TTempDir() {
  std::error_code ec;
  std::filesystem::remove_all(FPath, ec);
}

void WriteTextFile(const std::string& file_name, const std::string& text) {
  std::ofstream out(file_name, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string ReadTextFile(const std::string& file_name) {
  std::ifstream in(file_name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool THttpReply::HasHeader(const std::string& name) const {
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  return FHeaders.count(lower) > 0;
}

std::string THttpReply::Header(const std::string& name) const {
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  auto it = FHeaders.find(lower);
  return it == FHeaders.end() ? std::string() : it->second;
}

namespace {

size_t CollectBody(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

size_t CollectHeader(char* data, size_t size, size_t count, void* target) {
  std::string line(data, size * count);
  auto* headers = static_cast<std::map<std::string, std::string>*>(target);
  const auto colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    std::string value = line.substr(colon + 1);
    const auto first = value.find_first_not_of(" \t");
    const auto last = value.find_last_not_of(" \t\r\n");
    (*headers)[name] = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
  } else if (line.rfind("HTTP/", 0) == 0) {
    headers->clear();  // a new reply (after 100 Continue) starts over
  }
  return size * count;
}

struct TChunkedSource {
  const std::string* FBody;
  size_t FOffset = 0;
};

size_t ReadChunk(char* buffer, size_t size, size_t count, void* source) {
  auto* s = static_cast<TChunkedSource*>(source);
  // Small pieces, so the server really sees several chunks.
  const size_t n = std::min({size * count, s->FBody->size() - s->FOffset, size_t(1000)});
  std::copy_n(s->FBody->data() + s->FOffset, n, buffer);
  s->FOffset += n;
  return n;
}

}  // namespace

THttpReply HttpExchange(const THttpRequest& request) {
  static const bool initialised = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
  (void)initialised;
  CURL* curl = curl_easy_init();
  if (!curl) throw std::runtime_error("curl_easy_init failed");
  THttpReply reply;
  curl_slist* headers = nullptr;
  for (const auto& h : request.FHeaders) headers = curl_slist_append(headers, h.c_str());
  TChunkedSource source{&request.FBody};
  curl_easy_setopt(curl, CURLOPT_URL, request.FUrl.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  if (request.FMethod == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.FMethod.c_str());
  }
  if (request.FChunked) {
    headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadChunk);
    curl_easy_setopt(curl, CURLOPT_READDATA, &source);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.FMethod.c_str());
  } else if (!request.FBody.empty()) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.FBody.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.FBody.size()));
  }
  headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.FBody);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, CollectHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.FHeaders);
  const CURLcode rc = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.FStatus);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK && reply.FStatus == 0)
    throw std::runtime_error(std::string("HTTP request failed: ") + curl_easy_strerror(rc));
  return reply;
}

THttpReply HttpGet(const std::string& url, const std::vector<std::string>& headers) {
  THttpRequest request;
  request.FUrl = url;
  request.FHeaders = headers;
  return HttpExchange(request);
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("no free port");
  }
  const int port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

TApacheServer::TApacheServer(const std::string& ini_text, int threads, const std::string& handler,
                             const TBeforeStart& before_start) {
  FPort = FreeLoopbackPort();
  WriteTextFile(FDir.File("kelvoserver.ini"), ini_text);
  std::filesystem::create_directories(FDir.File("firebird"));
  if (before_start) before_start(FDir.Path());
  const std::string conf_cmd = std::string(KELVO_SOURCE_DIR) + "/scripts/apache-conf.sh '" + FDir.Path() +
                               "' " + std::to_string(FPort) + " '" + KELVO_MODULE_PATH + "' " +
                               std::to_string(threads) + " '" + handler + "'";
  if (std::system(conf_cmd.c_str()) != 0) throw std::runtime_error("apache-conf.sh failed");

  const std::string conf = FDir.File("httpd.conf");
  const std::string lock = FDir.File("firebird");
  FPid = ::fork();
  if (FPid == 0) {
    ::setenv("FIREBIRD_LOCK", lock.c_str(), 1);
    ::setenv("FIREBIRD_TMP", lock.c_str(), 1);
    ::setenv("TZ", "UTC", 1);
    ::execl(APACHE2_BINARY, APACHE2_BINARY, "-f", conf.c_str(), "-DFOREGROUND", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Wait (bounded) until the module answers.
  for (int attempt = 0; attempt < 200; ++attempt) {
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) == FPid) {
      FPid = -1;
      throw std::runtime_error("apache2 exited at start-up: " + ErrorLog());
    }
    try {
      HttpGet(Url("/"));
      return;
    } catch (const std::exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  Stop();
  throw std::runtime_error("apache2 did not answer: " + ErrorLog());
}

TApacheServer::~TApacheServer() { Stop(); }

void TApacheServer::Stop() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) == FPid) {
      FPid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(FPid, SIGKILL);
  ::waitpid(FPid, nullptr, 0);
  FPid = -1;
}

std::string TApacheServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(FPort) + path;
}

std::string TApacheServer::ErrorLog() const { return ReadTextFile(FDir.File("logs/error.log")); }
