// HTTP GET over libcurl. Every libcurl call of the library lives in http.cc.
//
// Both operations take the proxy to use for every scheme; an empty proxy means a direct connection.
// Either way the proxy environment variables (http_proxy, https_proxy, all_proxy, no_proxy) are not
// consulted, so the caller's setting alone decides where a request goes. Redirects are followed
// (http and https only). Failures throw OSError with the address and libcurl's reason; an answer
// with an error status (400 and above) is a failure.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace tessera_plus::net {

// Status and header fields of a response. Names are lower-cased, values trimmed. With redirects,
// this is the head of the last response.
struct ResponseHead {
  long status = 0;
  std::map<std::string, std::string> headers{};
};

// Sends a GET and returns as soon as the response head has arrived; the body is not read (the
// connection is dropped at its first byte).
ResponseHead fetch_head(const std::string& url, const std::string& proxy);

// Receives one piece of the body; returns false to stop the transfer.
using BodySink = std::function<bool(std::string_view piece)>;

// Sends a GET and hands the body to `sink` piece by piece. Returns true when the whole body has
// been delivered, false when `sink` stopped the transfer. A body that ends before its announced
// length is a failure.
bool fetch_body(const std::string& url, const std::string& proxy, const BodySink& sink);

}  // namespace tessera_plus::net
