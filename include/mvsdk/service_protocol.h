#pragma once
// The cloud service's protocol as the kit speaks it: the request paths, the headers the kit
// sends, the form of the authorization, and the key text of the service's encrypted texts (its
// replies and the voices' style files). The kit's service client and mvsdk-service (the local
// stand-in for the service) both spell the protocol from here, so the two cannot drift apart.
//
// A host needs none of this to use the kit (MVSDKManager makes every call); it is for programs
// that stand in for the service or look at its traffic. Plain constants: any thread.
#include <string_view>

namespace mvsdk::protocol {

// Service calls: POST with a JSON body, relative to the service's base URL
// (MVSDKManager::setServiceBaseUrl).
inline constexpr std::string_view kLoginPath = "/api/sdkra/login";
inline constexpr std::string_view kCheckVersionPath = "/api/sdkra/checkVersion";
inline constexpr std::string_view kSpeakerListPath = "/api/sdkra/getSpeakerList";
// Where mvsdk-service serves the files of its folder (the catalogue's file references point
// under it).
inline constexpr std::string_view kFilesPrefix = "/files/";

// Header names and the one content type the kit sends.
inline constexpr std::string_view kAuthorizationHeader = "Authorization";
inline constexpr std::string_view kUserAgentHeader = "User-Agent";
inline constexpr std::string_view kContentTypeHeader = "Content-Type";
inline constexpr std::string_view kJsonContentType = "application/json";

// The authorization: kAuthorizationMarker, a space, the client token, kAccountSeparator and the
// device account ("MorvoxClient <token>,avc=<account>"). A text that contains the marker is
// taken as an authorization already built.
inline constexpr std::string_view kAuthorizationMarker = "MorvoxClient";
inline constexpr std::string_view kAccountSeparator = ",avc=";

// The User-Agent: kUserAgentPrefix, the kit's service version, kUserAgentSuffix
// ("morvox:sdkra/v2.0.0;os:ios").
inline constexpr std::string_view kUserAgentPrefix = "morvox:sdkra/v";
inline constexpr std::string_view kUserAgentSuffix = ";os:ios";

// Key text of the service's AES-256-CBC encryption (PKCS#7 padding, Base64 text): its UTF-8
// bytes are the key, and its first 16 bytes the IV. The replies and the style files use it.
inline constexpr std::string_view kKeyText = "Hq4ZwN8cRv2LmX7pKe5TyB1sGd9JfA3u";

}  // namespace mvsdk::protocol
