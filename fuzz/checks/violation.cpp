#include "checks/violation.hpp"

#include <cstdio>

namespace korvani::fuzz {

std::string describeViolation(std::string_view condition, std::string_view file, int line,
                              std::string_view detail) {
  // The file name alone: build trees differ, the line is what points at the check.
  const std::size_t slash = file.find_last_of('/');
  if (slash != std::string_view::npos) file.remove_prefix(slash + 1);
  std::string text;
  text.append(file).append(":").append(std::to_string(line)).append(": ").append(condition);
  if (!detail.empty()) text.append(": ").append(detail);
  return text;
}

void trapOnViolation(const Violation& violation, std::string_view target) {
  if (!violation) return;
  std::fprintf(stderr, "\n[%.*s] invariant violated: %s\n", static_cast<int>(target.size()),
               target.data(), violation->c_str());
  std::fflush(stderr);
  __builtin_trap();
}

std::string printable(std::string_view bytes, std::size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      text.push_back(static_cast<char>(c));
    } else {
      text.append("\\x").push_back(kHex[c >> 4]);
      text.push_back(kHex[c & 0xF]);
    }
  }
  if (bytes.size() > limit)
    text.append("...(").append(std::to_string(bytes.size())).append(" bytes)");
  return text;
}

}  // namespace korvani::fuzz
