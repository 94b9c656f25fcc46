#include "sync/sync_report.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/catalogues.hpp"

namespace TWL_Core {
namespace {

const std::wstring CAPPED_MARKER = L"Further errors were not recorded";

class SyncReportTest : public ::testing::Test {
 protected:
  SyncReportTest() { test::use_english_catalogue(test::build_locale_dir()); }
};

std::vector<std::wstring> numbered_errors(std::size_t count) {
  std::vector<std::wstring> texts;
  for (std::size_t i = 0; i < count; ++i) texts.push_back(L"error " + std::to_wstring(i));
  return texts;
}

TEST_F(SyncReportTest, TheErrorListEndsWithTheMarkerAfter100Texts) {
  const struct {
    std::size_t reported;
    std::size_t kept_texts;
    bool capped;
  } cases[] = {{0, 0, false},     {1, 1, false},    {99, 99, false},
               {100, 100, false}, {101, 100, true}, {150, 100, true}};
  for (const auto& c : cases) {
    SyncReport report;
    const SyncReportGuard guard(&report);
    for (const auto& text : numbered_errors(c.reported)) report_sync_error(text);
    std::vector<std::wstring> expected = numbered_errors(c.kept_texts);
    if (c.capped) expected.push_back(CAPPED_MARKER);
    EXPECT_EQ(report.errors(), expected) << c.reported << " errors reported";
  }
}

TEST_F(SyncReportTest, VolumeIsTheSumOfAllReportedBytes) {
  SyncReport report;
  const SyncReportGuard guard(&report);
  for (const std::uint64_t bytes : {0ull, 1ull, 65536ull, 5000000000ull}) report_sync_volume(bytes);
  EXPECT_EQ(report.volume(), 5000065537ull);
  EXPECT_TRUE(report.errors().empty());
}

TEST_F(SyncReportTest, ReportsWithoutACurrentReportAreDropped) {
  SyncReport report;
  { const SyncReportGuard guard(&report); }
  report_sync_error(L"nobody listens");
  report_sync_volume(10);
  EXPECT_TRUE(report.errors().empty());
  EXPECT_EQ(report.volume(), 0u);
}

TEST_F(SyncReportTest, NestedGuardsRestoreTheOuterReport) {
  SyncReport outer;
  SyncReport inner;
  {
    const SyncReportGuard outer_guard(&outer);
    report_sync_error(L"outer 1");
    {
      const SyncReportGuard inner_guard(&inner);
      report_sync_error(L"inner");
      report_sync_volume(2);
      {
        const SyncReportGuard none(nullptr);
        report_sync_error(L"dropped");
        report_sync_volume(4);
      }
    }
    report_sync_error(L"outer 2");
    report_sync_volume(1);
  }
  report_sync_error(L"after all guards");
  EXPECT_EQ(outer.errors(), (std::vector<std::wstring>{L"outer 1", L"outer 2"}));
  EXPECT_EQ(outer.volume(), 1u);
  EXPECT_EQ(inner.errors(), (std::vector<std::wstring>{L"inner"}));
  EXPECT_EQ(inner.volume(), 2u);
}

TEST_F(SyncReportTest, TheReportIsCurrentOnlyForTheThreadThatInstalledIt) {
  SyncReport report;
  const SyncReportGuard guard(&report);
  std::thread other([] {
    report_sync_error(L"from another thread");
    report_sync_volume(99);
  });
  other.join();
  EXPECT_TRUE(report.errors().empty());
  EXPECT_EQ(report.volume(), 0u);
}

}  // namespace
}  // namespace TWL_Core
