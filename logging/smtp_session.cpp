#include "logging/smtp_session.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"

namespace TWL_Core {

namespace {

constexpr int READ_BUFFER_SIZE = 512;
constexpr std::size_t MAX_LINE_BYTES = 4095;
constexpr std::size_t HOST_NAME_SIZE = 256;

using translation::translate_utf8;

// A reply quoted in an error text must not break the log line apart or carry control bytes.
std::string printable(std::string_view text) {
  std::string result(text);
  std::replace_if(
      result.begin(), result.end(),
      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, '?');
  return result;
}

bool starts_with_code(std::string_view line) {
  return line.size() >= 3 && std::all_of(line.begin(), line.begin() + 3, [](char c) {
           return std::isdigit(static_cast<unsigned char>(c)) != 0;
         });
}

std::string local_host_name() {
  std::array<char, HOST_NAME_SIZE> name{};
  if (gethostname(name.data(), name.size()) != 0) return "localhost";
  name.back() = '\0';
  return name[0] == '\0' ? std::string("localhost") : std::string(name.data());
}

// Waits until the connecting socket is writable (connected or failed) or `deadline` passes.
bool wait_until_writable(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto remaining =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) return false;
    constexpr std::chrono::milliseconds LONGEST_WAIT{60000};
    pollfd entry{fd, POLLOUT, 0};
    const int ready =
        ::poll(&entry, 1, static_cast<int>(std::min(remaining, LONGEST_WAIT).count()));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

std::string base64(std::string_view bytes) {
  if (bytes.empty()) return {};
  std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()));
  encoded.resize(static_cast<std::size_t>(length));
  return encoded;
}

std::string rfc5322_date(std::time_t time) {
  static constexpr std::array<const char*, 7> DAYS = {"Sun", "Mon", "Tue", "Wed",
                                                      "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> MONTHS = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm utc{};
  gmtime_r(&time, &utc);
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%s, %02d %s %04d %02d:%02d:%02d +0000",
                DAYS[static_cast<std::size_t>(utc.tm_wday)], utc.tm_mday,
                MONTHS[static_cast<std::size_t>(utc.tm_mon)], utc.tm_year + 1900, utc.tm_hour,
                utc.tm_min, utc.tm_sec);
  return text.data();
}

SmtpSession::SmtpSession(const SmtpAccount& account, const SmtpLimits& limits)
    : account_(account), limits_(limits), host_(util::wstring_to_string(account.server)) {}

bool SmtpSession::fail(std::string text) {
  error_ = std::move(text);
  ERR_clear_error();
  return false;
}

bool SmtpSession::connect() {
  const std::string endpoint = host_ + ":" + std::to_string(account_.port);
  bio_.reset(BIO_new_connect(endpoint.c_str()));
  if (!bio_) return fail(translate_utf8("smtp_connection_not_openable", {endpoint}));
  if (!connect_within(Clock::now() + limits_.socket_timeout)) {
    return fail(translate_utf8("smtp_no_connection_to") + endpoint);
  }
  deadline_ = Clock::now() + limits_.deadline;
  return true;
}

// Connects without blocking and gives up at `deadline`, whichever of the server's addresses
// is being tried (a server that drops packets would otherwise hold the caller for the
// system's connect time-out); then puts the socket back into the blocking mode the dialogue uses.
bool SmtpSession::connect_within(Clock::time_point deadline) {
  BIO_set_nbio(bio_.get(), 1);
  while (BIO_do_connect(bio_.get()) < 1) {
    if (!BIO_should_retry(bio_.get())) return false;
    const int fd = static_cast<int>(BIO_get_fd(bio_.get(), nullptr));
    if (fd < 0 || !wait_until_writable(fd, deadline)) return false;
  }
  const int fd = static_cast<int>(BIO_get_fd(bio_.get(), nullptr));
  return fd >= 0 && BIO_socket_nbio(fd, 0) == 1;
}

// Each read and write may take the socket time-out, but never beyond the dialogue's deadline.
// Returns false once the deadline has passed.
bool SmtpSession::arm_socket_timeouts() {
  const auto remaining =
      std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - Clock::now());
  if (remaining.count() <= 0) return false;
  const auto timeout = std::min<std::chrono::microseconds>(remaining, limits_.socket_timeout);
  const int fd = static_cast<int>(BIO_get_fd(bio_.get(), nullptr));
  if (fd < 0) return true;
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeout.count() / 1000000);
  value.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000000);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
  return true;
}

bool SmtpSession::put(const std::string& line) {
  const std::string data = line + "\r\n";
  std::size_t written = 0;
  while (written < data.size()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(data.size() - written, 1 << 16));
    const int result = arm_socket_timeouts() ? BIO_write(bio_.get(), data.data() + written, chunk)
                                             : -1;
    if (result <= 0) return fail(translate_utf8("smtp_send_failed", {host_}));
    written += static_cast<std::size_t>(result);
  }
  if (!arm_socket_timeouts() || BIO_flush(bio_.get()) <= 0) {
    return fail(translate_utf8("smtp_send_failed", {host_}));
  }
  return true;
}

