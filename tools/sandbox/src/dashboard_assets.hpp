#pragma once

#include <span>
#include <string_view>

namespace korvani::sandbox {

// A file of the dashboard's page, built into the program (tools/sandbox/dashboard/).
struct DashboardAsset {
  std::string_view path;  // "/index.html"
  std::string_view contentType;
  std::string_view content;
};

std::span<const DashboardAsset> dashboardAssets();

}  // namespace korvani::sandbox
