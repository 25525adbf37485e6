#pragma once

namespace korvani {

// Key names shared by the request query, the request body and the host checkout store.
struct Constants {
  Constants() = delete;

  static constexpr char AccessToken[] = "access_token";
  // Key of a second-factor code: in the code's source form and in the checkout store.
  static constexpr char AuthCode[] = "auth_code";
};

}  // namespace korvani
