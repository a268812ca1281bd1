#include "gateway/portal_login.h"

#include <algorithm>

namespace vqgw {
namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out.push_back(' ');
    } else if (text[i] == '%' && i + 2 < text.size() && Hex(text[i + 1]) >= 0 && Hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

constexpr char kLoginPage[] =
    "<html><body><form method=\"post\" action=\"login.html\">"
    "<input name=\"txtUserName\"><input name=\"txtPasswd\" type=\"password\">"
    "<input name=\"subBtn\" type=\"submit\" value=\"Login\"></form></body></html>";

}  // namespace

std::string FormField(const std::string& body, const std::string& name) {
  size_t pos = 0;
  while (pos <= body.size()) {
    const size_t end = std::min(body.find('&', pos), body.size());
    const std::string pair = body.substr(pos, end - pos);
    const size_t equals = pair.find('=');
    if (equals != std::string::npos && Unescape(pair.substr(0, equals)) == name)
      return Unescape(pair.substr(equals + 1));
    pos = end + 1;
  }
  return {};
}

void AddLoginForm(Portal& portal, const std::string& user, const std::string& password) {
  portal.AddRoute(kPortalLoginPath, PortalRoute{[user, password](const PortalRequest& request) {
                                                  PortalReply reply = PortalReply::Body(kLoginPage);
                                                  reply.headers.push_back("Content-Type: text/html");
                                                  if (request.method == "POST" &&
                                                      FormField(request.body, "txtUserName") == user &&
                                                      FormField(request.body, "txtPasswd") == password)
                                                    reply.issueSession = true;
                                                  return reply;
                                                },
                                                true});
}

}  // namespace vqgw
