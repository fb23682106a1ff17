#include "document/node.hpp"

#include <yaml.h>

#include <map>
#include <memory>

namespace velatro::document {

std::string location_suffix(Mark mark) {
    if (!mark.known()) return {};
    return " at line " + std::to_string(mark.line) + " column " + std::to_string(mark.column);
}

namespace {

Mark to_mark(const yaml_mark_t& m) {
    return Mark{static_cast<std::uint32_t>(m.line + 1), static_cast<std::uint32_t>(m.column + 1)};
}

[[noreturn]] void fail(const std::string& message, Mark mark) {
    throw ReadError(message + location_suffix(mark), mark);
}

struct Parser {
    yaml_parser_t parser;
    Parser(std::string_view text) {
        if (!yaml_parser_initialize(&parser)) throw std::bad_alloc();
        yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
        yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
    }
    ~Parser() { yaml_parser_delete(&parser); }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // The next event; libyaml's own problem texts become reading errors.
    void next(yaml_event_t& event) {
        if (yaml_parser_parse(&parser, &event)) return;
        if (parser.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
        std::string problem = parser.problem ? parser.problem : "unknown YAML error";
        if (parser.error == YAML_READER_ERROR) {
            // The reader only knows a byte offset.
            throw ReadError(problem + " at position " + std::to_string(parser.problem_offset),
                            Mark{});
        }
        fail(problem, to_mark(parser.problem_mark));
    }
};

struct Event {
    yaml_event_t e;
    Event() = default;
    ~Event() { yaml_event_delete(&e); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
};

std::size_t count_nodes(const Node& n) {
    std::size_t c = 1;
    for (const auto& i : n.items) c += count_nodes(i);
    return c;
}

std::size_t depth_of(const Node& n) {
    if (n.is_scalar()) return 0;
    std::size_t d = 0;
    for (const auto& i : n.items) d = std::max(d, depth_of(i));
    return d + 1;
}

struct Anchor {
    Node node;
    std::size_t nodes;
    std::size_t depth;
};

class Loader {
  public:
    explicit Loader(std::string_view text) : parser_(text) {}

    Node load() {
        expect_stream_start();
        Event ev;
        parser_.next(ev.e);
        if (ev.e.type == YAML_STREAM_END_EVENT)
            throw ReadError("EOF while parsing a value", Mark{});
        // ev is DOCUMENT-START
        Node root = parse_node(0);
        Event end;
        parser_.next(end.e);  // DOCUMENT-END
        Event after;
        parser_.next(after.e);
        if (after.e.type != YAML_STREAM_END_EVENT) {
            throw ReadError(
                "deserializing from YAML containing more than one document is not supported",
                Mark{});
        }
        return root;
    }

  private:
    void expect_stream_start() {
        Event ev;
        parser_.next(ev.e);
    }

    static void reject_tag(const yaml_char_t* tag, Mark mark) {
        if (tag) {
            fail(std::string("explicit tag `") + reinterpret_cast<const char*>(tag) +
                     "` is not supported",
                 mark);
        }
    }

    void remember(const yaml_char_t* anchor, const Node& node) {
        if (!anchor) return;
        anchors_[reinterpret_cast<const char*>(anchor)] =
            Anchor{node, count_nodes(node), depth_of(node)};
    }

    // depth: number of collections enclosing the node being parsed.
    Node parse_node(std::size_t depth) {
        Event ev;
        parser_.next(ev.e);
        return build(ev.e, depth);
    }

    Node build(const yaml_event_t& e, std::size_t depth) {
        Mark mark = to_mark(e.start_mark);
        switch (e.type) {
            case YAML_SCALAR_EVENT: {
                reject_tag(e.data.scalar.tag, mark);
                Node n;
                n.kind = NodeKind::Scalar;
                n.style = e.data.scalar.style == YAML_PLAIN_SCALAR_STYLE ? ScalarStyle::Plain
                                                                         : ScalarStyle::Quoted;
                n.mark = mark;
                n.text.assign(reinterpret_cast<const char*>(e.data.scalar.value),
                              e.data.scalar.length);
                remember(e.data.scalar.anchor, n);
                return n;
            }
            case YAML_ALIAS_EVENT: {
                auto it = anchors_.find(reinterpret_cast<const char*>(e.data.alias.anchor));
                if (it == anchors_.end()) fail("unknown anchor", mark);
                const Anchor& a = it->second;
                if (depth + a.depth > kMaxDepth) fail("recursion limit exceeded", mark);
                alias_nodes_ += a.nodes;
                if (alias_nodes_ > kMaxAliasNodes) fail("repetition limit exceeded", mark);
                return a.node;
            }
            case YAML_SEQUENCE_START_EVENT: {
                reject_tag(e.data.sequence_start.tag, mark);
                if (depth >= kMaxDepth) fail("recursion limit exceeded", mark);
                Node n;
                n.kind = NodeKind::Sequence;
                n.mark = mark;
                for (;;) {
                    Event child;
                    parser_.next(child.e);
                    if (child.e.type == YAML_SEQUENCE_END_EVENT) break;
                    n.items.push_back(build(child.e, depth + 1));
                }
                remember(e.data.sequence_start.anchor, n);
                return n;
            }
            case YAML_MAPPING_START_EVENT: {
                reject_tag(e.data.mapping_start.tag, mark);
                if (depth >= kMaxDepth) fail("recursion limit exceeded", mark);
                Node n;
                n.kind = NodeKind::Mapping;
                n.mark = mark;
                for (;;) {
                    Event child;
                    parser_.next(child.e);
                    if (child.e.type == YAML_MAPPING_END_EVENT) break;
                    Node key = build(child.e, depth + 1);
                    if (!key.is_scalar()) {
                        fail(std::string("invalid type: ") +
                                 (key.is_sequence() ? "sequence" : "map") +
                                 ", expected a string as mapping key",
                             key.mark);
                    }
                    n.items.push_back(std::move(key));
                    n.items.push_back(parse_node(depth + 1));
                }
                remember(e.data.mapping_start.anchor, n);
                return n;
            }
            default:
                // Stream and document events never appear where a node is expected
                // in a stream libyaml accepted.
                throw std::logic_error("unexpected YAML event");
        }
    }

    Parser parser_;
    std::map<std::string, Anchor, std::less<>> anchors_;
    std::size_t alias_nodes_ = 0;
};

}  // namespace

Node read_yaml(std::string_view text) {
    return Loader(text).load();
}

}  // namespace velatro::document
