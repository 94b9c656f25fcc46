#pragma once
// JSON text of a wide property tree in the layout of the configuration file and the
// backup-proof records. Free of shared state, callable from any thread.

#include <boost/property_tree/ptree.hpp>
#include <string>

namespace TWL_Core::json {

// The tree as indented JSON text (four blanks per level) ending in one newline. The root is
// always an object; a node whose children all have empty keys is an array, any other node with
// children an object; every value is written as a JSON string. The order of children is kept.
// Throws std::invalid_argument, writing nothing, when the root has a value or a node has both a
// value and children.
std::wstring to_text(const boost::property_tree::wptree& tree);

}  // namespace TWL_Core::json
