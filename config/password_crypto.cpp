#include "config/password_crypto.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <vector>

#include "foundation/descriptor_io.hpp"
#include "foundation/durable_file.hpp"
#include "foundation/file_descriptor.hpp"
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
  // Key files already reported as unreadable, so that the report is made once per process.
  std::set<std::filesystem::path> reported_unreadable;  // guarded by key_cache_mutex
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

// What lies at the key file's path.
struct KeyFile {
  enum class State { Key, Absent, Empty, Unreadable } state = State::Absent;
  Key key{};
  struct stat identity {};  // of an empty file, to replace exactly that file
};

// Reads at most `size` bytes; the count read, or nothing on a read error.
std::optional<std::size_t> read_up_to(int fd, unsigned char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t count = ::read(fd, data + done, size - done);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) break;
    done += static_cast<std::size_t>(count);
  }
  return done;
}

// Opens without waiting (a named pipe would block open() for good) and accepts only a regular
// file holding at least a key's bytes; an empty regular file is told apart, since it holds no
// key that anything was encrypted with.
KeyFile read_key_file(const std::filesystem::path& key_path) {
  KeyFile found;
  const FileDescriptor file(::open(key_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file.is_open()) {
    const bool absent = errno == ENOENT || errno == ENOTDIR;
    found.state = absent ? KeyFile::State::Absent : KeyFile::State::Unreadable;
    return found;
  }
  found.state = KeyFile::State::Unreadable;
  if (::fstat(file.get(), &found.identity) != 0 || !S_ISREG(found.identity.st_mode)) return found;
  const auto count = read_up_to(file.get(), found.key.data(), found.key.size());
  if (count == KEY_SIZE) {
    found.state = KeyFile::State::Key;
  } else if (count == 0u && found.identity.st_size == 0) {
    found.state = KeyFile::State::Empty;
  }
  return found;
}

// A new private file beside the key file holding the whole key, flushed to the device; its
// path, or nothing when it cannot be made.
std::optional<std::filesystem::path> write_key_aside(const std::filesystem::path& key_path,
                                                     const Key& key) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path temporary = key_path;
    temporary += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    FileDescriptor file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.is_open() && errno == EEXIST) continue;
    if (!file.is_open()) return std::nullopt;
    const bool written =
        ::fchmod(file.get(), 0600) == 0 &&
        !util::write_all(file.get(),
                         std::string_view(reinterpret_cast<const char*>(key.data()), key.size())) &&
        util::flush_file(file.get());
    file.reset();
    if (written) return temporary;
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    return std::nullopt;
  }
  return std::nullopt;
}

// The empty regular file seen before is still the one at the path.
bool still_the_empty_file(const std::filesystem::path& key_path, const struct stat& seen) {
  struct stat now {};
  return ::lstat(key_path.c_str(), &now) == 0 && S_ISREG(now.st_mode) && now.st_size == 0 &&
         now.st_dev == seen.st_dev && now.st_ino == seen.st_ino;
}

enum class Stored { Yes, NameTaken, No };

// Puts the key in place in one step, so that the key file is never seen short: as a new name
// that must not exist yet (link(2) neither follows nor replaces anything there), or over the
// empty file `found` holds.
Stored store_key(const std::filesystem::path& key_path, const Key& key, const KeyFile& found) {
  std::error_code ignored;
  std::filesystem::create_directories(key_path.parent_path(), ignored);
  const auto temporary = write_key_aside(key_path, key);
  if (!temporary) return Stored::No;
  Stored stored = Stored::Yes;
  if (found.state == KeyFile::State::Empty) {
    if (!still_the_empty_file(key_path, found.identity)) {
      stored = Stored::NameTaken;
    } else if (::rename(temporary->c_str(), key_path.c_str()) != 0) {
      stored = Stored::No;
    }
  } else if (::link(temporary->c_str(), key_path.c_str()) != 0) {
    stored = errno == EEXIST ? Stored::NameTaken : Stored::No;
  }
  std::filesystem::remove(*temporary, ignored);
  if (stored == Stored::Yes) (void)util::flush_folder(key_path.parent_path());
  return stored;
}

struct LoadedKey {
  std::optional<CachedKey> key;
  bool unreadable = false;  // a key file exists but gives no key
};

// A fresh random key, saved in the key file if possible.
LoadedKey create_key(const std::filesystem::path& key_path, const KeyFile& found) {
  CachedKey created;
  if (RAND_bytes(created.key.data(), static_cast<int>(created.key.size())) != 1) {
    log_error("crypto_key_generation_failed");
    return {};
  }
  switch (store_key(key_path, created.key, found)) {
    case Stored::Yes:
      created.stored = true;
      return {created};
    case Stored::NameTaken:
      return {std::nullopt, true};
    case Stored::No:
      break;
  }
  log_at(LogLevel::Error, translation::translate("crypto_key_not_storable"),
         util::string_to_wstring(key_path.string()));
  return {created};
}

// The key in the key file, or a new one where there is none (or only an empty file). An
// existing key file that gives no key is never replaced: the passwords stored under it would
// be lost for good.
LoadedKey load_key(const std::filesystem::path& key_path) {
  KeyFile found = read_key_file(key_path);
  if (found.state == KeyFile::State::Absent || found.state == KeyFile::State::Empty) {
    LoadedKey created = create_key(key_path, found);
    if (!created.unreadable) return created;
    found = read_key_file(key_path);  // another process was first, or a link points nowhere
  }
  if (found.state == KeyFile::State::Key) return {CachedKey{found.key, true}};
  return {std::nullopt, true};
}

// The key of `key_path`: from the cache, else the first 32 bytes of the key file, else a new
// key. Never reloads a cached key; a key file that could not be read is tried again next time.
std::optional<CachedKey> load_or_create_key(const std::filesystem::path& key_path) {
  auto& cache = key_cache();
  LoadedKey loaded;
  bool report = false;
  {
    std::scoped_lock lock(cache.key_cache_mutex);
    if (const auto found = cache.keys.find(key_path); found != cache.keys.end()) {
      return found->second;
    }
    loaded = load_key(key_path);
    if (loaded.key) cache.keys.emplace(key_path, *loaded.key);
    report = loaded.unreadable && cache.reported_unreadable.insert(key_path).second;
  }
  // Outside the lock: a fatal line may send a mail.
  if (report) {
    log_at(LogLevel::FatalError, translation::translate("crypto_key_not_readable"),
           util::string_to_wstring(key_path.string()));
  }
  return loaded.key;
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
