#pragma once
// The message to the author as a query string: code page 932 bytes, form encoding, the request URL.

#include <chrono>
#include <string>
#include <string_view>

namespace merolune {

// The fixed pieces of the query: the receiver's pass value (sent unencoded) and the product string.
inline constexpr std::string_view kMessagePass = "h5t2e619";
inline constexpr std::string_view kMessageProduct = "Merolune 1.20";
// The receiver's path on the maker's web site.
inline constexpr std::string_view kMessagePath = "/cgi-bin/SoftMsg/message.cgi";
// Environment variables: a whole endpoint URL in place of the site's one (a test's receiver, or a
// user's own), and the request's time-out in milliseconds.
inline constexpr const char* kMessageUrlVariable = "MEROLUNE_MESSAGE_URL";
inline constexpr const char* kMessageTimeoutVariable = "MEROLUNE_MESSAGE_TIMEOUT_MS";
inline constexpr std::chrono::milliseconds kMessageTimeout{30000};

// UTF-8 text as code page 932 bytes (Shift JIS with the Windows extensions), through iconv. A
// character that code page 932 cannot represent, and a byte that is not UTF-8, becomes "?", as a
// narrow-code-page conversion does. Throws Exception only when iconv has no CP932 converter.
std::string ToCodePage932(std::string_view utf8);

// Form encoding, byte by byte: A-Z, a-z, 0-9 and @ _ ! $ ' ( ) * - . stay as they are, a space
// becomes "+", every other byte "%" and two upper-case hexadecimal digits. At most three times
// as long as `bytes`.
std::string FormEncode(std::string_view bytes);

// The memo's text (UTF-8, lines ending in "\n", "\r\n" or "\r") as the value of Main=: the
// lines joined by CR LF, in code page 932, form-encoded.
std::string MessageMainValue(std::string_view utf8Text);

// endpoint?Pass=...&Main=...&soft=Merolune+1.20, with `encodedText` as it stands.
std::string MessageUrl(std::string_view endpoint, std::string_view encodedText);

// The maker's web site, as the build was configured (no trailing "/").
std::string MakerSite();
// Where messages go: MEROLUNE_MESSAGE_URL when set and not empty, else the site's receiver.
std::string MessageEndpoint();
// The request's time-out: MEROLUNE_MESSAGE_TIMEOUT_MS when it holds a positive whole number,
// else 30 s.
std::chrono::milliseconds MessageTimeout();

}  // namespace merolune
