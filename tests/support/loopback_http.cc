#include "tests/support/loopback_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <fmt/format.h>

namespace tessera_plus::testing {
namespace {

// A stuck client must not hang the test run; this bounds every read and write of a connection.
constexpr int kSocketTimeoutSeconds = 20;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("loopback server: ") + what);
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool read_head(int connection, std::string& head) {
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

HttpRequest parse_head(const std::string& head) {
  HttpRequest request;
  std::size_t line_end = head.find("\r\n");
  std::string line = head.substr(0, line_end);
  std::size_t first = line.find(' '), second = line.find(' ', first + 1);
  request.method = line.substr(0, first);
  request.target = line.substr(first + 1, second - first - 1);
  while (true) {
    std::size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    if (line_end == std::string::npos || line_end == start) break;
    line = head.substr(start, line_end - start);
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::size_t value = line.find_first_not_of(' ', colon + 1);
    request.headers[lower(line.substr(0, colon))] =
        value == std::string::npos ? "" : line.substr(value);
  }
  return request;
}

// The client may hang up early (a head-only request does); that is not an error here.
void send_all(int connection, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(connection, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string render(const HttpReply& reply) {
  std::string head = fmt::format("HTTP/1.1 {} {}\r\nConnection: close\r\n", reply.status,
                                 reply.status < 400 ? "OK" : "Error");
  if (reply.send_content_length) {
    head += fmt::format("Content-Length: {}\r\n", reply.content_length.empty()
                                                      ? std::to_string(reply.body.size())
                                                      : reply.content_length);
  }
  return head + "\r\n" + reply.body.substr(0, std::min(reply.body.size(), reply.body_bytes_sent));
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {
  check(::pipe(stop_pipe_) == 0, "pipe");
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  check(listener_ >= 0, "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;  // the kernel picks a free port
  check(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
  check(::listen(listener_, 8) == 0, "listen");
  socklen_t length = sizeof address;
  check(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0,
        "getsockname");
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  char stop = 's';
  if (::write(stop_pipe_[1], &stop, 1) != 1) std::terminate();
  thread_.join();
  ::close(listener_);
  ::close(stop_pipe_[0]);
  ::close(stop_pipe_[1]);
}

std::string LoopbackHttpServer::base_url() const {
  return fmt::format("http://127.0.0.1:{}", port_);
}

std::vector<HttpRequest> LoopbackHttpServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void LoopbackHttpServer::serve() {
  pollfd watched[2] = {{listener_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
  while (true) {
    if (::poll(watched, 2, -1) < 0) continue;
    if (watched[1].revents != 0) return;
    int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    answer(connection);
    ::close(connection);
  }
}

void LoopbackHttpServer::answer(int connection) {
  timeval timeout{kSocketTimeoutSeconds, 0};
  ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  std::string head;
  if (!read_head(connection, head)) return;
  HttpRequest request = parse_head(head);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  send_all(connection, render(handler_(request)));
  ::shutdown(connection, SHUT_WR);
}

}  // namespace tessera_plus::testing
