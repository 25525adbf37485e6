// The boundary every C entry point goes through, tested where a host cannot reach it from C:
// exceptions from the C++ layers turned into codes, error records written within their size,
// tables read within theirs, user data freed once. Also compiles korvani.h as C++.

#include "edge.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvani/korvani.h"

namespace korvani::capi {
namespace {

TEST(CapiEdgeTest, ExceptionsBecomeInternalErrorsWithTheirText) {
  korvani_error error = KORVANI_ERROR_INIT;
  EXPECT_EQ(guarded(&error, []() -> korvani_status { throw std::runtime_error("boom"); }),
            KORVANI_ERR_INTERNAL);
  EXPECT_EQ(error.domain, KORVANI_DOMAIN_INTERNAL);
  EXPECT_STREQ(error.message, "boom");

  EXPECT_EQ(guarded(&error, []() -> korvani_status { throw std::bad_alloc(); }),
            KORVANI_ERR_INTERNAL);
  EXPECT_STREQ(error.message, std::bad_alloc().what());
  EXPECT_EQ(guarded(nullptr, []() -> korvani_status { throw 42; }), KORVANI_ERR_INTERNAL);
  EXPECT_EQ(guarded(&error, [] { return KORVANI_ERR_IO; }), KORVANI_ERR_IO);
}

TEST(CapiEdgeTest, MessagesAreCutWithinTheRecordAndAtACharacterBoundary) {
  // "é" is two bytes: a record with room for "ab" plus half of it ends after "ab".
  const std::size_t size = offsetof(korvani_error, message) + 4;
  std::vector<unsigned char> bytes(size + 8, 0xAB);
  std::memcpy(bytes.data(), &size, sizeof size);
  setError(reinterpret_cast<korvani_error*>(bytes.data()), KORVANI_DOMAIN_HOST, 7, "ab\xc3\xa9z");
  const char* message =
      reinterpret_cast<const char*>(bytes.data()) + offsetof(korvani_error, message);
  EXPECT_STREQ(message, "ab");
  for (std::size_t at = size; at < bytes.size(); ++at)
    EXPECT_EQ(bytes[at], 0xAB) << at;

  korvani_error error = KORVANI_ERROR_INIT;
  setError(&error, KORVANI_DOMAIN_API, 1, std::string(1000, 'x'));
  EXPECT_EQ(std::strlen(error.message), KORVANI_ERROR_MESSAGE_SIZE - 1u);
}

TEST(CapiEdgeTest, TablesAreReadWithinTheirSizeAndUserDataIsFreedOnce) {
  int frees = 0;
  korvani_scheduler host{};
  host.struct_size = offsetof(korvani_scheduler, notify);  // an older host's table
  host.user_data = &frees;
  host.free_user_data = [](void* counter) { ++*static_cast<int*>(counter); };
  host.notify = [](void*) {};
  const auto table = copyTable(&host);
  ASSERT_TRUE(table);
  EXPECT_EQ(table->notify, nullptr);
  EXPECT_EQ(table->user_data, &frees);
  EXPECT_FALSE(copyTable<korvani_scheduler>(nullptr));

  {
    UserData first(&frees, host.free_user_data);
    UserData second(&frees, host.free_user_data);
    EXPECT_EQ(UserData::liveCount(), 2u);
  }
  EXPECT_EQ(frees, 2);
  EXPECT_EQ(UserData::liveCount(), 0u);
}

}  // namespace
}  // namespace korvani::capi
