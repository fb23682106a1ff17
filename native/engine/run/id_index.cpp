#include "engine/run/id_index.hpp"

#include <unordered_map>

namespace velatro::engine {

IdIndex build_id_index(const std::vector<NormalizedEntity>& entities) {
    const std::size_t n = entities.size();
    if (n >= UINT32_MAX) throw velatro::Error("too many entity records in one run");
    std::unordered_map<Uuid, std::uint32_t, UuidHash> last;
    last.reserve(n);
    for (std::size_t i = 0; i < n; ++i) last[entities[i].id] = static_cast<std::uint32_t>(i);
    IdIndex index;
    index.resolved.resize(n);
    for (std::size_t i = 0; i < n; ++i) index.resolved[i] = last.find(entities[i].id)->second;
    return index;
}

}  // namespace velatro::engine
