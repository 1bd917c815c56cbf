// The message's query string: iconv's CP932, the byte-wise form encoding, the URL and its settings.

#include "MessageQuery.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <memory>

#include "Exception.h"

namespace merolune {

namespace {

constexpr const char* kNoConverter = "The CP932 character conversion is not available";

// How many bytes the UTF-8 sequence starting with `lead` claims; 1 for a byte that starts none,
// so that a stray byte is replaced on its own.
std::size_t Utf8Length(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

bool Unchanged(unsigned char byte) {
  if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')) return true;
  switch (byte) {
    case '@': case '_': case '!': case '$': case '\'': case '(': case ')': case '*': case '-': case '.':
      return true;
    default:
      return false;
  }
}

struct IconvCloser {
  void operator()(void* cd) const noexcept { iconv_close(static_cast<iconv_t>(cd)); }
};

}  // namespace

std::string ToCodePage932(std::string_view utf8) {
  const iconv_t opened = iconv_open("CP932", "UTF-8");
  if (opened == reinterpret_cast<iconv_t>(-1)) throw Exception(kNoConverter);
  const std::unique_ptr<void, IconvCloser> cd(opened);

  std::string out;
  // Code page 932 never takes more bytes than UTF-8 for the same character ("?" for one of
  // four bytes is shorter still), so one buffer as long as the input suffices.
  out.resize(utf8.size());
  char* in = const_cast<char*>(utf8.data());  // iconv's signature; the input is only read
  std::size_t inLeft = utf8.size();
  char* to = out.data();
  std::size_t toLeft = out.size();
  while (inLeft > 0) {
    if (iconv(opened, &in, &inLeft, &to, &toLeft) != static_cast<std::size_t>(-1)) break;
    if (errno != EILSEQ && errno != EINVAL) throw Exception(kNoConverter);
    // A character without a CP932 form, an invalid sequence or one cut off at the end.
    const std::size_t skip = std::min(Utf8Length(static_cast<unsigned char>(*in)), inLeft);
    *to++ = '?';
    --toLeft;
    in += skip;
    inLeft -= skip;
    iconv(opened, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(out.size() - toLeft);
  return out;
}

std::string FormEncode(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (Unchanged(byte)) {
      out += c;
    } else if (byte == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

std::string MessageMainValue(std::string_view utf8Text) {
  std::string lines;
  lines.reserve(utf8Text.size() + utf8Text.size() / 8);
  for (std::size_t i = 0; i < utf8Text.size(); ++i) {
    const char c = utf8Text[i];
    if (c == '\r' || c == '\n') {
      lines += "\r\n";
      if (c == '\r' && i + 1 < utf8Text.size() && utf8Text[i + 1] == '\n') ++i;
    } else {
      lines += c;
    }
  }
  return FormEncode(ToCodePage932(lines));
}

std::string MessageUrl(std::string_view endpoint, std::string_view encodedText) {
  std::string url(endpoint);
  url += "?Pass=";
  url += kMessagePass;
  url += "&Main=";
  url += encodedText;
  url += "&soft=";
  url += FormEncode(kMessageProduct);
  return url;
}

std::string MakerSite() {
  std::string site = MEROLUNE_SITE;
  while (!site.empty() && site.back() == '/') site.pop_back();
  return site;
}

std::string MessageEndpoint() {
  const char* url = std::getenv(kMessageUrlVariable);
  if (url != nullptr && *url != '\0') return url;
  return MakerSite() + std::string(kMessagePath);
}

std::chrono::milliseconds MessageTimeout() {
  const char* text = std::getenv(kMessageTimeoutVariable);
  if (text == nullptr) return kMessageTimeout;
  const std::string_view value(text);
  long long ms = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), ms);
  if (error != std::errc() || end != value.data() + value.size() || ms <= 0) return kMessageTimeout;
  return std::chrono::milliseconds(ms);
}

}  // namespace merolune
