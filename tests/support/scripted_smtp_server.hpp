#pragma once
// A scripted SMTP peer for what a real server will not do: refuse STARTTLS, answer with
// odd or hostile replies, close early, stay silent, or never end a reply. It serves one
// connection on 127.0.0.1 and records every byte the client sent.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace TWL_Core::test {

class ScriptedSmtpServer {
 public:
  // Special replies: close the connection (after the text before CLOSE, if any), never answer, or send continuation lines without
  // end (FLOOD as fast as possible, DRIP one every 50 ms).
  static constexpr const char* CLOSE = "<close>";
  static constexpr const char* SILENT = "<silent>";
  static constexpr const char* FLOOD = "<flood>";
  static constexpr const char* DRIP = "<drip>";

  // `replies` maps "greeting", a command verb ("EHLO", "STARTTLS", "AUTH", "MAIL", "RCPT",
  // "DATA", "QUIT"), "user", "password" (the two AUTH LOGIN lines) and "." (end of data) to
  // the raw text sent back, line ends included. Anything not in the map gets a fitting
  // success reply.
  explicit ScriptedSmtpServer(std::map<std::string, std::string> replies);
  ~ScriptedSmtpServer();
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  std::uint16_t port() const { return port_; }
  // Everything received so far.
  std::string received() const;

 private:
  void serve();
  void converse(int connection);
  bool answer(int connection, const std::string& key);
  bool read_line(int connection, std::string& line);

  const std::map<std::string, std::string> replies_;
  int listener_ = -1;
  int stop_pipe_[2] = {-1, -1};  // written to by the destructor to end serve()
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::string received_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace TWL_Core::test
