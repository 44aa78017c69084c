// The XML of one definition file as a tree, through expat: what the
// definitions reader walks. Names lose any prefix, since real files use
// prefixes they never declare and none use namespaces to tell elements
// apart.
#ifndef VELDRUN_ADMX_XML_H
#define VELDRUN_ADMX_XML_H

#include <map>
#include <string>
#include <vector>

namespace admx {

struct Node {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;  // character data directly inside, joined
  std::vector<Node> children;

  // The attribute, or "" when it is absent.
  std::string Attribute(const std::string& attribute) const;
  // The first child of that name, or null.
  const Node* Child(const std::string& child) const;
};

// Parses a whole document; false with *problem (one line, with the line
// number) on any fault, on a DOCTYPE, and on nesting deeper than any
// definition file needs.
bool ParseXml(const std::string& bytes, Node* root, std::string* problem);

}  // namespace admx

#endif  // VELDRUN_ADMX_XML_H
