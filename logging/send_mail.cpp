#include "logging/send_mail.hpp"

#include <exception>

#include "foundation/text.hpp"
#include "foundation/translation.hpp"
#include "logging/smtp_session.hpp"

namespace TWL_Core {

namespace {

using translation::translate_utf8;

constexpr std::uint16_t IMPLICIT_TLS_PORT = 465;
constexpr int GREETING = 220;
constexpr int READY_FOR_TLS = 220;
constexpr int AUTH_CHALLENGE = 334;
constexpr int AUTH_ACCEPTED = 235;
constexpr int START_DATA = 354;

bool greet(SmtpSession& session, std::uint16_t port) {
  if (port == IMPLICIT_TLS_PORT && !session.enable_tls()) return false;
  return session.reply(GREETING) && session.ehlo();
}

// Upgrades to TLS unless the connection is already encrypted. A server that refuses is
// tolerated only when there is no password to protect.
bool secure(SmtpSession& session, const SmtpAccount& account) {
  if (account.port == IMPLICIT_TLS_PORT) return true;
  int code = 0;
  if (!session.put("STARTTLS") || !session.read_reply(code)) return false;
  if (code == READY_FOR_TLS) return session.enable_tls() && session.ehlo();
  if (account.password.empty()) return true;
  session.set_error(translate_utf8("smtp_no_starttls", {session.host()}) + session.last_reply());
  return false;
}

bool log_in(SmtpSession& session, const SmtpAccount& account) {
  if (account.user.empty()) return true;
  if (!session.put("AUTH LOGIN") || !session.reply(AUTH_CHALLENGE)) return false;
  if (!session.put(base64(util::wstring_to_string(account.user))) ||
      !session.reply(AUTH_CHALLENGE)) {
    return false;
  }
  int code = 0;
  if (!session.put(base64(util::wstring_to_string(account.password))) ||
      !session.read_reply(code)) {
    return false;
  }
  if (code == AUTH_ACCEPTED) return true;
  session.set_error(translate_utf8("smtp_login_rejected", {session.host()}));
  return false;
}

bool submit(SmtpSession& session, const SmtpAccount& account, const std::wstring& to,
            const std::wstring& subject, const std::string& body) {
  return session.put("MAIL FROM:<" + util::wstring_to_string(account.from) + ">") &&
         session.reply_ok() && session.put("RCPT TO:<" + util::wstring_to_string(to) + ">") &&
         session.reply_ok() && session.put("DATA") && session.reply(START_DATA) &&
         session.put(session.message(to, subject, body) + "\r\n.") && session.reply_ok();
}

}  // namespace

std::string send_mail(const SmtpAccount& account, const std::wstring& to,
                      const std::wstring& subject, const std::string& body,
                      const SmtpLimits& limits) {
  try {
    if (account.server.empty() || account.from.empty()) {
      return translate_utf8("smtp_not_configured");
    }
    if (to.empty()) return translate_utf8("smtp_no_recipient");
    SmtpSession session(account, limits);
    const bool sent = session.connect() && greet(session, account.port) &&
                      secure(session, account) && log_in(session, account) &&
                      submit(session, account, to, subject, body);
    if (!sent) return session.error();
    session.put("QUIT");  // the mail is accepted; the farewell's fate does not matter
    return {};
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace TWL_Core
