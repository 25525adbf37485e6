#include "scenarios.hpp"

#include <array>
#include <string>
#include <vector>

#include "korvani/sandbox/sandbox_server.hpp"

namespace korvani::sandbox {
namespace {

// Amounts are unusual on purpose (90.0x) so that real-looking test amounts approve.
constexpr std::array<ScenarioEntry, 10> kScenarios{{
    {Scenario::approved, "approved", "sbx-approved", "100"},
    {Scenario::rejected, "rejected", "sbx-rejected", "90.01"},
    {Scenario::inProcess, "in-process", "sbx-in-process", "90.02"},
    {Scenario::serverError, "server-error", "sbx-server-error", "90.03"},
    {Scenario::slow, "slow", "sbx-slow", "90.04"},
    {Scenario::dropConnection, "drop", "sbx-drop", "90.05"},
    {Scenario::invalidJson, "invalid-json", "sbx-invalid-json", "90.06"},
    {Scenario::jsonArray, "json-array", "sbx-json-array", "90.07"},
    {Scenario::missingStatus, "missing-status", "sbx-missing-status", "90.08"},
    {Scenario::unavailable, "unavailable", "sbx-unavailable", "90.09"},
}};

const ScenarioEntry* findByName(std::string_view name) {
  for (const auto& entry : kScenarios) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

}  // namespace

std::span<const ScenarioEntry> scenarioTable() {
  return kScenarios;
}

const ScenarioEntry& scenarioEntry(Scenario scenario) {
  for (const auto& entry : kScenarios) {
    if (entry.scenario == scenario) return entry;
  }
  return kScenarios.front();
}

std::optional<Scenario> scenarioForToken(std::string_view token) {
  for (const auto& entry : kScenarios) {
    if (entry.token == token) return entry.scenario;
  }
  return std::nullopt;
}

std::optional<Scenario> scenarioForName(std::string_view name) {
  const ScenarioEntry* entry = findByName(name);
  if (entry == nullptr) return std::nullopt;
  return entry->scenario;
}

std::vector<std::string_view> sandboxScenarioNames() {
  std::vector<std::string_view> names;
  names.reserve(kScenarios.size());
  for (const auto& entry : kScenarios)
    names.push_back(entry.name);
  return names;
}

std::optional<std::string> sandboxTokenForScenario(std::string_view name) {
  const ScenarioEntry* entry = findByName(name);
  if (entry == nullptr) return std::nullopt;
  return std::string(entry->token);
}

std::optional<std::string> sandboxAmountForScenario(std::string_view name) {
  const ScenarioEntry* entry = findByName(name);
  if (entry == nullptr) return std::nullopt;
  return std::string(entry->amount);
}

}  // namespace korvani::sandbox
