// The hosts the engine asks besides the measurement service: the ad services that hold deferred
// deep links and the search-ad attribution service. Tests send them to local servers (or give the
// reporters other addresses).
#pragma once

inline constexpr const char* kDeferredDeepLinkHost = "ads.tessaro.example";
inline constexpr const char* kSearchAdAttributionHost = "attribution.tessaro.example";
