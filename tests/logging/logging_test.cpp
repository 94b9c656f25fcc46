#include "logging/logging.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <regex>
#include <thread>

#include "foundation/file_descriptor.hpp"
#include "foundation/text.hpp"
#include "tests/support/catalogues.hpp"
#include "tests/support/fake_clock.hpp"
#include "tests/support/log_capture.hpp"

using namespace std::chrono_literals;

namespace TWL_Core {
namespace {

class LoggingTest : public ::testing::Test {
 protected:
  LoggingTest() { logging.set_monotonic_clock(clock.reader()); }

  Logging& logging = Logging::instance();
  test::FakeClock clock;
  test::LogCapture capture;
};

TEST_F(LoggingTest, LineCarriesTimestampOriginLevelAndText) {
  logging.set_origin_tag('D');
  log_at(LogLevel::Warning, "disk is slow");
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} D Warning\tdisk is slow)")))
      << lines[0];
}

TEST_F(LoggingTest, PartsAreJoinedAsEachOverloadPromises) {
  logging.log(LogLevel::Info, L"wide");
  logging.log(LogLevel::Info, "narrow");
  logging.log(LogLevel::Info, "a", "b");
  logging.log(LogLevel::Info, "flag=", true);
  logging.log(LogLevel::Info, L"a", L"b");
  logging.log(LogLevel::Info, L"a", "b");
  logging.log(LogLevel::Info, L"a", L"b", L"c");
  logging.log(LogLevel::Info, L"a", L"b", L"c", L"d");
  logging.log(LogLevel::Info, "t=", std::chrono::steady_clock::time_point{} + 42s);
  log_at(LogLevel::Info, L"stopped", std::wstring{});
  log_at(LogLevel::Info, L"Grüße", "ü");
  const std::vector<std::string> expected{"wide", "narrow", "ab",      "flag=true", "a b",
                                          "a b",  "a b c",  "a b c d", "t=42",      "stopped ",
                                          "Grüße ü"};
  EXPECT_EQ(capture.texts(), expected);
}

TEST_F(LoggingTest, InvalidCodePointsBecomeReplacementCharacters) {
  logging.log(LogLevel::Info, std::wstring{L'a', wchar_t(0xD800), wchar_t(0x110000), L'b'});
  EXPECT_EQ(capture.texts(), std::vector<std::string>{"a\xEF\xBF\xBD\xEF\xBF\xBD" "b"});
}

TEST_F(LoggingTest, MessagesBelowTheLevelAreDropped) {
  logging.set_log_level(LogLevel::Warning);
  log_at(LogLevel::Debug, "debug");
  log_at(LogLevel::Info, "info");
  log_at(LogLevel::Error, "error");
  EXPECT_EQ(capture.texts(), std::vector<std::string>{"error"});
  EXPECT_FALSE(logging.should_log(LogLevel::Info));
  EXPECT_TRUE(logging.should_log(LogLevel::Warning));
}

TEST_F(LoggingTest, LevelNamesParseExactly) {
  const std::pair<const wchar_t*, LogLevel> cases[] = {
      {L"Debug", LogLevel::Debug},     {L"Info", LogLevel::Info},
      {L"Warning", LogLevel::Warning}, {L"Error", LogLevel::Error},
      {L"FatalError", LogLevel::FatalError}, {L"None", LogLevel::Error},
      {L"debug", LogLevel::Error},     {L"INFO", LogLevel::Error},
      {L"", LogLevel::Error},          {L"Info ", LogLevel::Error}};
  for (const auto& [name, level] : cases) {
    EXPECT_EQ(Logging::get_from_string(name), level) << util::wstring_to_string(name);
  }
  EXPECT_EQ(Logging::log_level_str(LogLevel::FatalError), "FatalError");
}

