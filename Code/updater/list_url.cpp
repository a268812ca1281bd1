#include "updater/list_url.h"

namespace thimbleset {

std::pair<size_t, size_t> UserInfoSpan(std::string_view text) {
  const size_t scheme = text.find("://");
  if (scheme == std::string_view::npos) return {0, 0};
  const size_t begin = scheme + 3;
  size_t end = text.find_first_of("/?#", begin);
  if (end == std::string_view::npos) end = text.size();
  const size_t at = text.substr(begin, end - begin).rfind('@');
  if (at == std::string_view::npos) return {0, 0};
  return {begin, begin + at};
}

std::optional<ListUrl> SplitListUrl(std::string_view text) {
  std::optional<platform::http::Url> url = platform::http::SplitUrl(text);
  if (!url) return std::nullopt;
  ListUrl out{std::move(*url), {}, {}};
  const auto [begin, end] = UserInfoSpan(text);
  const std::string_view userInfo = text.substr(begin, end - begin);
  const size_t colon = userInfo.find(':');
  out.user = std::string(userInfo.substr(0, colon));
  if (colon != std::string_view::npos) out.password = std::string(userInfo.substr(colon + 1));
  return out;
}

std::string ServerUrl(const platform::http::Url& url, std::string_view path) {
  const std::string host = url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
  return url.scheme + "://" + host + ":" + std::to_string(url.port) + "/" + std::string(path);
}

}  // namespace thimbleset
