// A small HTTP/1.1 server on 127.0.0.1 with an ephemeral port, for tests that download. It answers
// one request per connection, in a thread of its own, from a handler the test supplies, and records
// every request. The same server stands in for a proxy: a proxied request arrives with the full
// address as its target.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessera_plus::testing {

struct HttpRequest {
  std::string method;
  std::string target;                          // "/path" or, through a proxy, "http://host/path"
  std::map<std::string, std::string> headers;  // names lower-cased
};

struct HttpReply {
  int status = 200;
  std::string body{};
  bool send_content_length = true;
  std::string content_length{};  // sent instead of the body's length when not empty
  std::size_t body_bytes_sent = std::string::npos;  // then the connection closes
};

class LoopbackHttpServer {
 public:
  using Handler = std::function<HttpReply(const HttpRequest&)>;

  explicit LoopbackHttpServer(Handler handler);
  // Stops accepting, finishes the connection in progress and joins the thread.
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  // "http://127.0.0.1:<port>"
  std::string base_url() const;
  std::vector<HttpRequest> requests() const;

 private:
  void serve();
  void answer(int connection);

  Handler handler_;
  int listener_ = -1;
  int stop_pipe_[2] = {-1, -1};
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<HttpRequest> requests_;
  std::thread thread_;
};

}  // namespace tessera_plus::testing
