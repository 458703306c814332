// Reading the written configuration back: exactly one YAML document whose
// first pool connection is this profile's.
#include <yaml.h>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "core/build_profile.h"
#include "core/text.h"
#include "minerconfig/miner_config.h"
#include "platform/files.h"

namespace vorn {
namespace {

constexpr std::string_view kBlocked = "Miner configuration check failed. Startup blocked for safety. ";
constexpr std::size_t kNestingLimit = 128;
// A configuration has a few dozen nodes. These bound what a crafted file
// can cost: nodes read, and nodes that aliases stand for once expanded.
constexpr std::size_t kNodeLimit = 100'000;
constexpr std::uint64_t kExpandedNodeLimit = 1'000'000;
// ...and the bytes of text they stand for: a long text aliased many times
// would otherwise be copied for each alias.
constexpr std::uint64_t kExpandedByteLimit = 16u << 20;

struct Node;
using NodePtr = std::shared_ptr<const Node>;

struct Node {
  enum class Kind { Scalar, Sequence, Mapping } kind = Kind::Scalar;
  std::string value;  // scalars
  bool plain = false;
  std::vector<NodePtr> items;                          // sequences
  std::vector<std::pair<NodePtr, NodePtr>> pairs;  // mappings: key and value, shared, never copied
  bool key_is_scalar = true;
  std::size_t line = 0, column = 0;
  // With aliases expanded: the levels of collections (0 for a scalar) and
  // the number of nodes.
  std::size_t height = 0;
  std::uint64_t weight = 1;
  std::uint64_t bytes = 0;  // the text of every scalar inside, aliases expanded
};

// A mapping key as text; a collection used as a key matches no field.
const std::string& key_text(const NodePtr& key) {
  static const std::string complex = "\x01complex";
  return key->kind == Node::Kind::Scalar ? key->value : complex;
}

std::string at(std::size_t line, std::size_t column) {
  return " at line " + std::to_string(line + 1) + " column " + std::to_string(column + 1);
}

using EventOwner = std::unique_ptr<yaml_event_t, void (*)(yaml_event_t*)>;

// The libyaml event stream turned into nodes. Documents are counted so
// that a second one can be refused.
class DocumentReader {
 public:
  explicit DocumentReader(std::string_view text) {
    yaml_parser_initialize(&parser_);
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  }
  ~DocumentReader() { yaml_parser_delete(&parser_); }
  DocumentReader(const DocumentReader&) = delete;
  DocumentReader& operator=(const DocumentReader&) = delete;

  // The root of the only document (null for an empty one), or an error.
  Result<NodePtr> read() {
    using R = Result<NodePtr>;
    NodePtr root;
    int documents = 0;
    for (;;) {
      yaml_event_t event;
      if (!yaml_parser_parse(&parser_, &event)) return R::failure(parser_error());
      const EventOwner owner(&event, yaml_event_delete);
      const yaml_event_type_t type = event.type;
      if (type == YAML_DOCUMENT_START_EVENT) {
        if (++documents > 1) {
          return R::failure("deserializing from YAML containing more than one document is not supported");
        }
        Result<NodePtr> node = read_node();
        if (!node.ok()) return node;
        root = node.value();
        continue;
      }
      if (type == YAML_STREAM_END_EVENT) break;
    }
    if (documents == 0) return R::failure("EOF while parsing a value");
    return R::success(root);
  }

 private:
  std::string parser_error() const {
    std::string text = parser_.problem ? parser_.problem : "unknown YAML error";
    text += at(parser_.problem_mark.line, parser_.problem_mark.column);
    if (parser_.context) {
      text += ", ";
      text += parser_.context;
      text += at(parser_.context_mark.line, parser_.context_mark.column);
    }
    return text;
  }

