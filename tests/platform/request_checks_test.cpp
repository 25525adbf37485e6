#include "transport/request_checks.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace korvani::platform {
namespace {

using std::string_view_literals::operator""sv;

TEST(RequestChecks, WhatMayBeSent) {
  for (auto name : {"X-Key"sv, "a"sv, "X_Under.score~"sv})
    EXPECT_TRUE(transport::isValidHeaderName(name)) << name;
  for (auto name : {""sv, "X Key"sv, "X\tKey"sv, "X:Key"sv, "X\rKey"sv, "X\nKey"sv, "X\0Key"sv})
    EXPECT_FALSE(transport::isValidHeaderName(name)) << name;
  for (auto value : {""sv, " "sv, "a b: c; d"sv, "\xc3\xa9t\xc3\xa9"sv})
    EXPECT_TRUE(transport::isValidHeaderValue(value)) << value;
  for (auto value : {"a\r"sv, "a\nInjected: 1"sv, "a\0b"sv})
    EXPECT_FALSE(transport::isValidHeaderValue(value)) << value;
  for (auto method : {"GET"sv, "PATCH"sv, "M-SEARCH"sv})
    EXPECT_TRUE(transport::isValidMethod(method)) << method;
  for (auto method : {""sv, "GET /x"sv, "GET\r\n"sv, "G(E)T"sv})
    EXPECT_FALSE(transport::isValidMethod(method)) << method;
}

}  // namespace
}  // namespace korvani::platform
