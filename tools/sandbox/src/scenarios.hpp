#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace korvani::sandbox {

enum class Scenario {
  approved,
  rejected,
  inProcess,
  serverError,
  unavailable,
  slow,
  dropConnection,
  invalidJson,
  jsonArray,
  missingStatus,
};

// One row of the table documented in tools/sandbox/README.md; keep both in step.
struct ScenarioEntry {
  Scenario scenario;
  std::string_view name;
  std::string_view token;
  std::string_view amount;
};

std::span<const ScenarioEntry> scenarioTable();
const ScenarioEntry& scenarioEntry(Scenario scenario);
std::optional<Scenario> scenarioForToken(std::string_view token);
std::optional<Scenario> scenarioForName(std::string_view name);

}  // namespace korvani::sandbox