// Reads up to a line end, at most size - 1 bytes; the count read, or 0 or less on failure.
// Before TLS the connection is read byte by byte: a read-ahead buffer could take bytes that
// a hostile server slipped in after its STARTTLS answer as if they came through TLS.
int SmtpSession::read_piece(char* buffer, int size) {
  if (!arm_socket_timeouts()) return -1;
  if (tls_context_) return BIO_gets(bio_.get(), buffer, size);
  int count = 0;
  while (count < size - 1) {
    const int result = BIO_read(bio_.get(), buffer + count, 1);
    if (result <= 0) return count > 0 ? count : result;
    if (buffer[count++] == '\n') break;
    if (!arm_socket_timeouts()) break;
  }
  buffer[count] = '\0';
  return count;
}

bool SmtpSession::read_line(std::string& line) {
  std::array<char, READ_BUFFER_SIZE> buffer{};
  int count = read_piece(buffer.data(), READ_BUFFER_SIZE);
  if (count <= 0) return fail(translate_utf8("smtp_no_answer_from") + host_);
  line.assign(buffer.data(), static_cast<std::size_t>(count));
  while (line.back() != '\n' && line.size() <= MAX_LINE_BYTES) {
    count = read_piece(buffer.data(), READ_BUFFER_SIZE);
    if (count <= 0) return fail(translate_utf8("smtp_truncated_answer_from") + host_);
    line.append(buffer.data(), static_cast<std::size_t>(count));
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return true;
}

bool SmtpSession::read_reply(int& code) {
  for (std::size_t lines = 0; lines < limits_.max_reply_lines; ++lines) {
    std::string line;
    if (!read_line(line)) return false;
    if (!starts_with_code(line)) {
      return fail(translate_utf8("smtp_unexpected_answer", {host_}) + printable(line));
    }
    code = std::stoi(line.substr(0, 3));
    last_reply_ = printable(line);
    if (line.size() == 3 || line[3] != '-') return true;
  }
  return fail(translate_utf8("smtp_answer_too_long", {host_}));
}

bool SmtpSession::reply(int expected) {
  int code = 0;
  if (!read_reply(code)) return false;
  if (code == expected) return true;
  return fail(translate_utf8("smtp_server_answers", {host_}) + last_reply_);
}

bool SmtpSession::reply_ok() {
  int code = 0;
  if (!read_reply(code)) return false;
  if (code >= 200 && code <= 299) return true;
  return fail(translate_utf8("smtp_server_answers", {host_}) + last_reply_);
}

bool SmtpSession::ehlo() { return put("EHLO " + local_host_name()) && reply_ok(); }

bool SmtpSession::enable_tls() {
  tls_context_.reset(SSL_CTX_new(TLS_client_method()));
  if (!tls_context_) return fail(translate_utf8("smtp_tls_init_failed"));
  SSL_CTX_set_min_proto_version(tls_context_.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(tls_context_.get(), SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_default_verify_paths(tls_context_.get());
  if (!push_tls_layer()) return false;
  if (!arm_socket_timeouts() || BIO_do_handshake(bio_.get()) < 1) {
    return fail(translate_utf8("smtp_tls_handshake_failed", {host_}));
  }
  BIO* buffer = BIO_new(BIO_f_buffer());
  if (buffer == nullptr) return fail(translate_utf8("smtp_read_buffer_failed", {host_}));
  bio_.reset(BIO_push(buffer, bio_.release()));
  return true;
}

// Puts an SSL BIO that checks the certificate against the host name on top of the chain.
bool SmtpSession::push_tls_layer() {
  BIO* tls = BIO_new_ssl(tls_context_.get(), 1);
  SSL* ssl = nullptr;
  if (tls != nullptr) BIO_get_ssl(tls, &ssl);
  if (ssl == nullptr) {
    BIO_free(tls);
    return fail(translate_utf8("smtp_tls_layer_failed"));
  }
  SSL_set_tlsext_host_name(ssl, host_.c_str());
  SSL_set1_host(ssl, host_.c_str());
  bio_.reset(BIO_push(tls, bio_.release()));
  return true;
}

std::string SmtpSession::message(const std::wstring& to, const std::wstring& subject,
                                 const std::string& body) const {
  constexpr std::size_t PIECE = 57;
  std::string text;
  text.reserve(body.size() * 4 / 3 + body.size() / PIECE * 2 + 512);
  text += "From: <" + util::wstring_to_string(account_.from) + ">\r\n";
  text += "To: <" + util::wstring_to_string(to) + ">\r\n";
  text += "Subject: =?UTF-8?B?" + base64(util::wstring_to_string(subject)) + "?=\r\n";
  text += "Date: " + rfc5322_date(std::time(nullptr)) + "\r\n";
  text += "MIME-Version: 1.0\r\n";
  text += "Content-Type: text/plain; charset=UTF-8\r\n";
  text += "Content-Transfer-Encoding: base64\r\n";
  text += "\r\n";
  for (std::size_t offset = 0; offset < body.size(); offset += PIECE) {
    text += base64(std::string_view(body).substr(offset, PIECE)) + "\r\n";
  }
  return text;
}

}  // namespace TWL_Core
