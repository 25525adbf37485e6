#pragma once

#include <optional>
#include <string>

namespace checkout_demo {

// SHA-256 of `text` as 64 lower-case hexadecimal digits; nothing when the digest fails.
// The shape of the configuration's sha256 hook.
std::optional<std::string> sha256Hex(const std::string& text);

}  // namespace checkout_demo
