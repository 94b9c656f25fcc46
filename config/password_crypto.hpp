#pragma once
// Stored passwords in a self-describing encrypted text form: "$AES256GCM$" followed by the
// base64 of nonce, ciphertext and tag (AES-256-GCM). The key is read from, or created in, a key
// file of 32 raw bytes (mode 0600) and cached per key-file path for the life of the process.
// A key file is created only where nothing exists yet (or over an empty file), never through a
// link, and appears whole or not at all. An existing key file that gives no key (not a regular
// file, unreadable, shorter than a key) is never replaced: it is reported once per process at
// FatalError ("crypto_key_not_readable") and tried again on every later use, and until then
// nothing is encrypted or decrypted with it. Callable from any thread; no function throws for
// bad input. Other failures are logged at Error with a translated message.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace TWL_Core::passwordcrypto {

// True exactly when `text` begins with the marker "$AES256GCM$".
bool is_encrypted(std::string_view text);

// The encrypted form of `plain` under the key of `key_path`; creates the key file when there is
// none. Gives the empty text when the key file cannot be read, when no key can be made
// ("crypto_key_generation_failed"), when the key could not be saved in the key file (logged
// once as "crypto_key_not_storable") or when encryption fails ("crypto_encryption_unavailable").
std::string encrypt(const std::string& plain, const std::filesystem::path& key_path);

// The plain password of an encrypted text; nothing (without a log line) for a text that is not
// in the encrypted form. Nothing, logged, when the text is damaged ("crypto_password_corrupted"),
// when the key file cannot be read, when no key can be made ("crypto_key_generation_failed"),
// when decryption cannot be set up ("crypto_decryption_unavailable") or when the key or the
// text is wrong ("crypto_decryption_failed"). A missing key file is created first, so the
// decryption fails.
std::optional<std::string> decrypt(const std::string& text, const std::filesystem::path& key_path);

}  // namespace TWL_Core::passwordcrypto
