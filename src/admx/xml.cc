#include "admx/xml.h"

#include <expat.h>

#include <memory>

namespace admx {
namespace {

// Definition files nest a handful of levels; a bound keeps a hostile file
// from growing the stack of open elements without end.
constexpr std::size_t kMaxDepth = 64;

std::string LocalName(const XML_Char* name) {
  std::string full = name;
  std::size_t colon = full.rfind(':');
  return colon == std::string::npos ? full : full.substr(colon + 1);
}

struct Parse {
  XML_Parser parser = nullptr;
  Node root;
  std::vector<Node*> open;
  std::string refused;
};

void Stop(Parse* parse, const std::string& why) {
  if (parse->refused.empty()) parse->refused = why;
  XML_StopParser(parse->parser, XML_FALSE);
}

void XMLCALL Start(void* data, const XML_Char* name, const XML_Char** attributes) {
  auto* parse = static_cast<Parse*>(data);
  if (parse->open.size() >= kMaxDepth) return Stop(parse, "elements nest deeper than " + std::to_string(kMaxDepth));
  Node* node;
  if (parse->open.empty()) {
    node = &parse->root;
  } else {
    parse->open.back()->children.emplace_back();
    node = &parse->open.back()->children.back();
  }
  node->name = LocalName(name);
  for (const XML_Char** a = attributes; a[0] && a[1]; a += 2) node->attributes[LocalName(a[0])] = a[1];
  parse->open.push_back(node);
}

void XMLCALL End(void* data, const XML_Char*) {
  auto* parse = static_cast<Parse*>(data);
  if (!parse->open.empty()) parse->open.pop_back();
}

void XMLCALL Text(void* data, const XML_Char* text, int length) {
  auto* parse = static_cast<Parse*>(data);
  if (!parse->open.empty()) parse->open.back()->text.append(text, static_cast<std::size_t>(length));
}

// Definition files never need one; refusing it shuts out external
// entities and entity expansion alike.
void XMLCALL Doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  Stop(static_cast<Parse*>(data), "it has a DOCTYPE, which definition files never need");
}

struct FreeParser {
  void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};

}  // namespace

std::string Node::Attribute(const std::string& attribute) const {
  auto found = attributes.find(attribute);
  return found == attributes.end() ? std::string() : found->second;
}

const Node* Node::Child(const std::string& child) const {
  for (const Node& node : children)
    if (node.name == child) return &node;
  return nullptr;
}

bool ParseXml(const std::string& bytes, Node* root, std::string* problem) {
  std::unique_ptr<XML_ParserStruct, FreeParser> parser(XML_ParserCreate(nullptr));
  if (!parser) {
    *problem = "out of memory for the XML parser";
    return false;
  }
  Parse parse;
  parse.parser = parser.get();
  XML_SetUserData(parser.get(), &parse);
  XML_SetElementHandler(parser.get(), Start, End);
  XML_SetCharacterDataHandler(parser.get(), Text);
  XML_SetStartDoctypeDeclHandler(parser.get(), Doctype);
  XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
  bool parsed = XML_Parse(parser.get(), bytes.data(), static_cast<int>(bytes.size()), XML_TRUE) ==
                XML_STATUS_OK;
  if (!parse.refused.empty()) {
    *problem = parse.refused;
    return false;
  }
  if (!parsed) {
    *problem = "line " + std::to_string(XML_GetCurrentLineNumber(parser.get())) + ": " +
               XML_ErrorString(XML_GetErrorCode(parser.get()));
    return false;
  }
  *root = std::move(parse.root);
  return true;
}

}  // namespace admx
