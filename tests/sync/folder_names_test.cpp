// Which names of a folder pass the volumes take for one, for each way the two sides compare.

#include "sync/folder_names.hpp"

#include <gtest/gtest.h>

namespace TWL_Core {
namespace {

using TargetName = FolderNames::TargetName;

struct VolumeCase {
  const char* situation;
  bool source_ignores_case;
  bool target_ignores_case;
  std::vector<std::wstring> source_names;
  std::wstring colliding;  // a source name that collides on the target, or empty
  std::wstring target_name;
  TargetName expected;
};

TEST(FolderNamesTest, MatchesNamesAsEachSideVolumeDoes) {
  const VolumeCase cases[] = {
      {"same name", false, false, {L"Report.txt"}, L"", L"Report.txt", TargetName::Handled},
      {"case-sensitive target keeps its own file",
       false,
       false,
       {L"Report.txt"},
       L"",
       L"report.txt",
       TargetName::Unseen},
      {"case-insensitive target: the file just written",
       false,
       true,
       {L"Report.txt"},
       L"",
       L"report.txt",
       TargetName::Handled},
      {"case-insensitive source would find the seen file",
       true,
       false,
       {L"Report.txt"},
       L"",
       L"report.txt",
       TargetName::SourceWouldMatch},
      {"two names, one on the target",
       false,
       true,
       {L"Makefile", L"makefile", L"other"},
       L"makefile",
       L"MAKEFILE",
       TargetName::Handled},
      {"decomposed and precomposed accents are one name",
       false,
       false,
       {L"Caf\u00e9"},
       L"",
       L"Cafe\u0301",
       TargetName::Handled},
      {"both spellings in one source folder",
       false,
       false,
       {L"Caf\u00e9", L"Cafe\u0301"},
       L"Cafe\u0301",
       L"x",
       TargetName::Unseen},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    FolderNames names(c.source_ignores_case, c.target_ignores_case);
    for (const auto& name : c.source_names) names.add(name);
    for (const auto& name : c.source_names) {
      EXPECT_EQ(names.collides_on_target(name),
                !c.colliding.empty() && (name == c.colliding || name == c.source_names.front()))
          << std::string(name.begin(), name.end());
    }
    EXPECT_EQ(names.classify_target(c.target_name), c.expected);
  }
}

}  // namespace
}  // namespace TWL_Core
