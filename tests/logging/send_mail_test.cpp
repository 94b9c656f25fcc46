// send_mail against a real SMTP server (aiosmtpd, TLS with a throwaway CA) and against a
// scripted peer for the replies a real server will not give. No catalogue is loaded, so
// error texts show their message keys.

#include "logging/send_mail.hpp"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <regex>

#include "foundation/file_descriptor.hpp"
#include "foundation/text.hpp"
#include "tests/support/scripted_smtp_server.hpp"
#include "tests/support/smtp_test_server.hpp"
#include "tests/support/temp_dir.hpp"

using namespace std::chrono_literals;

namespace TWL_Core {
namespace {

using test::ScriptedSmtpServer;
using test::SmtpTestServer;
using test::TlsFiles;

constexpr const char* USER = "alerts@example.org";
constexpr const char* PASSWORD = "s3cret-Pa55";
constexpr const char* PASSWORD_BASE64 = "czNjcmV0LVBhNTU=";

bool exposes_password(const std::string& received) {
  return received.find(PASSWORD) != std::string::npos ||
         received.find(PASSWORD_BASE64) != std::string::npos;
}

SmtpAccount account_for(std::uint16_t port, std::string user = USER,
                        std::string password = PASSWORD) {
  return {L"localhost", port, util::string_to_wstring(user), util::string_to_wstring(password),
          L"ternwell@example.org"};
}

// Header value of `name` in a raw mail, without the line end.
std::string header(const std::string& raw, const std::string& name) {
  const auto start = raw.find("\r\n" + name + ": ");
  if (start == std::string::npos) return {};
  const auto from = start + name.size() + 4;
  return raw.substr(from, raw.find("\r\n", from) - from);
}

std::string body_of(const std::string& raw) {
  const auto start = raw.find("\r\n\r\n");
  return start == std::string::npos ? std::string() : raw.substr(start + 4);
}

class SendMailTest : public ::testing::Test {
 protected:
  SendMailTest() {
    std::signal(SIGPIPE, SIG_IGN);
    trust(tls.ca);
  }
  ~SendMailTest() override { ::unsetenv("SSL_CERT_FILE"); }

  static void trust(const std::filesystem::path& ca) {
    ::setenv("SSL_CERT_FILE", ca.c_str(), 1);
  }

  std::unique_ptr<SmtpTestServer> start_server(SmtpTestServer::Options options = {USER, PASSWORD}) {
    auto server = std::make_unique<SmtpTestServer>(dir / "server", tls, options);
    EXPECT_TRUE(server->ready()) << "aiosmtpd did not start (python3-aiosmtpd installed?)";
    return server;
  }

  test::TempDir dir;
  const TlsFiles tls = TlsFiles::create(dir / "tls", "localhost");
};

TEST_F(SendMailTest, StartTlsWithLoginDeliversTheEncodedMail) {
  const auto server = start_server();
  ASSERT_TRUE(server->ready());
  const std::wstring subject = L"Schwerer Fehler – Übertragung gestoppt";
  const std::string line = "2026-12-10 03:51:25.000 D FatalError\tssh_password_not_decryptable srv";

  ASSERT_EQ(send_mail(account_for(server->port()), L"admin@example.org", subject, line), "");

  ASSERT_TRUE(server->wait_for_mails(1, 5s));
  const test::ReceivedMail mail = server->mails().front();
  EXPECT_NE(mail.envelope.find(R"("login": "alerts@example.org")"), std::string::npos) << mail.envelope;
  EXPECT_NE(mail.envelope.find(R"("tls": true)"), std::string::npos) << mail.envelope;
  EXPECT_NE(mail.envelope.find(R"("to": ["admin@example.org"])"), std::string::npos) << mail.envelope;
  const std::string raw = "\r\n" + mail.raw;
  EXPECT_EQ(header(raw, "From"), "<ternwell@example.org>");
  EXPECT_EQ(header(raw, "To"), "<admin@example.org>");
  const std::string encoded_subject = header(raw, "Subject");
  ASSERT_TRUE(encoded_subject.starts_with("=?UTF-8?B?") && encoded_subject.ends_with("?="))
      << encoded_subject;
  EXPECT_EQ(test::decode_base64(encoded_subject.substr(10, encoded_subject.size() - 12)),
            util::wstring_to_string(subject));
  EXPECT_TRUE(std::regex_match(header(raw, "Date"),
                               std::regex(R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d )"
                                          R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )"
                                          R"(\d{4} \d\d:\d\d:\d\d \+0000)")))
      << header(raw, "Date");
  EXPECT_EQ(header(raw, "MIME-Version"), "1.0");
  EXPECT_EQ(header(raw, "Content-Type"), "text/plain; charset=UTF-8");
  EXPECT_EQ(header(raw, "Content-Transfer-Encoding"), "base64");
  EXPECT_EQ(test::decode_base64(body_of(mail.raw)), line);
}

