// Whether a request was sent from a page of this site: the check against
// other sites' pages that drive their visitors' browsers to submit the form.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace same_site {

// An origin as browsers compare them: scheme, host and port. A port left
// out is the scheme's default, so "http://a.example" and
// "http://a.example:80" are the same.
struct origin {
  std::string scheme;  // lower case; empty when not known
  std::string host;    // lower case, an IPv6 address in its brackets
  std::string port;    // empty when not known
};

inline std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

inline std::string default_port(const std::string& scheme) {
  return scheme == "http" ? "80" : scheme == "https" ? "443" : "";
}

// Host and port of "host", "host:port", "[v6]" or "[v6]:port", as a URL or
// a Host header writes them.
inline void split_authority(std::string_view authority, origin& into) {
  std::size_t at = authority.rfind('@');  // user information is no part of an origin
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::size_t host_end = authority.rfind(':');
  if (!authority.empty() && authority.front() == '[') {
    host_end = authority.find(']');
    if (host_end != std::string_view::npos) ++host_end;
  }
  into.host = lower(authority.substr(0, host_end));
  if (host_end < authority.size() && authority[host_end] == ':')
    into.port = std::string(authority.substr(host_end + 1));
  if (into.port.empty()) into.port = default_port(into.scheme);
}

// The origin of a URL or of an Origin header ("https://a.example:8443/form").
// No host for anything else: "null", a relative reference.
inline origin of_url(std::string_view url) {
  origin o;
  std::size_t colon = url.find("://");
  if (colon == std::string_view::npos || colon == 0) return o;
  o.scheme = lower(url.substr(0, colon));
  std::string_view authority = url.substr(colon + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  split_authority(authority, o);
  return o;
}

// The request's own origin from the CGI variables, as variable(name) gives
// them ("" for one not set): HTTP_HOST (what the browser asked for), else
// SERVER_NAME and SERVER_PORT; the scheme from REQUEST_SCHEME, else HTTPS.
// No host when the server gives no name.
template <class Variable>
origin of_request(Variable variable) {
  origin o;
  o.scheme = lower(variable("REQUEST_SCHEME"));
  std::string https = lower(variable("HTTPS"));
  if (o.scheme.empty() && (https == "on" || https == "1")) o.scheme = "https";
  std::string_view host = variable("HTTP_HOST");
  if (!host.empty()) {
    split_authority(host, o);
  } else {
    o.host = lower(variable("SERVER_NAME"));
    o.port = std::string(variable("SERVER_PORT"));
  }
  return o;
}

// Same site: the hosts agree, and the ports and schemes too wherever both
// are known.
inline bool same(const origin& a, const origin& b) {
  auto agree = [](const std::string& x, const std::string& y) {
    return x.empty() || y.empty() || x == y;
  };
  return !a.host.empty() && a.host == b.host && agree(a.port, b.port) && agree(a.scheme, b.scheme);
}

// Whether o is one of the origins in list, separated by spaces.
inline bool listed(const origin& o, std::string_view list) {
  while (!list.empty()) {
    std::size_t end = list.find(' ');
    if (end != 0 && same(o, of_url(list.substr(0, end)))) return true;
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
  }
  return false;
}

}  // namespace same_site
