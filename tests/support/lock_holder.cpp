#include "tests/support/lock_holder.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

namespace TWL_Core::test {

bool locked_by_someone(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return locked;
}

std::unique_ptr<ChildProcess> hold_lock(const std::string& path) {
  static constexpr const char* HOLDER =
      "import fcntl, os, sys, time\n"
      "fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o600)\n"
      "fcntl.flock(fd, fcntl.LOCK_EX)\n"
      "time.sleep(600)\n";
  auto holder = std::make_unique<ChildProcess>(
      "/usr/bin/python3", std::vector<std::string>{"-c", HOLDER, path},
      std::vector<std::string>{"PATH=/usr/bin:/bin"});
  EXPECT_TRUE(wait_until([&] { return locked_by_someone(path); }, std::chrono::seconds(10)))
      << path;
  return holder;
}

}  // namespace TWL_Core::test