TEST_F(SendMailTest, BodyIsCutIntoLinesOfSeventySixCharacters) {
  struct Case {
    std::size_t body_bytes;
    std::vector<std::size_t> line_lengths;
  };
  const std::vector<Case> cases = {{0, {}}, {1, {4}}, {57, {76}}, {58, {76, 4}}, {114, {76, 76}}};
  const auto server = start_server();
  ASSERT_TRUE(server->ready());
  for (const Case& c : cases) {
    ASSERT_EQ(send_mail(account_for(server->port()), L"a@example.org", L"s",
                        std::string(c.body_bytes, 'x')),
              "");
  }
  ASSERT_TRUE(server->wait_for_mails(cases.size(), 5s));
  const auto mails = server->mails();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::vector<std::size_t> lengths;
    std::string body = body_of(mails[i].raw);
    for (std::size_t end; (end = body.find("\r\n")) != std::string::npos; body.erase(0, end + 2)) {
      if (end > 0) lengths.push_back(end);
    }
    EXPECT_EQ(lengths, cases[i].line_lengths) << cases[i].body_bytes << " bytes";
    EXPECT_EQ(test::decode_base64(body_of(mails[i].raw)), std::string(cases[i].body_bytes, 'x'));
  }
}

TEST_F(SendMailTest, ImplicitTlsOnPort465) {
  if (!test::enter_private_network()) {
    GTEST_SKIP() << "port 465 needs root and a private network namespace";
  }
  SmtpTestServer::Options options{USER, PASSWORD, true, 465};
  const auto server = start_server(options);
  ASSERT_TRUE(server->ready());
  ASSERT_EQ(send_mail(account_for(465), L"admin@example.org", L"s", "fatal"), "");
  ASSERT_TRUE(server->wait_for_mails(1, 5s));
  EXPECT_EQ(test::decode_base64(body_of(server->mails().front().raw)), "fatal");
}

TEST_F(SendMailTest, UntrustedCertificatesFailTheHandshake) {
  struct Case {
    const char* name;
    TlsFiles server_tls;
    std::filesystem::path trusted_ca;
  };
  const TlsFiles other_host = TlsFiles::create(dir / "other-host", "mail.elsewhere.test");
  const TlsFiles unknown_ca = TlsFiles::create(dir / "unknown-ca", "localhost");
  const std::vector<Case> cases = {{"issued for another host", other_host, other_host.ca},
                                   {"issued by an unknown CA", unknown_ca, tls.ca}};
  for (const Case& c : cases) {
    test::TempDir server_dir;
    SmtpTestServer server(server_dir.path(), c.server_tls, {USER, PASSWORD});
    ASSERT_TRUE(server.ready());
    trust(c.trusted_ca);
    EXPECT_EQ(send_mail(account_for(server.port()), L"a@example.org", L"s", "b"),
              "smtp_tls_handshake_failed")
        << c.name;
    EXPECT_TRUE(server.mails().empty()) << c.name;
  }
}

TEST_F(SendMailTest, WrongPasswordIsRejected) {
  const auto server = start_server();
  ASSERT_TRUE(server->ready());
  EXPECT_EQ(send_mail(account_for(server->port(), USER, "wrong"), L"a@example.org", L"s", "b"),
            "smtp_login_rejected");
  EXPECT_TRUE(server->mails().empty());
}

TEST_F(SendMailTest, IncompleteSettingsFailWithoutConnecting) {
  SmtpAccount no_sender = account_for(1);
  no_sender.from.clear();
  SmtpAccount no_server = account_for(1);
  no_server.server.clear();
  EXPECT_EQ(send_mail(no_sender, L"a@example.org", L"s", "b"), "smtp_not_configured");
  EXPECT_EQ(send_mail(no_server, L"a@example.org", L"s", "b"), "smtp_not_configured");
  EXPECT_EQ(send_mail(account_for(1), L"", L"s", "b"), "smtp_no_recipient");
}

TEST_F(SendMailTest, NoServerListening) {
  EXPECT_EQ(send_mail(account_for(1), L"a@example.org", L"s", "b"),
            "smtp_no_connection_tolocalhost:1");
}

// A listener on loopback that never accepts, with its accept queue full: the kernel drops
// further connection requests, so a connect to it neither succeeds nor fails on its own.
class UnansweredPort {
 public:
  UnansweredPort() : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_.get(), 0) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    // Connections fill the queue until one stays pending; that one proves the queue is full.
    for (int attempt = 0; attempt < 8 && !full_; ++attempt) {
      FileDescriptor client(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
      if (::connect(client.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 &&
          errno != EINPROGRESS) {
        return;
      }
      pollfd entry{client.get(), POLLOUT, 0};
      full_ = ::poll(&entry, 1, 300) == 0;
      clients_.push_back(std::move(client));
    }
  }

  std::uint16_t port() const { return port_; }
  bool full() const { return full_; }

 private:
  FileDescriptor listener_;
  std::vector<FileDescriptor> clients_;
  std::uint16_t port_ = 0;
  bool full_ = false;
};

