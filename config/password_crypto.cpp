#include "config/password_crypto.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/logging.hpp"

namespace TWL_Core::passwordcrypto {
namespace {

constexpr std::string_view MARKER = "$AES256GCM$";
constexpr std::size_t KEY_SIZE = 32;
constexpr std::size_t NONCE_SIZE = 12;
constexpr std::size_t TAG_SIZE = 16;
// Keeps every length handed to libcrypto within an int.
constexpr std::size_t MAX_TEXT_SIZE = std::numeric_limits<int>::max() / 2;

using Key = std::array<unsigned char, KEY_SIZE>;
using Bytes = std::vector<unsigned char>;

struct CachedKey {
  Key key{};
  bool stored = false;  // false: the key file could not take it, it lives in this process only
};

struct KeyCache {
  std::mutex key_cache_mutex;
  std::map<std::filesystem::path, CachedKey> keys;  // guarded by key_cache_mutex
};

KeyCache& key_cache() {
  static KeyCache cache;
  return cache;
}

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

void log_error(std::string_view key) { log_at(LogLevel::Error, translation::translate(key)); }

std::optional<Key> read_key(const std::filesystem::path& key_path) {
  std::ifstream file(key_path, std::ios::binary);
  Key key{};
  if (!file.read(reinterpret_cast<char*>(key.data()), key.size())) return std::nullopt;
  return key;
}

bool write_all(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool store_key(const std::filesystem::path& key_path, const Key& key) {
  std::error_code ignored;
  std::filesystem::create_directories(key_path.parent_path(), ignored);
  const int fd = ::open(key_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = ::fchmod(fd, 0600) == 0 && write_all(fd, key.data(), key.size());
  return ::close(fd) == 0 && written;
}

// A fresh random key, saved in the key file if possible; nothing when no key can be made.
std::optional<CachedKey> create_key(const std::filesystem::path& key_path) {
  CachedKey created;
  if (RAND_bytes(created.key.data(), static_cast<int>(created.key.size())) != 1) {
    log_error("crypto_key_generation_failed");
    return std::nullopt;
  }
  created.stored = store_key(key_path, created.key);
  if (!created.stored) {
    log_at(LogLevel::Error, translation::translate("crypto_key_not_storable"),
           util::string_to_wstring(key_path.string()));
  }
  return created;
}

// The key of `key_path`: from the cache, else the first 32 bytes of the key file, else a new
// key. Never reloads a cached key.
std::optional<CachedKey> load_or_create_key(const std::filesystem::path& key_path) {
  auto& cache = key_cache();
  std::scoped_lock lock(cache.key_cache_mutex);
  if (const auto found = cache.keys.find(key_path); found != cache.keys.end()) {
    return found->second;
  }
  std::optional<CachedKey> entry;
  if (const auto key = read_key(key_path)) {
    entry = CachedKey{*key, true};
  } else {
    entry = create_key(key_path);
  }
  if (entry) cache.keys.emplace(key_path, *entry);
  return entry;
}

bool start_cipher(EVP_CIPHER_CTX* context, const Key& key, const unsigned char* nonce,
                  int encrypting) {
  const EVP_CIPHER* aes_gcm = EVP_aes_256_gcm();
  return EVP_CipherInit_ex(context, aes_gcm, nullptr, nullptr, nullptr, encrypting) == 1 &&
         EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(NONCE_SIZE),
                             nullptr) == 1 &&
         EVP_CipherInit_ex(context, nullptr, nullptr, key.data(), nonce, encrypting) == 1;
}

// Nonce, ciphertext and tag of `plain`; nothing (logged) when encryption fails.
std::optional<Bytes> seal(const Key& key, const std::string& plain) {
  Bytes blob(NONCE_SIZE + plain.size() + TAG_SIZE);
  unsigned char* nonce = blob.data();
  unsigned char* ciphertext = nonce + NONCE_SIZE;
  const CipherContext context(EVP_CIPHER_CTX_new());
  int length = 0;
  int final_length = 0;
  const bool sealed =
      plain.size() <= MAX_TEXT_SIZE && context &&
      RAND_bytes(nonce, static_cast<int>(NONCE_SIZE)) == 1 &&
      start_cipher(context.get(), key, nonce, 1) &&
      EVP_EncryptUpdate(context.get(), ciphertext, &length,
                        reinterpret_cast<const unsigned char*>(plain.data()),
                        static_cast<int>(plain.size())) == 1 &&
      EVP_EncryptFinal_ex(context.get(), ciphertext + length, &final_length) == 1 &&
      static_cast<std::size_t>(length + final_length) == plain.size() &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(TAG_SIZE),
                          ciphertext + plain.size()) == 1;
  if (!sealed) {
    log_error("crypto_encryption_unavailable");
    return std::nullopt;
  }
  return blob;
}

// The plain text of a blob of at least nonce and tag; nothing (logged) when it does not open.
std::optional<std::string> unseal(const Key& key, Bytes& blob) {
  const std::size_t size = blob.size() - NONCE_SIZE - TAG_SIZE;
  unsigned char* ciphertext = blob.data() + NONCE_SIZE;
  const CipherContext context(EVP_CIPHER_CTX_new());
  if (!context || !start_cipher(context.get(), key, blob.data(), 0)) {
    log_error("crypto_decryption_unavailable");
    return std::nullopt;
  }
  std::string plain(size, '\0');
  auto* out = reinterpret_cast<unsigned char*>(plain.data());
  int length = 0;
  int final_length = 0;
  const bool opened =
      EVP_DecryptUpdate(context.get(), out, &length, ciphertext, static_cast<int>(size)) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(TAG_SIZE),
                          ciphertext + size) == 1 &&
      EVP_DecryptFinal_ex(context.get(), out + length, &final_length) == 1;
  if (!opened) {
    log_error("crypto_decryption_failed");
    return std::nullopt;
  }
  plain.resize(static_cast<std::size_t>(length + final_length));
  return plain;
}

std::string base64_encode(const Bytes& blob) {
  std::string text(4 * ((blob.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), blob.data(),
                                     static_cast<int>(blob.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

bool is_base64_digit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

std::size_t padding_length(std::string_view body) {
  std::size_t padding = 0;
  while (padding < 2 && padding < body.size() && body[body.size() - 1 - padding] == '=') ++padding;
  return padding;
}

// The bytes of standard base64 text (with "=" padding, without line breaks); nothing when the
// text is empty, not a whole number of 4-character groups or holds other characters.
std::optional<Bytes> base64_decode(std::string_view body) {
  if (body.empty() || body.size() % 4 != 0 || body.size() > MAX_TEXT_SIZE) return std::nullopt;
  const std::size_t padding = padding_length(body);
  if (!std::all_of(body.begin(), body.end() - static_cast<std::ptrdiff_t>(padding),
                   is_base64_digit)) {
    return std::nullopt;
  }
  Bytes blob(body.size() / 4 * 3);
  const int decoded =
      EVP_DecodeBlock(blob.data(), reinterpret_cast<const unsigned char*>(body.data()),
                      static_cast<int>(body.size()));
  if (decoded < 0) return std::nullopt;
  blob.resize(static_cast<std::size_t>(decoded) - padding);
  return blob;
}

}  // namespace

bool is_encrypted(std::string_view text) { return text.starts_with(MARKER); }

std::string encrypt(const std::string& plain, const std::filesystem::path& key_path) {
  const auto key = load_or_create_key(key_path);
  if (!key || !key->stored) return {};
  const auto blob = seal(key->key, plain);
  if (!blob) return {};
  return std::string(MARKER) + base64_encode(*blob);
}

std::optional<std::string> decrypt(const std::string& text, const std::filesystem::path& key_path) {
  if (!is_encrypted(text)) return std::nullopt;
  auto blob = base64_decode(std::string_view(text).substr(MARKER.size()));
  if (!blob || blob->size() < NONCE_SIZE + TAG_SIZE) {
    log_error("crypto_password_corrupted");
    return std::nullopt;
  }
  const auto key = load_or_create_key(key_path);
  if (!key) return std::nullopt;
  return unseal(key->key, *blob);
}

}  // namespace TWL_Core::passwordcrypto