  // Reads one node and everything inside it. The document's end event is
  // consumed too when the document is empty.
  Result<NodePtr> read_node() {
    using R = Result<NodePtr>;
    struct Open {
      std::shared_ptr<Node> node;
      NodePtr pending_key;  // mappings: key read, value next
    };
    std::vector<Open> stack;
    for (;;) {
      yaml_event_t event;
      if (!yaml_parser_parse(&parser_, &event)) return R::failure(parser_error());
      const EventOwner owner(&event, yaml_event_delete);
      std::shared_ptr<Node> node;
      NodePtr finished;  // the node this event completes
      const auto mark = event.start_mark;
      if ((event.type == YAML_SCALAR_EVENT || event.type == YAML_SEQUENCE_START_EVENT ||
           event.type == YAML_MAPPING_START_EVENT) &&
          ++nodes_read_ > kNodeLimit) {
        return R::failure("too many nodes (more than " + std::to_string(kNodeLimit) + ")" + at(mark.line, mark.column));
      }
      switch (event.type) {
        case YAML_SCALAR_EVENT:
          node = std::make_shared<Node>();
          node->value.assign(reinterpret_cast<const char*>(event.data.scalar.value), event.data.scalar.length);
          node->plain = event.data.scalar.style == YAML_PLAIN_SCALAR_STYLE && event.data.scalar.tag == nullptr;
          if (event.data.scalar.anchor) anchors_[reinterpret_cast<const char*>(event.data.scalar.anchor)] = node;
          break;
        case YAML_ALIAS_EVENT: {
          auto it = anchors_.find(reinterpret_cast<const char*>(event.data.alias.anchor));
          if (it == anchors_.end()) return R::failure("unknown anchor" + at(mark.line, mark.column));
          // An alias of a node still being read would make it contain itself.
          for (const Open& o : stack) {
            if (o.node == it->second) return R::failure("recursive alias" + at(mark.line, mark.column));
          }
          finished = it->second;
          break;
        }
        case YAML_SEQUENCE_START_EVENT:
        case YAML_MAPPING_START_EVENT: {
          if (stack.size() >= kNestingLimit) return R::failure("recursion limit exceeded");
          auto open = std::make_shared<Node>();
          open->kind = event.type == YAML_SEQUENCE_START_EVENT ? Node::Kind::Sequence : Node::Kind::Mapping;
          open->line = mark.line;
          open->column = mark.column;
          open->height = 1;
          const yaml_char_t* anchor = event.type == YAML_SEQUENCE_START_EVENT ? event.data.sequence_start.anchor
                                                                              : event.data.mapping_start.anchor;
          if (anchor) anchors_[reinterpret_cast<const char*>(anchor)] = open;
          stack.push_back(Open{open, nullptr});
          continue;
        }
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT: {
          std::shared_ptr<Node> closed = stack.back().node;
          stack.pop_back();
          auto add_child = [&closed](const NodePtr& child) {
            closed->height = std::max(closed->height, child->height + 1);
            closed->weight = std::min(closed->weight + child->weight, kExpandedNodeLimit + 1);
            closed->bytes = std::min(closed->bytes + child->bytes, kExpandedByteLimit + 1);
          };
          for (const NodePtr& item : closed->items) add_child(item);
          for (const auto& [key, value] : closed->pairs) {
            // A key counts for its text only, as it always has for nodes.
            closed->bytes = std::min(closed->bytes + key->bytes, kExpandedByteLimit + 1);
            add_child(value);
          }
          if (closed->weight > kExpandedNodeLimit) {
            return R::failure("aliases expand to too many nodes (more than " + std::to_string(kExpandedNodeLimit) +
                              ")" + at(closed->line, closed->column));
          }
          if (closed->bytes > kExpandedByteLimit) {
            return R::failure("aliases expand to too many bytes (more than " + std::to_string(kExpandedByteLimit) +
                              ")" + at(closed->line, closed->column));
          }
          finished = closed;
          break;
        }
        default:
          continue;
      }
      if (node) {
        node->bytes = node->value.size();
        node->line = mark.line;
        node->column = mark.column;
        finished = node;
      }
      // An alias counts at the depth it would have once expanded.
      if (stack.size() + finished->height > kNestingLimit) return R::failure("recursion limit exceeded");
      if (stack.empty()) return R::success(finished);
      Open& parent = stack.back();
      Node& target = *parent.node;
      if (target.kind == Node::Kind::Sequence) {
        target.items.push_back(finished);
      } else if (!parent.pending_key) {
        parent.pending_key = finished;
      } else {
        target.pairs.emplace_back(std::move(parent.pending_key), finished);
        parent.pending_key.reset();
      }
    }
  }

  yaml_parser_t parser_;
  std::map<std::string, NodePtr> anchors_;
  std::size_t nodes_read_ = 0;
};

struct RpcAuthView {
  std::string type;
};
struct ChainView {
  std::string name, rpc_transport, rpc_host, submission_mode;
  std::uint64_t rpc_port = 0;
  std::uint64_t block_time_seconds = 0;
  RpcAuthView rpc_auth;
};
struct ConfigView {
  std::vector<ChainView> chains;
};

const char* kind_name(const Node& n) {
  switch (n.kind) {
    case Node::Kind::Scalar: return "a scalar";
    case Node::Kind::Sequence: return "a sequence";
    case Node::Kind::Mapping: return "a map";
  }
  return "a value";
}

std::string invalid_type(const Node& n, std::string_view expected) {
  std::string what = n.kind == Node::Kind::Scalar ? (n.plain ? "plain scalar `" : "string \"") + n.value +
                                                        (n.plain ? "`" : "\"")
                                                  : std::string(kind_name(n));
  return "invalid type: " + what + ", expected " + std::string(expected) + at(n.line, n.column);
}

MaybeError read_text(const Node& n, std::string& out) {
  if (n.kind != Node::Kind::Scalar) return invalid_type(n, "a string");
  out = n.value;
  return std::nullopt;
}

MaybeError read_unsigned(const Node& n, std::uint64_t limit, std::string_view type, std::uint64_t& out) {
  if (n.kind != Node::Kind::Scalar || !n.plain) return invalid_type(n, type);
  std::string_view s = n.value;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b')) {
    base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
    s.remove_prefix(2);
  }
  if (s.empty()) return invalid_type(n, type);
  unsigned __int128 value = 0;
  for (char c : s) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
    if (digit >= base) return invalid_type(n, type);
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (value > limit) {
      return "invalid value: integer `" + n.value + "`, expected " + std::string(type) + at(n.line, n.column);
    }
  }
  out = static_cast<std::uint64_t>(value);
  return std::nullopt;
}

