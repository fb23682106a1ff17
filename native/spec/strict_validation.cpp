#include "spec/strict_validation.hpp"

#include <algorithm>

#include "spec/read_cursor.hpp"
#include "spec/reader.hpp"
#include "tooling/semantic_check.hpp"

namespace velatro::spec {

namespace {

constexpr std::string_view kMissing = "missing field `";
constexpr std::string_view kInvalidType = "invalid type:";

std::string line_suffix(document::Mark mark) {
    if (!mark.known()) return {};
    return " (line " + std::to_string(mark.line) + ")";
}

}  // namespace

std::string coded_message(const document::ReadError& error) {
    const std::string full = error.what();
    std::string_view proper = full;
    if (const auto* located = dynamic_cast<const SpecReadError*>(&error))
        proper.remove_prefix(std::min(located->prefix_length(), proper.size()));
    const std::string suffix = line_suffix(error.mark());

    if (proper.starts_with(kMissing)) {
        auto close = proper.find('`', kMissing.size());
        if (close != std::string_view::npos) {
            std::string name(proper.substr(kMissing.size(), close - kMissing.size()));
            return "VLT-E102: Missing required field '" + name + "'" + suffix + ". Add '" + name +
                   ": <value>' to your spec.";
        }
    }
    if (proper.starts_with(kInvalidType))
        return "VLT-E104: Type error" + suffix + " \u2014 " + full;
    return "VLT-E100: " + full;
}

std::vector<std::string> validate_strict(std::string_view yaml) {
    std::vector<std::string> messages = tooling::validate_yaml(yaml);
    try {
        (void)read_identity_spec(yaml);
    } catch (const document::ReadError& error) {
        messages.push_back(coded_message(error));
    }
    return messages;
}

}  // namespace velatro::spec
