#include "engine/normalize/nickname_normalizer.hpp"

#include <algorithm>
#include <array>

#include "engine/normalize/name_normalizer.hpp"

namespace velatro::engine {
namespace {

// Nickname to canonical given name, sorted by nickname for binary search. The mapping
// is one-way: canonical names are never looked up again, and variant spellings of a
// canonical name are deliberately not unified.
constexpr std::array<NicknameEntry, 128> kNicknames = {{
    {"abe", "abraham"},       {"al", "alan"},          {"alex", "alexander"},
    {"andy", "andrew"},       {"archie", "archibald"}, {"babs", "barbara"},
    {"barb", "barbara"},      {"becky", "rebecca"},    {"ben", "benjamin"},
    {"benny", "benjamin"},    {"beth", "elizabeth"},   {"betsy", "elizabeth"},
    {"betty", "elizabeth"},   {"bill", "william"},     {"billy", "william"},
    {"bob", "robert"},        {"bobby", "robert"},     {"cath", "catherine"},
    {"cathy", "catherine"},   {"charlie", "charles"},  {"chaz", "charles"},
    {"chris", "christopher"}, {"chuck", "charles"},    {"cindy", "cynthia"},
    {"dan", "daniel"},        {"danny", "daniel"},     {"dave", "david"},
    {"davy", "david"},        {"deb", "deborah"},      {"debbie", "deborah"},
    {"debby", "deborah"},     {"dick", "richard"},     {"don", "donald"},
    {"donnie", "donald"},     {"doug", "douglas"},     {"drew", "andrew"},
    {"ed", "edward"},         {"eddie", "edward"},     {"eliza", "elizabeth"},
    {"ernie", "ernest"},      {"frank", "francis"},    {"frankie", "francis"},
    {"fred", "frederick"},    {"freddy", "frederick"}, {"gene", "eugene"},
    {"greg", "gregory"},      {"gus", "augustus"},     {"hal", "henry"},
    {"hank", "henry"},        {"harry", "henry"},      {"jack", "john"},
    {"jamie", "james"},       {"jeff", "jeffrey"},     {"jen", "jennifer"},
    {"jenny", "jennifer"},    {"jerry", "gerald"},     {"jim", "james"},
    {"jimmy", "james"},       {"joe", "joseph"},       {"joey", "joseph"},
    {"johnny", "john"},       {"kat", "katherine"},    {"kate", "katherine"},
    {"kath", "katherine"},    {"kathy", "katherine"},  {"katie", "katherine"},
    {"ken", "kenneth"},       {"kenny", "kenneth"},    {"larry", "lawrence"},
    {"len", "leonard"},       {"lenny", "leonard"},    {"liam", "william"},
    {"liz", "elizabeth"},     {"lizzy", "elizabeth"},  {"maggie", "margaret"},
    {"mandy", "amanda"},      {"marge", "margaret"},   {"matt", "matthew"},
    {"matty", "matthew"},     {"meg", "margaret"},     {"mick", "michael"},
    {"mike", "michael"},      {"mikey", "michael"},    {"nate", "nathan"},
    {"ned", "edward"},        {"nick", "nicholas"},    {"nicky", "nicholas"},
    {"pat", "patricia"},      {"patty", "patricia"},   {"peggy", "margaret"},
    {"pete", "peter"},        {"phil", "philip"},      {"ray", "raymond"},
    {"rich", "richard"},      {"richie", "richard"},   {"rick", "richard"},
    {"ricky", "richard"},     {"rob", "robert"},       {"robbie", "robert"},
    {"robby", "robert"},      {"ron", "ronald"},       {"ronnie", "ronald"},
    {"sam", "samuel"},        {"sammy", "samuel"},     {"sandy", "sandra"},
    {"stephen", "steven"},    {"steve", "steven"},     {"sue", "susan"},
    {"susie", "susan"},       {"suzy", "susan"},       {"ted", "edward"},
    {"teddy", "edward"},      {"terry", "terrence"},   {"tim", "timothy"},
    {"timmy", "timothy"},     {"tom", "thomas"},       {"tommy", "thomas"},
    {"tony", "anthony"},      {"tricia", "patricia"},  {"trish", "patricia"},
    {"vicki", "victoria"},    {"vicky", "victoria"},   {"walt", "walter"},
    {"wendy", "gwendolyn"},   {"will", "william"},     {"willie", "william"},
    {"willy", "william"},     {"xander", "alexander"},
}};

constexpr bool nickname_less(const NicknameEntry& a, const NicknameEntry& b) {
    return a.nickname < b.nickname;
}
static_assert(std::is_sorted(kNicknames.begin(), kNicknames.end(), nickname_less),
              "the nickname table must stay sorted for binary search");
static_assert(std::adjacent_find(kNicknames.begin(), kNicknames.end(),
                                 [](const NicknameEntry& a, const NicknameEntry& b) {
                                     return a.nickname == b.nickname;
                                 }) == kNicknames.end(),
              "a nickname maps to one canonical name");

}  // namespace

std::span<const NicknameEntry> nickname_table() noexcept { return kNicknames; }

NormalizeResult NicknameNormalizer::normalize(std::string_view text) const {
    NormalizeResult name = NameNormalizer{}.normalize(text);
    if (!name.ok()) return name;
    const std::string_view key = name.text();
    auto it = std::lower_bound(kNicknames.begin(), kNicknames.end(), NicknameEntry{key, {}},
                               nickname_less);
    if (it == kNicknames.end() || it->nickname != key) return name;
    std::string canonical = std::move(name).text_or({});
    canonical.assign(it->canonical);  // reuses the buffer the name was written to
    return NormalizeResult::success(std::move(canonical));
}

}  // namespace velatro::engine
