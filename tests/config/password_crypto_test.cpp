// RAND_set_rand_method, deprecated since OpenSSL 3, is the way to make random bytes fail.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "config/password_crypto.hpp"

#include <gtest/gtest.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"
#include "tests/support/catalogues.hpp"
#include "tests/support/fake_clock.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace TWL_Core {
namespace {

constexpr std::string_view MARKER = "$AES256GCM$";

// Makes every request for random bytes fail while it lives.
class FailingRandomBytes {
 public:
  FailingRandomBytes() : previous_(RAND_get_rand_method()) { RAND_set_rand_method(&method_); }
  ~FailingRandomBytes() { RAND_set_rand_method(previous_); }
  FailingRandomBytes(const FailingRandomBytes&) = delete;
  FailingRandomBytes& operator=(const FailingRandomBytes&) = delete;

 private:
  static int fail(unsigned char*, int) { return 0; }
  static int not_seeded() { return 0; }

  RAND_METHOD method_{nullptr, fail, nullptr, nullptr, fail, not_seeded};
  const RAND_METHOD* previous_;
};

class PasswordCryptoTest : public ::testing::Test {
 protected:
  PasswordCryptoTest() {
    test::use_english_catalogue(test::build_locale_dir());
    Logging::instance().set_monotonic_clock(clock.reader());
  }

  // The log texts written since the last call. Moves the clock past the logger's repeat
  // window, so that the next occurrence of a message is written again.
  std::vector<std::string> new_log_texts() {
    auto texts = capture.texts();
    texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(seen_lines_));
    seen_lines_ += texts.size();
    clock.advance(31min);
    return texts;
  }

  // The English text of `key`, which the catalogue must have.
  static std::string message(const char* key) {
    const auto text = translation::translate_utf8(key);
    EXPECT_NE(text, key) << "no catalogue text for " << key;
    return text;
  }

  static std::vector<std::string> only(const char* key) { return {message(key)}; }

  // The kind of the file at `path` and, for a regular file, its bytes.
  static std::string describe(const fs::path& path) {
    const auto status = fs::symlink_status(path);
    if (fs::is_symlink(status)) return "link to " + fs::read_symlink(path).string();
    if (fs::is_regular_file(status)) return "file " + test::read_file(path);
    return "type " + std::to_string(static_cast<int>(status.type()));
  }

  static std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  test::FakeClock clock;
  test::LogCapture capture;
  test::TempDir dir;
  const fs::path key_path = dir / "settings" / "secret.key";

 private:
  std::size_t seen_lines_ = 0;
};

std::size_t encoded_length(std::size_t password_bytes) {
  return MARKER.size() + 4 * ((28 + password_bytes + 2) / 3);
}

bool is_base64(std::string_view body) {
  const auto data_end = body.find_last_not_of('=') + 1;
  return body.size() % 4 == 0 && body.size() - data_end <= 2 &&
         std::all_of(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(data_end),
                     [](char c) {
                       return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                              (c >= '0' && c <= '9') || c == '+' || c == '/';
                     });
}

TEST_F(PasswordCryptoTest, OnlyATextStartingWithTheMarkerIsEncrypted) {
  const std::pair<std::string_view, bool> cases[] = {
      {"", false},
      {"$AES256GCM", false},
      {" $AES256GCM$abcd", false},
      {"x$AES256GCM$", false},
      {"$aes256gcm$abcd", false},
      {"plain password", false},
      {"$AES256GCM$", true},
      {"$AES256GCM$anything", true},
  };
  for (const auto& [text, encrypted] : cases) {
    EXPECT_EQ(passwordcrypto::is_encrypted(text), encrypted) << '"' << text << '"';
  }
}

TEST_F(PasswordCryptoTest, PasswordsRoundTripInTheEncryptedForm) {
  const std::string cases[] = {
      "",
      "secret",
      "pässwörd €",
      util::wstring_to_string(std::wstring{L'\x65E5', L'\x672C', wchar_t(0x1F511)}),
      std::string("nul\0inside", 10),
      std::string(1000, 'x'),
  };
  for (const auto& plain : cases) {
    const auto text = passwordcrypto::encrypt(plain, key_path);
    EXPECT_TRUE(text.starts_with(MARKER)) << plain;
    EXPECT_EQ(text.size(), encoded_length(plain.size())) << plain;
    EXPECT_TRUE(is_base64(std::string_view(text).substr(MARKER.size()))) << text;
    EXPECT_EQ(passwordcrypto::decrypt(text, key_path), plain) << plain;
  }
  EXPECT_EQ(passwordcrypto::encrypt("", key_path).size(), MARKER.size() + 40);
  EXPECT_EQ(new_log_texts(), std::vector<std::string>{});
}

