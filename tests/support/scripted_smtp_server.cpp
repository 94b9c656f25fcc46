#include "tests/support/scripted_smtp_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <string_view>

namespace TWL_Core::test {

namespace {

const std::map<std::string, std::string> DEFAULT_REPLIES = {
    {"greeting", "220 scripted ESMTP\r\n"}, {"STARTTLS", "502 not implemented\r\n"},
    {"AUTH", "334 VXNlcm5hbWU6\r\n"},       {"user", "334 UGFzc3dvcmQ6\r\n"},
    {"password", "235 accepted\r\n"},      {"DATA", "354 go ahead\r\n"},
    {"QUIT", "221 bye\r\n"}};

bool send_all(int connection, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::send(connection, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string verb_of(const std::string& line) {
  std::string verb = line.substr(0, line.find_first_of(" :\r\n"));
  for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return verb;
}

}  // namespace

ScriptedSmtpServer::ScriptedSmtpServer(std::map<std::string, std::string> replies)
    : replies_(std::move(replies)) {
  if (::pipe(stop_pipe_) != 0) return;
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 1) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
  if (stop_pipe_[1] >= 0) (void)::write(stop_pipe_[1], "x", 1);
  if (thread_.joinable()) thread_.join();
  for (int fd : {listener_, stop_pipe_[0], stop_pipe_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

std::string ScriptedSmtpServer::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

void ScriptedSmtpServer::serve() {
  pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
  if (::poll(fds, 2, -1) <= 0 || (fds[1].revents & POLLIN) != 0) return;
  const int connection = ::accept(listener_, nullptr, nullptr);
  if (connection < 0) return;
  converse(connection);
  ::close(connection);
}

void ScriptedSmtpServer::converse(int connection) {
  if (!answer(connection, "greeting")) return;
  std::string line;
  std::string expecting;  // "user" or "password" within AUTH LOGIN, "data" within DATA
  while (read_line(connection, line)) {
    std::string key = verb_of(line);
    if (expecting == "data") {
      if (line != ".\r\n") continue;
      key = ".";
      expecting.clear();
    } else if (!expecting.empty()) {
      key = expecting;
      expecting = key == "user" ? "password" : "";
    } else if (key == "AUTH") {
      expecting = "user";
    } else if (key == "DATA") {
      expecting = "data";
    }
    if (!answer(connection, key)) return;
  }
}

// Sends the reply for `key`; false when the conversation is over.
bool ScriptedSmtpServer::answer(int connection, const std::string& key) {
  std::string reply = "250 OK\r\n";
  if (auto own = replies_.find(key); own != replies_.end()) {
    reply = own->second;
  } else if (auto standard = DEFAULT_REPLIES.find(key); standard != DEFAULT_REPLIES.end()) {
    reply = standard->second;
  }
  pollfd stop{stop_pipe_[0], POLLIN, 0};
  if (reply.ends_with(CLOSE)) {
    send_all(connection, reply.substr(0, reply.size() - std::string_view(CLOSE).size()));
    return false;
  }
  if (reply == SILENT) {
    ::poll(&stop, 1, -1);
    return false;
  }
  if (reply == FLOOD || reply == DRIP) {
    const int pause_ms = reply == DRIP ? 50 : 0;
    while (::poll(&stop, 1, pause_ms) == 0 && send_all(connection, "250-more\r\n")) {
    }
    return false;
  }
  return send_all(connection, reply);
}

// One line from the client, recorded; false when the client closed or the test ends.
bool ScriptedSmtpServer::read_line(int connection, std::string& line) {
  line.clear();
  char c = 0;
  while (line.empty() || line.back() != '\n') {
    pollfd fds[2] = {{connection, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) <= 0 || (fds[1].revents & POLLIN) != 0) return false;
    if (::recv(connection, &c, 1, 0) != 1) return false;
    line += c;
    std::lock_guard lock(mutex_);
    received_ += c;
  }
  return true;
}

}  // namespace TWL_Core::test
