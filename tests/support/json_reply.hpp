// A CGI answer read back as a page's script reads it: its status, its
// header lines, and its body parsed as JSON.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>

struct json_reply {
  int status = 0;  // 0: no Status line, as in a redirect
  std::map<std::string, std::string> headers;
  nlohmann::json body;  // discarded (is_discarded()) when the body is no JSON
};

inline json_reply read_reply(const std::string& answer) {
  json_reply reply;
  std::size_t at = 0;
  for (std::size_t end; (end = answer.find("\r\n", at)) != std::string::npos && end > at;
       at = end + 2) {
    std::string line = answer.substr(at, end - at);
    std::size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    reply.headers[line.substr(0, colon)] = line.substr(colon + 2);
  }
  if (reply.headers.count("Status")) reply.status = std::stoi(reply.headers["Status"]);
  reply.body =
      nlohmann::json::parse(answer.substr(std::min(at + 2, answer.size())), nullptr, false);
  return reply;
}