TEST_F(PasswordCryptoTest, EncryptingTwiceGivesDifferentTexts) {
  const auto first = passwordcrypto::encrypt("same", key_path);
  const auto second = passwordcrypto::encrypt("same", key_path);
  EXPECT_NE(first, second);
  EXPECT_EQ(passwordcrypto::decrypt(first, key_path), "same");
  EXPECT_EQ(passwordcrypto::decrypt(second, key_path), "same");
}

TEST_F(PasswordCryptoTest, PlainTextsDecryptToNothingWithoutLog) {
  EXPECT_EQ(passwordcrypto::decrypt("", key_path), std::nullopt);
  EXPECT_EQ(passwordcrypto::decrypt("secret", key_path), std::nullopt);
  EXPECT_EQ(new_log_texts(), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(key_path));
}

TEST_F(PasswordCryptoTest, AlteredOrShortenedTextsFailTheTagCheck) {
  // "secret" gives a 34-byte blob: nonce in characters 0-15, ciphertext 16-23, tag 24-45.
  const auto text = passwordcrypto::encrypt("secret", key_path);
  ASSERT_EQ(text.size(), MARKER.size() + 48);
  auto altered = [&](std::size_t body_index) {
    auto copy = text;
    char& c = copy[MARKER.size() + body_index];
    c = c == 'A' ? 'B' : 'A';
    return copy;
  };
  const std::pair<const char*, std::string> cases[] = {
      {"nonce altered", altered(0)},
      {"ciphertext altered", altered(17)},
      {"tag altered", altered(30)},
      {"last tag byte altered", altered(44)},
      {"last group cut off", text.substr(0, text.size() - 4)},
      {"ciphertext group cut out",
       text.substr(0, MARKER.size() + 16) + text.substr(MARKER.size() + 20)},
  };
  for (const auto& [name, damaged] : cases) {
    EXPECT_EQ(passwordcrypto::decrypt(damaged, key_path), std::nullopt) << name;
    EXPECT_EQ(new_log_texts(), only("crypto_decryption_failed")) << name;
  }
}

TEST_F(PasswordCryptoTest, MalformedBodiesAreReportedAsCorrupted) {
  const auto text = passwordcrypto::encrypt("secret", key_path);
  const auto body = text.substr(MARKER.size());
  auto with_body_char = [&](std::size_t index, char c) {
    auto copy = text;
    copy[MARKER.size() + index] = c;
    return copy;
  };
  const std::pair<const char*, std::string> cases[] = {
      {"marker alone", std::string(MARKER)},
      {"27 bytes", std::string(MARKER) + std::string(36, 'A')},
      {"last character cut off", text.substr(0, text.size() - 1)},
      {"one character added", text + "A"},
      {"character outside the alphabet", with_body_char(5, '-')},
      {"blank inside", with_body_char(5, ' ')},
      {"line break inside", with_body_char(5, '\n')},
      {"padding inside", with_body_char(5, '=')},
      {"three padding characters", with_body_char(body.size() - 3, '=')},
      {"trailing blank", text.substr(0, text.size() - 1) + " "},
      {"blanks around the body", std::string(MARKER) + "  " + body + "  "},
  };
  for (const auto& [name, damaged] : cases) {
    EXPECT_EQ(passwordcrypto::decrypt(damaged, key_path), std::nullopt) << name;
    EXPECT_EQ(new_log_texts(), only("crypto_password_corrupted")) << name;
  }
}

TEST_F(PasswordCryptoTest, AnotherKeyFileCannotDecrypt) {
  const auto text = passwordcrypto::encrypt("secret", key_path);
  const auto other_key_path = dir / "other" / "secret.key";
  EXPECT_EQ(passwordcrypto::decrypt(text, other_key_path), std::nullopt);
  EXPECT_EQ(new_log_texts(), only("crypto_decryption_failed"));
  EXPECT_EQ(test::read_file(other_key_path).size(), 32u);
}

