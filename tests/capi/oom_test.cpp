// Out of memory inside a C function: the call fails with SCANLINK_ERR_RESOURCES, and no C++
// exception reaches the C caller (which could not catch it: the process would end).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "scanlink/scanlink_c.h"

namespace {
std::atomic<bool> g_failAllocations{false};
}

// This program's allocator, which the library uses too where the platform links it so: it fails
// on request.
void* operator new(std::size_t size) {
  if (g_failAllocations.load()) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The pair of the operator new above, which GCC cannot see through.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(COutOfMemory, FunctionsThatAllocateFailWithAResultInsteadOfAnException) {
#ifdef _WIN32
  GTEST_SKIP() << "a DLL keeps its own allocator";
#endif
  scanlink_record record{};
  record.code = 0xF030;
  char text[64];
  const unsigned char frame[] = {0x55, 0x04, 0xF0, 0x30, 0xFF, 0xFF, 0x00, 0x00};
  scanlink_options options;
  scanlink_options_init(&options);
  options.address[0] = '1';
  options.data_port = 5000;

  g_failAllocations = true;
  const int json = scanlink_record_json(&record, 0, text, sizeof text);
  const int jsonError = scanlink_last_error();
  const int decoded = scanlink_decode(frame, sizeof frame, nullptr, nullptr, nullptr, nullptr);
  const int decodeError = scanlink_last_error();
  g_failAllocations = false;

  EXPECT_EQ(json, SCANLINK_ERR_RESOURCES);
  EXPECT_EQ(jsonError, SCANLINK_ERR_RESOURCES);
  EXPECT_EQ(decoded, SCANLINK_ERR_RESOURCES);
  EXPECT_EQ(decodeError, SCANLINK_ERR_RESOURCES);
  EXPECT_GT(scanlink_record_json(&record, 0, text, sizeof text), 0);
}

}  // namespace
