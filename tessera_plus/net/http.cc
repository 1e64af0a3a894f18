#include "tessera_plus/net/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::net {
namespace {

// A stalled server must not hang the program: give up when nothing arrives for this long.
constexpr long kConnectTimeoutSeconds = 30;
constexpr long kStallSeconds = 60;
constexpr long kMaxRedirects = 5;

void global_init() {
  static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) throw OSError(0, fmt::format("libcurl: {}", curl_easy_strerror(code)));
}

struct EasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

std::string trim(std::string_view text) {
  auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

// Header lines of every response pass through here; a status line starts a new response, so after
// redirects only the last response's fields remain.
std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto* head = static_cast<ResponseHead*>(user);
  std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    head->headers.clear();
  } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
    std::string name = trim(line.substr(0, colon));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    head->headers[name] = trim(line.substr(colon + 1));
  }
  return size * count;
}

// Setting an option only fails for an unknown option or out of memory; both are programming or
// system faults worth reporting, not ignoring.
template <typename Value>
void set(CURL* curl, CURLoption option, Value value) {
  if (CURLcode code = curl_easy_setopt(curl, option, value); code != CURLE_OK) {
    throw OSError(0, fmt::format("libcurl option {}: {}", static_cast<int>(option),
                                 curl_easy_strerror(code)));
  }
}

Easy open_get(const std::string& url, const std::string& proxy, char* error_buffer) {
  global_init();
  Easy curl(curl_easy_init());
  if (!curl) throw OSError(0, "libcurl: cannot create a transfer handle");
  CURL* c = curl.get();
  set(c, CURLOPT_URL, url.c_str());
  set(c, CURLOPT_ERRORBUFFER, error_buffer);
  // An empty proxy disables proxies; an empty no-proxy list stops no_proxy from exempting hosts.
  set(c, CURLOPT_PROXY, proxy.c_str());
  set(c, CURLOPT_NOPROXY, "");
  set(c, CURLOPT_PROTOCOLS_STR, "http,https");
  set(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(c, CURLOPT_FOLLOWLOCATION, 1L);
  set(c, CURLOPT_MAXREDIRS, kMaxRedirects);
  set(c, CURLOPT_FAILONERROR, 1L);
  set(c, CURLOPT_NOSIGNAL, 1L);
  set(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  set(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  set(c, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  return curl;
}

[[noreturn]] void fail(const std::string& url, CURLcode code, const char* error_buffer) {
  throw OSError(
      0, fmt::format("GET {}: {}", url, *error_buffer ? error_buffer : curl_easy_strerror(code)));
}

struct BodyState {
  const BodySink* sink;
  bool stopped = false;
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* state = static_cast<BodyState*>(user);
  if (!(*state->sink)(std::string_view(data, size * count))) {
    state->stopped = true;
    return 0;  // anything but the full count makes libcurl abort the transfer
  }
  return size * count;
}

}  // namespace

bool fetch_body(const std::string& url, const std::string& proxy, const BodySink& sink) {
  char error_buffer[CURL_ERROR_SIZE] = "";
  Easy curl = open_get(url, proxy, error_buffer);
  BodyState state{&sink};
  set(curl.get(), CURLOPT_WRITEFUNCTION, on_body);
  set(curl.get(), CURLOPT_WRITEDATA, &state);
  CURLcode code = curl_easy_perform(curl.get());
  if (state.stopped) return false;
  if (code != CURLE_OK) fail(url, code, error_buffer);
  return true;
}

ResponseHead fetch_head(const std::string& url, const std::string& proxy) {
  char error_buffer[CURL_ERROR_SIZE] = "";
  Easy curl = open_get(url, proxy, error_buffer);
  ResponseHead head;
  set(curl.get(), CURLOPT_HEADERFUNCTION, on_header);
  set(curl.get(), CURLOPT_HEADERDATA, &head);
  BodySink stop_at_body = [](std::string_view) { return false; };
  BodyState state{&stop_at_body};
  set(curl.get(), CURLOPT_WRITEFUNCTION, on_body);
  set(curl.get(), CURLOPT_WRITEDATA, &state);
  CURLcode code = curl_easy_perform(curl.get());
  if (code != CURLE_OK && !state.stopped) fail(url, code, error_buffer);
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &head.status);
  return head;
}

}  // namespace tessera_plus::net