TEST_F(PasswordCryptoTest, FirstEncryptionCreatesAPrivateKeyFileHoldingTheKey) {
  const auto text = passwordcrypto::encrypt("secret", key_path);
  EXPECT_EQ(test::read_file(key_path).size(), 32u);
  EXPECT_EQ(fs::status(key_path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(names_in(key_path.parent_path()), std::vector<std::string>{"secret.key"})
      << "the key is written aside and linked into place, nothing else is left";

  const auto copy_path = dir / "copy" / "secret.key";
  test::write_file(copy_path, test::read_file(key_path));
  EXPECT_EQ(passwordcrypto::decrypt(text, copy_path), "secret");
}

TEST_F(PasswordCryptoTest, EmptyKeyFileIsReplacedByAPrivateNewKey) {
  test::write_file(key_path, "");
  fs::permissions(key_path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  const auto text = passwordcrypto::encrypt("secret", key_path);
  EXPECT_EQ(test::read_file(key_path).size(), 32u);
  EXPECT_EQ(fs::status(key_path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(passwordcrypto::decrypt(text, key_path), "secret");
  EXPECT_EQ(new_log_texts(), std::vector<std::string>{});
  EXPECT_EQ(names_in(key_path.parent_path()), std::vector<std::string>{"secret.key"});
}

// An existing key file that gives no key is never replaced: the passwords stored under it
// would be lost for good. It is reported once, and used as soon as it can be read again.
TEST_F(PasswordCryptoTest, UnreadableKeyFileIsKeptReportedOnceAndTriedAgain) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
  };
  std::vector<Case> cases = {
      {"folder", [](const fs::path& p) { fs::create_directories(p / "inside"); }},
      {"named pipe", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"10 bytes", [](const fs::path& p) { test::write_file(p, "0123456789"); }},
      {"31 bytes", [](const fs::path& p) { test::write_file(p, std::string(31, '\x5A')); }},
      {"link to itself", [](const fs::path& p) { fs::create_symlink(p.filename(), p); }},
  };
  if (::geteuid() != 0) {
    cases.push_back({"mode 0200", [](const fs::path& p) {
                       test::write_file(p, std::string(32, '\x33'));
                       fs::permissions(p, fs::perms::owner_write);
                     }});
  }
  const auto foreign_key = dir / "foreign" / "secret.key";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = dir / c.name / "secret.key";
    fs::create_directories(path.parent_path());
    c.make(path);
    const auto before = describe(path);

    EXPECT_EQ(passwordcrypto::encrypt("secret", path), "");
    EXPECT_EQ(passwordcrypto::decrypt(passwordcrypto::encrypt("x", foreign_key), path),
              std::nullopt);
    EXPECT_EQ(passwordcrypto::encrypt("secret", path), "");
    EXPECT_EQ(new_log_texts(),
              (std::vector<std::string>{message("crypto_key_not_readable") + " " + path.string()}));
    EXPECT_EQ(capture.count_lines("FatalError\t" + message("crypto_key_not_readable") + " " +
                                  path.string()),
              1u);
    EXPECT_EQ(describe(path), before) << "the key file must stay as it was";
    EXPECT_EQ(names_in(path.parent_path()), std::vector<std::string>{"secret.key"});

    fs::remove_all(path);
    test::write_file(path, test::read_file(foreign_key));
    EXPECT_EQ(passwordcrypto::decrypt(passwordcrypto::encrypt("again", foreign_key), path),
              "again");
    EXPECT_EQ(new_log_texts(), std::vector<std::string>{});
    fs::remove_all(dir / c.name);
  }
}

TEST_F(PasswordCryptoTest, KeyFileIsNeverCreatedThroughALink) {
  const auto elsewhere = dir / "elsewhere";
  fs::create_directories(elsewhere);
  fs::create_directories(key_path.parent_path());
  fs::create_symlink(elsewhere / "target.key", key_path);

  EXPECT_EQ(passwordcrypto::encrypt("secret", key_path), "");
  EXPECT_EQ(passwordcrypto::encrypt("secret", key_path), "");
  EXPECT_EQ(new_log_texts(), (std::vector<std::string>{message("crypto_key_not_readable") + " " +
                                                       key_path.string()}));
  EXPECT_FALSE(fs::exists(fs::symlink_status(elsewhere / "target.key")));
  EXPECT_TRUE(fs::is_symlink(key_path));
  EXPECT_EQ(fs::read_symlink(key_path), elsewhere / "target.key");
  EXPECT_EQ(names_in(key_path.parent_path()), std::vector<std::string>{"secret.key"});

  // A link to a key file that exists is read like the file itself.
  const auto text = passwordcrypto::encrypt("secret", dir / "real" / "secret.key");
  fs::copy_file(dir / "real" / "secret.key", elsewhere / "target.key");
  EXPECT_EQ(passwordcrypto::decrypt(text, key_path), "secret");
  EXPECT_TRUE(fs::is_symlink(key_path));
}

TEST_F(PasswordCryptoTest, LongerKeyFilesLendTheirFirst32Bytes) {
  std::string content;
  for (int i = 0; i < 40; ++i) content += static_cast<char>(i * 7);
  test::write_file(key_path, content);
  const auto first_32_path = dir / "first32" / "secret.key";
  test::write_file(first_32_path, content.substr(0, 32));

  const auto text = passwordcrypto::encrypt("secret", key_path);
  EXPECT_EQ(passwordcrypto::decrypt(text, first_32_path), "secret");
  EXPECT_EQ(test::read_file(key_path), content);
}

TEST_F(PasswordCryptoTest, KeyIsReadOncePerPathAndProcess) {
  const auto text = passwordcrypto::encrypt("secret", key_path);
  test::write_file(key_path, std::string(32, '\x11'));
  EXPECT_EQ(passwordcrypto::decrypt(text, key_path), "secret");
}

TEST_F(PasswordCryptoTest, ConcurrentFirstUsesShareOneKey) {
  std::vector<std::string> texts(8);
  {
    std::vector<std::jthread> threads;
    for (auto& text : texts) {
      threads.emplace_back([&] { text = passwordcrypto::encrypt("secret", key_path); });
    }
  }
  const auto copy_path = dir / "copy" / "secret.key";
  test::write_file(copy_path, test::read_file(key_path));
  for (const auto& text : texts) EXPECT_EQ(passwordcrypto::decrypt(text, copy_path), "secret");
}

TEST_F(PasswordCryptoTest, UnsavableKeyDecryptsButNeverEncrypts) {
  const auto foreign = passwordcrypto::encrypt("secret", key_path);
  test::write_file(dir / "blocker", "a file, not a folder");
  const auto unsavable = dir / "blocker" / "secret.key";

  EXPECT_EQ(passwordcrypto::decrypt(foreign, unsavable), std::nullopt);
  EXPECT_EQ(new_log_texts(),
            (std::vector<std::string>{message("crypto_key_not_storable") + " " + unsavable.string(),
                                      message("crypto_decryption_failed")}));

  EXPECT_EQ(passwordcrypto::encrypt("secret", unsavable), "");
  EXPECT_EQ(passwordcrypto::encrypt("secret", unsavable), "");
  EXPECT_EQ(new_log_texts(), std::vector<std::string>{});

  EXPECT_EQ(passwordcrypto::decrypt(foreign, unsavable), std::nullopt);
  EXPECT_EQ(new_log_texts(), only("crypto_decryption_failed"));
}

TEST_F(PasswordCryptoTest, NewKeyFailingToSaveOnEncryptionGivesEmptyText) {
  test::write_file(dir / "blocker", "a file, not a folder");
  const auto unsavable = dir / "blocker" / "secret.key";
  EXPECT_EQ(passwordcrypto::encrypt("secret", unsavable), "");
  EXPECT_EQ(new_log_texts(), std::vector<std::string>{message("crypto_key_not_storable") + " " +
                                                      unsavable.string()});
}

TEST_F(PasswordCryptoTest, WithoutRandomBytesNoKeyIsMadeOrKept) {
  const auto foreign = passwordcrypto::encrypt("secret", dir / "foreign.key");
  {
    FailingRandomBytes failing;
    EXPECT_EQ(passwordcrypto::encrypt("secret", key_path), "");
    EXPECT_EQ(new_log_texts(), only("crypto_key_generation_failed"));
    EXPECT_EQ(passwordcrypto::decrypt(foreign, key_path), std::nullopt);
    EXPECT_EQ(new_log_texts(), only("crypto_key_generation_failed"));
    EXPECT_FALSE(fs::exists(key_path));
  }
  const auto text = passwordcrypto::encrypt("secret", key_path);
  EXPECT_EQ(new_log_texts(), std::vector<std::string>{});
  EXPECT_NE(test::read_file(key_path), std::string(32, '\0'));
  EXPECT_EQ(passwordcrypto::decrypt(text, key_path), "secret");
}

TEST_F(PasswordCryptoTest, WithoutRandomBytesAnExistingKeyStillDecryptsButCannotEncrypt) {
  const auto text = passwordcrypto::encrypt("secret", key_path);
  FailingRandomBytes failing;
  EXPECT_EQ(passwordcrypto::decrypt(text, key_path), "secret");
  EXPECT_EQ(passwordcrypto::encrypt("secret", key_path), "");
  EXPECT_EQ(new_log_texts(), only("crypto_encryption_unavailable"));
}

}  // namespace
}  // namespace TWL_Core