TEST_F(LoggingTest, RepeatedWarningIsWrittenOnceAndCountedAfterThirtyMinutes) {
  test::use_english_catalogue(test::build_locale_dir());
  for (int i = 0; i < 1000; ++i) log_at(LogLevel::Warning, "volume missing");
  clock.advance(29min);
  log_at(LogLevel::Error, "volume missing");
  EXPECT_EQ(capture.count("volume missing"), 1u);

  clock.advance(1min);
  log_at(LogLevel::Warning, "volume missing");
  const auto texts = capture.texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[1], "volume missing (repeated 1000 times in the last 30 minutes)");

  clock.advance(31min);
  log_at(LogLevel::Warning, "volume missing");
  EXPECT_EQ(capture.texts().back(), "volume missing");
}

TEST_F(LoggingTest, InfoLinesAreNeverSuppressed) {
  for (int i = 0; i < 5; ++i) log_at(LogLevel::Info, "copied");
  EXPECT_EQ(capture.count("copied"), 5u);
}

TEST_F(LoggingTest, OldRepetitionsAreForgottenWhenTheRecordIsFull) {
  for (int i = 0; i < 128; ++i) log_at(LogLevel::Warning, "old " + std::to_string(i) + ";");
  clock.advance(20min);
  for (int i = 0; i < 128; ++i) log_at(LogLevel::Warning, "young " + std::to_string(i) + ";");
  clock.advance(11min);
  log_at(LogLevel::Warning, "trigger");  // 256 on record: the 128 old ones expire

  log_at(LogLevel::Warning, "young 5;");
  log_at(LogLevel::Warning, "old 5;");
  EXPECT_EQ(capture.count("young 5;"), 1u) << "a young entry must survive";
  EXPECT_EQ(capture.count("old 5;"), 2u) << "an expired entry must be forgotten";
}

TEST_F(LoggingTest, FullRecordOfYoungRepetitionsIsCleared) {
  for (int i = 0; i < 256; ++i) log_at(LogLevel::Warning, "text " + std::to_string(i) + ";");
  clock.advance(1min);
  log_at(LogLevel::Warning, "trigger");
  log_at(LogLevel::Warning, "text 7;");
  EXPECT_EQ(capture.count("text 7;"), 2u);
}

TEST_F(LoggingTest, RepeatNoteFromAPartialCatalogueDoesNotFreezeTheLogger) {
  test::use_english_catalogue(test::partial_locale_dir());
  log_at(LogLevel::Warning, "server gone");
  log_at(LogLevel::Warning, "server gone");
  clock.advance(30min);
  auto done = std::async(std::launch::async, [] { log_at(LogLevel::Warning, "server gone"); });
  if (done.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "the logger waits for itself";
    std::_Exit(1);
  }
  const auto texts = capture.texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[1], "server gone log_message_repeated");
  EXPECT_EQ(texts[2], "Übersetzung fehlt: log_message_repeated");
}

TEST_F(LoggingTest, CollectsAtMostTwoHundredMessagesAndNeverDebug) {
  logging.set_log_level(LogLevel::Error);
  logging.collect_messages(true);
  EXPECT_TRUE(logging.should_log(LogLevel::Info));
  EXPECT_FALSE(logging.should_log(LogLevel::Debug));
  log_at(LogLevel::Debug, "debug");
  for (int i = 0; i < 201; ++i) log_at(LogLevel::Info, "item " + std::to_string(i));
  const auto messages = logging.take_collected_messages();
  ASSERT_EQ(messages.size(), 200u);
  EXPECT_EQ(messages.front().text, "item 0");
  EXPECT_EQ(messages.front().level, LogLevel::Info);
  EXPECT_EQ(messages.back().text, "item 199");
  EXPECT_TRUE(logging.take_collected_messages().empty());
  EXPECT_TRUE(capture.lines().empty()) << "collected Info lines stay out of an Error-level file";
}

TEST_F(LoggingTest, DeletedLogFileIsCreatedAgainByTheNextLine) {
  log_at(LogLevel::Info, "before");
  std::filesystem::remove_all(capture.file().parent_path());
  log_at(LogLevel::Info, "after");
  EXPECT_EQ(capture.texts(), std::vector<std::string>{"after"});
}

