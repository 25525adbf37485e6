#pragma once

namespace korvani {

// Key names shared by the request query, the request body and the host checkout store.
// Compile-time constants; usable from any thread.
struct Constants {
  Constants() = delete;  // a namespace of names, never an object

  // Query parameter that carries the merchant's access token.
  static constexpr char AccessToken[] = "access_token";
  // Key of a second-factor code: in the code's source form and in the checkout store.
  static constexpr char AuthCode[] = "auth_code";
};

}  // namespace korvani
