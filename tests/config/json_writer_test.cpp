#include "config/json_writer.hpp"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <sstream>
#include <stdexcept>
#include <string>

#include "foundation/text.hpp"

namespace TWL_Core {
namespace {

using Tree = boost::property_tree::wptree;

Tree leaf(const std::wstring& value) { return Tree(value); }

// A node whose children carry empty keys and the given values.
Tree unkeyed(std::initializer_list<const wchar_t*> values) {
  Tree node;
  for (const auto* value : values) node.push_back({L"", leaf(value)});
  return node;
}

Tree read_back(const std::wstring& text) {
  std::wistringstream stream(text);
  Tree tree;
  boost::property_tree::read_json(stream, tree);
  return tree;
}

TEST(JsonWriterTest, EmptyTreeIsAnEmptyObject) { EXPECT_EQ(json::to_text(Tree{}), L"{\n}\n"); }

TEST(JsonWriterTest, ScalarsAreStringsFourBlanksPerLevel) {
  Tree tree;
  tree.put(L"a", L"1");
  tree.put(L"flags.on", L"true");
  tree.put(L"flags.empty", L"");
  EXPECT_EQ(json::to_text(tree),
            L"{\n"
            L"    \"a\": \"1\",\n"
            L"    \"flags\": {\n"
            L"        \"on\": \"true\",\n"
            L"        \"empty\": \"\"\n"
            L"    }\n"
            L"}\n");
}

TEST(JsonWriterTest, NodeWithOnlyUnkeyedChildrenIsAnArray) {
  Tree tree;
  tree.add_child(L"list", unkeyed({L"x", L"y"}));
  EXPECT_EQ(json::to_text(tree),
            L"{\n"
            L"    \"list\": [\n"
            L"        \"x\",\n"
            L"        \"y\"\n"
            L"    ]\n"
            L"}\n");
}

TEST(JsonWriterTest, MixedChildrenMakeAnObjectWithEmptyKeys) {
  Tree mixed;
  mixed.push_back({L"k", leaf(L"v")});
  mixed.push_back({L"", leaf(L"w")});
  Tree tree;
  tree.add_child(L"mixed", mixed);
  tree.push_back({L"", leaf(L"root")});
  EXPECT_EQ(json::to_text(tree),
            L"{\n"
            L"    \"mixed\": {\n"
            L"        \"k\": \"v\",\n"
            L"        \"\": \"w\"\n"
            L"    },\n"
            L"    \"\": \"root\"\n"
            L"}\n");
}

TEST(JsonWriterTest, NestedArraysAndObjectsKeepOrderAndDuplicateKeys) {
  Tree item;
  item.put(L"z", L"2");
  item.put(L"a", L"1");
  Tree items;
  items.push_back({L"", item});
  items.push_back({L"", unkeyed({L"p"})});
  Tree tree;
  tree.add_child(L"items", items);
  tree.add(L"dup", L"first");
  tree.add(L"dup", L"second");
  EXPECT_EQ(json::to_text(tree),
            L"{\n"
            L"    \"items\": [\n"
            L"        {\n"
            L"            \"z\": \"2\",\n"
            L"            \"a\": \"1\"\n"
            L"        },\n"
            L"        [\n"
            L"            \"p\"\n"
            L"        ]\n"
            L"    ],\n"
            L"    \"dup\": \"first\",\n"
            L"    \"dup\": \"second\"\n"
            L"}\n");
}

TEST(JsonWriterTest, KeysAndValuesAreEscapedCharacterByCharacter) {
  const struct {
    std::wstring raw;
    std::wstring written;
  } cases[] = {
      {L"\"", L"\\\""},
      {L"\\", L"\\\\"},
      {L"\b", L"\\b"},
      {L"\f", L"\\f"},
      {L"\n", L"\\n"},
      {L"\r", L"\\r"},
      {L"\t", L"\\t"},
      {std::wstring(1, L'\0'), L"\\u0000"},
      {L"\x01", L"\\u0001"},
      {L"\x1B", L"\\u001B"},
      {L"\x1F", L"\\u001F"},
      {L" ", L" "},
      {L"/", L"/"},
      {L"\x7F", L"\x7F"},
      {L"ü€", L"ü€"},
      {std::wstring(1, wchar_t(0x1F511)), std::wstring(1, wchar_t(0x1F511))},
      {L"a\t\"\x01z", L"a\\t\\\"\\u0001z"},
  };
  for (const auto& c : cases) {
    Tree tree;
    tree.push_back({c.raw, leaf(c.raw)});
    const std::wstring expected = L"{\n    \"" + c.written + L"\": \"" + c.written + L"\"\n}\n";
    EXPECT_EQ(json::to_text(tree), expected)
        << "character(s) " << util::wstring_to_string(c.written);
  }
}

TEST(JsonWriterTest, UnrepresentableTreesThrow) {
  Tree root_with_value(L"v");

  Tree inner_value_and_children;
  inner_value_and_children.put(L"a", L"1");
  inner_value_and_children.put(L"a.b", L"2");

  Tree deep;
  deep.put(L"a.b.c", L"1");
  deep.get_child(L"a.b").data() = L"x";

  Tree array_element_with_value_and_children;
  Tree element(L"x");
  element.put(L"k", L"v");
  array_element_with_value_and_children.add_child(L"list", Tree{}).push_back({L"", element});

  const std::pair<const char*, const Tree*> cases[] = {
      {"root with a value", &root_with_value},
      {"child with value and children", &inner_value_and_children},
      {"deep node with value and children", &deep},
      {"array element with value and children", &array_element_with_value_and_children},
  };
  for (const auto& [name, tree] : cases) {
    try {
      json::to_text(*tree);
      ADD_FAILURE() << name << ": no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "ptree contains data that cannot be represented in JSON format")
          << name;
    }
  }
}

TEST(JsonWriterTest, TextReadsBackAsTheSameTree) {
  Tree settings;
  settings.put(L"Settings.Language", L"de");
  settings.put(L"Settings.RecycleBinPath", L"/Users/jö/.recyclebin");
  settings.put(L"Logging.RetentionDays", L"7");
  settings.put(L"Logging.SmtpPassword", L"");

  Tree accounts;
  Tree account;
  account.put(L"name", L"nas");
  account.put(L"password", L"p\"w\\d\t\x01/€");
  accounts.add_child(L"SshAccounts.SshAccount", account);
  accounts.add_child(L"SshAccounts.SshAccount", account);

  Tree lists;
  lists.add_child(L"Exclusions", unkeyed({L"*.tmp", L"", L"dir/*"}));
  Tree nested;
  nested.push_back({L"", unkeyed({L"a", L"b"})});
  nested.push_back({L"", leaf(L"c")});
  lists.add_child(L"Nested", nested);

  const std::pair<const char*, const Tree*> cases[] = {
      {"settings", &settings}, {"accounts", &accounts}, {"lists", &lists}};
  for (const auto& [name, tree] : cases) {
    EXPECT_EQ(read_back(json::to_text(*tree)), *tree) << name;
  }
}

}  // namespace
}  // namespace TWL_Core
