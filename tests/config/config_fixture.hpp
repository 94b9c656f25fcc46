#pragma once
// A configuration that uses every key, built as a tree so that tests can spoil single values,
// and a fixture that gives each test its own home folder and log.

#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>

#include "config/config.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

namespace TWL_Core::test {

using Tree = boost::property_tree::wptree;

// Settings, Logging (with mail), the account "srv" and the items "first" (a folder tree
// between two local folders) and "second" (a file to the account "srv").
// The log goes to `log_file`.
Tree full_config_tree(const std::filesystem::path& home, const std::filesystem::path& log_file);

// Writes `tree` as the configuration's JSON text.
void write_config(const std::filesystem::path& path, const Tree& tree);

class ConfigTest : public ::testing::Test {
 protected:
  ConfigTest();
  ~ConfigTest() override;

  bool read();
  void write_text(std::string_view json);
  void write_tree(const Tree& tree) { write_config(config_file, tree); }
  Tree full_tree() const { return full_config_tree(home.path(), capture.file()); }
  std::vector<std::string> item_names() const;

  TempDir home;
  std::filesystem::path config_file;
  std::wstring config_path;
  LogCapture capture;

 private:
  std::string saved_home_;
};

}  // namespace TWL_Core::test