// Walks a mapping: known keys once each, unknown keys ignored.
template <class Visit>
MaybeError read_mapping(const Node& n, std::string_view expected, Visit visit) {
  if (n.kind != Node::Kind::Mapping) return invalid_type(n, expected);
  std::vector<const std::string*> seen;
  for (const auto& [key_node, value] : n.pairs) {
    const std::string& key = key_text(key_node);
    bool known = false;
    if (MaybeError e = visit(key, *value, known)) return e;
    if (!known) continue;
    for (const std::string* s : seen) {
      if (*s == key) return "duplicate field `" + key + "`";
    }
    seen.push_back(&key);
  }
  return std::nullopt;
}

MaybeError read_chain(const Node& n, ChainView& chain) {
  return read_mapping(n, "struct ChainValidationYaml", [&](const std::string& key, const Node& v, bool& known) -> MaybeError {
    known = true;
    if (key == "name") return read_text(v, chain.name);
    if (key == "rpc_transport") return read_text(v, chain.rpc_transport);
    if (key == "rpc_host") return read_text(v, chain.rpc_host);
    if (key == "submission_mode") return read_text(v, chain.submission_mode);
    if (key == "rpc_port") return read_unsigned(v, 65535, "u16", chain.rpc_port);
    if (key == "block_time_seconds") return read_unsigned(v, UINT64_MAX, "u64", chain.block_time_seconds);
    if (key == "rpc_auth") {
      return read_mapping(v, "struct RpcAuthValidationYaml", [&](const std::string& k, const Node& x, bool& kn) -> MaybeError {
        kn = k == "type";
        return kn ? read_text(x, chain.rpc_auth.type) : std::nullopt;
      });
    }
    known = false;
    return std::nullopt;
  });
}

MaybeError read_config(const NodePtr& root, ConfigView& config) {
  // An empty document ("---" alone) reads as the record with its defaults.
  if (!root || (root->kind == Node::Kind::Scalar && root->plain && root->value.empty())) return std::nullopt;
  return read_mapping(*root, "struct MinerConfigValidationYaml", [&](const std::string& key, const Node& v, bool& known) -> MaybeError {
    known = key == "chains";
    if (!known) return std::nullopt;
    if (v.kind != Node::Kind::Sequence) return invalid_type(v, "a sequence");
    for (const NodePtr& item : v.items) {
      ChainView chain;
      if (MaybeError e = read_chain(*item, chain)) return e;
      config.chains.push_back(std::move(chain));
    }
    return std::nullopt;
  });
}

bool matches_profile(const ChainView& c) {
  return c.name == kProfile.pool_name && c.rpc_transport == kProfile.pool_transport &&
         c.rpc_host == kProfile.pool_host && c.rpc_auth.type == kProfile.pool_auth_type &&
         c.submission_mode == kProfile.submission_mode && c.rpc_port == kProfile.pool_port &&
         c.block_time_seconds == kProfile.block_time_seconds;
}

}  // namespace

MaybeError verify_miner_config_text(std::string_view text) {
  const std::string unreadable = std::string(kBlocked) + "The refreshed file could not be read as a valid miner configuration: ";
  Result<NodePtr> root = DocumentReader(text).read();
  if (!root.ok()) return unreadable + root.error();
  ConfigView config;
  if (MaybeError e = read_config(root.value(), config)) return unreadable + *e;
  if (config.chains.empty()) return std::string(kBlocked) + "Pool connection is missing.";
  if (!matches_profile(config.chains.front())) return std::string(kBlocked) + "Pool connection did not match this app.";
  return std::nullopt;
}

MaybeError verify_miner_config(const std::string& path) {
  Result<std::string> bytes = platform::read_file(path);
  if (!bytes.ok()) return std::string(kBlocked) + "Could not read the refreshed file: " + bytes.error();
  if (!is_valid_utf8(bytes.value())) {
    return std::string(kBlocked) + "Could not read the refreshed file: stream did not contain valid UTF-8";
  }
  return verify_miner_config_text(bytes.value());
}

}  // namespace vorn