TEST_F(LoggingTest, ReplacedLogFileIsFollowed) {
  log_at(LogLevel::Info, "before");
  const auto moved = capture.file().string() + ".old";
  std::filesystem::rename(capture.file(), moved);
  test::write_file(capture.file(), "");
  log_at(LogLevel::Info, "after");
  EXPECT_EQ(capture.texts(), std::vector<std::string>{"after"});
  EXPECT_EQ(test::split_lines(test::read_file(moved)).size(), 1u);
}

TEST_F(LoggingTest, UnopenableLogFileLosesLinesWithoutHarm) {
  test::TempDir dir;
  std::filesystem::create_directories(dir / "blocked");
  logging.set_log_file_path_name(util::string_to_wstring((dir / "blocked").string()));
  log_at(LogLevel::Error, "lost");
  logging.open_file();
  log_at(LogLevel::Error, "lost again");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "blocked"));
}

TEST_F(LoggingTest, LogPathNamingAFifoIsNeverWrittenAndNeverBlocks) {
  // Without a reader an open for writing would wait for one; with a reader the lines would
  // vanish into it. Either way the logger keeps no file and goes on.
  struct Case {
    const char* name;
    bool reader;
  };
  for (const Case c : {Case{"FIFO without a reader", false}, Case{"FIFO with a reader", true}}) {
    test::TempDir dir;
    const std::filesystem::path fifo = dir / "fifo.log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    FileDescriptor reader(c.reader ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1);
    std::promise<void> returned;
    std::thread user([&] {
      logging.set_log_file_path_name(util::from_path(fifo));
      log_at(LogLevel::Error, "into the FIFO?");
      returned.set_value();
    });
    const bool in_time = returned.get_future().wait_for(5s) == std::future_status::ready;
    // A blocked open is released by a reader, so the test can end either way.
    if (!in_time) reader.reset(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
    user.join();
    EXPECT_TRUE(in_time) << c.name << ": the logger waited for a reader";
    if (c.reader) {
      char byte = 0;
      EXPECT_LE(::read(reader.get(), &byte, 1), 0) << c.name << ": a line reached the FIFO";
    }
    logging.set_log_file_path_name(util::from_path(capture.file()));
  }
  log_at(LogLevel::Error, "back in a regular file");
  EXPECT_EQ(capture.texts(), std::vector<std::string>{"back in a regular file"});
}

TEST_F(LoggingTest, EraseFileStartsAnEmptyLog) {
  log_at(LogLevel::Warning, "repeated");
  logging.erase_file();
  log_at(LogLevel::Warning, "repeated");
  EXPECT_EQ(capture.texts(), std::vector<std::string>{"repeated"});
}

TEST_F(LoggingTest, LinesFromManyThreadsNeverInterleave) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 250; ++i) log_at(LogLevel::Info, "thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 1000u);
  const std::regex line(R"(\S+ \S+ G Info\tthread \d line \d+)");
  for (const auto& text : lines) ASSERT_TRUE(std::regex_match(text, line)) << text;
}

struct DefaultPathCase {
  const char* home;
  const char* cache;
  const char* expected;
};

TEST(DefaultLogPathTest, FollowsHomeAndCacheVariables) {
  const DefaultPathCase cases[] = {
      {nullptr, "/var/cache", "/tmp/ternwell.log"},
      {"/Users/anna", nullptr, "/Users/anna/.cache/ternwell/ternwell.log"},
      {"/Users/anna", "", "/Users/anna/.cache/ternwell/ternwell.log"},
      {"/Users/anna", "/var/cache", "/var/cache/ternwell/ternwell.log"}};
  for (const auto& c : cases) {
    c.home ? ::setenv("HOME", c.home, 1) : ::unsetenv("HOME");
    c.cache ? ::setenv("XDG_CACHE_HOME", c.cache, 1) : ::unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(util::wstring_to_string(get_default_log_file_path()), c.expected)
        << (c.home ? c.home : "(no HOME)") << " / " << (c.cache ? c.cache : "(no cache)");
  }
}

TEST(ErrorTextTest, IsTheTextAfterTheFirstTab) {
  EXPECT_EQ(error_text("head\ttext\tmore\n"), "text\tmore\n");
  EXPECT_EQ(error_text("no tab"), "no tab");
}

}  // namespace
}  // namespace TWL_Core
