#pragma once
// Advisory file locks held by another real process, as a foreground process or a daemon in
// the middle of its pass holds them.

#include <memory>
#include <string>

#include "tests/support/child_process.hpp"

namespace TWL_Core::test {

// True if some process holds an exclusive flock on `path`.
bool locked_by_someone(const std::string& path);

// Starts a single process (so that killing it frees the lock) that creates `path` if needed
// and holds an exclusive flock on it until the returned object is destroyed. Waits until the
// lock is taken; a failed expectation names the path otherwise.
std::unique_ptr<ChildProcess> hold_lock(const std::string& path);

}  // namespace TWL_Core::test