TEST_F(SendMailTest, ConnectToAServerThatNeverAnswersEndsAtTheSocketTimeOut) {
  UnansweredPort server;
  ASSERT_TRUE(server.full()) << "the accept queue did not fill up";
  SmtpAccount account = account_for(server.port());
  account.server = L"127.0.0.1";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(send_mail(account, L"a@example.org", L"s", "b", {200ms, 60s, 100}),
            "smtp_no_connection_to127.0.0.1:" + std::to_string(server.port()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the connect waited for the system";
}

// Replies a real server would not give, and how the client ends the dialogue for each.
TEST_F(SendMailTest, ScriptedRepliesEndTheDialogueSafely) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> replies;
    std::string user;
    std::string password;
    std::string expected;  // empty: the mail is accepted
  };
  const std::string long_line = "220 " + std::string(596, 'x') + "\r\n";
  const std::vector<Case> cases = {
      {"STARTTLS refused, no login", {}, "", "", ""},
      {"STARTTLS refused, user without password", {}, USER, "", ""},
      {"STARTTLS refused, password set", {}, USER, PASSWORD,
       "smtp_no_starttls502 not implemented"},
      {"multi-line EHLO reply", {{"EHLO", "250-first\r\n250-SIZE 1000\r\n250 last\r\n"}}, "", "", ""},
      {"600-character greeting", {{"greeting", long_line}}, "", "", ""},
      {"reply without a code", {{"greeting", "hello there\r\n"}}, "", "",
       "smtp_unexpected_answerhello there"},
      {"binary garbage", {{"greeting", std::string("\x01\xff\x00garbage\r\n", 12)}}, "", "",
       "smtp_unexpected_answer?" "\xff" "?garbage"},
      {"server closes after EHLO", {{"EHLO", ScriptedSmtpServer::CLOSE}}, "", "",
       "smtp_no_answer_fromlocalhost"},
      {"line without end, then close", {{"greeting", std::string("220 hello") + ScriptedSmtpServer::CLOSE}},
       "", "", "smtp_truncated_answer_fromlocalhost"},
      {"sender refused", {{"MAIL", "550 not you\r\n"}}, "", "",
       "smtp_server_answers550 not you"},
      {"endless continuation lines", {{"EHLO", ScriptedSmtpServer::FLOOD}}, "", "",
       "smtp_answer_too_long"},
      {"login rejected", {{"password", "535 no\r\n"}}, USER, "", "smtp_login_rejected"},
  };
  for (const Case& c : cases) {
    ScriptedSmtpServer server(c.replies);
    ASSERT_NE(server.port(), 0);
    const std::string error = send_mail(account_for(server.port(), c.user, c.password),
                                        L"a@example.org", L"s", "b", {2s, 10s, 100});
    EXPECT_EQ(error, c.expected) << c.name;
    EXPECT_FALSE(exposes_password(server.received())) << c.name;
  }
}

TEST_F(SendMailTest, RefusedStartTlsNeverExposesThePassword) {
  ScriptedSmtpServer server({});
  send_mail(account_for(server.port()), L"a@example.org", L"s", "b");
  const std::string received = server.received();
  EXPECT_NE(received.find("STARTTLS\r\n"), std::string::npos);
  EXPECT_EQ(received.find("AUTH"), std::string::npos);
  EXPECT_EQ(received.find("MAIL FROM"), std::string::npos);
  EXPECT_FALSE(exposes_password(received));
}

TEST_F(SendMailTest, LoginWithoutPasswordSendsAnEmptyLine) {
  ScriptedSmtpServer server({});
  ASSERT_EQ(send_mail(account_for(server.port(), USER, ""), L"a@example.org", L"s", "b"), "");
  EXPECT_NE(server.received().find("AUTH LOGIN\r\nYWxlcnRzQGV4YW1wbGUub3Jn\r\n\r\nMAIL FROM:"),
            std::string::npos)
      << server.received();
}

TEST_F(SendMailTest, SlowServersAreBoundedByTimeOutAndDeadline) {
  struct Case {
    const char* name;
    std::string greeting;
    SmtpLimits limits;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"silent server", ScriptedSmtpServer::SILENT, {200ms, 60s, 100}, "smtp_no_answer_fromlocalhost"},
      {"line without end", "220 hel", {200ms, 60s, 100}, "smtp_truncated_answer_fromlocalhost"},
  };
  for (const Case& c : cases) {
    ScriptedSmtpServer server({{"greeting", c.greeting}});
    EXPECT_EQ(send_mail(account_for(server.port()), L"a@example.org", L"s", "b", c.limits),
              c.expected)
        << c.name;
  }
  // The deadline may end the reply between lines or within one.
  ScriptedSmtpServer dripping(std::map<std::string, std::string>{{"greeting", ScriptedSmtpServer::DRIP}});
  EXPECT_THAT(send_mail(account_for(dripping.port()), L"a@example.org", L"s", "b",
                        {1s, 300ms, 100000}),
              ::testing::AnyOf("smtp_no_answer_fromlocalhost", "smtp_truncated_answer_fromlocalhost"));
}

}  // namespace
}  // namespace TWL_Core
