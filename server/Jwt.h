// Signed device tokens: HS256 JSON Web Tokens over a device's feature list.
#ifndef CORVALITH_SERVER_JWT_H
#define CORVALITH_SERVER_JWT_H

#include <string>
#include <vector>

namespace updateserver {

// Standard base64 with padding. The server has its own encoder so that a
// fault in the client's decoder cannot cancel out in end-to-end tests.
std::string Base64Encode(const std::string& bytes);
// URL-safe base64 without padding, as JWT parts are written.
std::string Base64UrlEncode(const std::string& bytes);
// The 32 raw bytes of HMAC-SHA256(key, message).
std::string HmacSha256(const std::string& key, const std::string& message);
// A JSON string literal, quotes included.
std::string JsonQuote(const std::string& text);

// header.payload.signature with the header {"alg":"HS256","typ":"JWT"} and
// the payload {"sub":SERIAL,"features":[...]}, signed with key. The same
// inputs always give the same token.
std::string MakeDeviceJwt(const std::string& serial, const std::vector<std::string>& features,
                          const std::string& key);

}  // namespace updateserver

#endif
