#include "columnar/result_tables.hpp"

#include <tbb/parallel_for.h>

#include <map>
#include <set>

namespace velatro::columnar {
namespace {

using engine::KeptPair;
using engine::ReconciliationEngine;

// Builds a table of `rows` rows in batches of kBatchRows, the batches in parallel;
// fill(builder, row) appends one row.
template <class Fill>
Table build_table(Schema schema, std::size_t rows, Fill&& fill) {
    const std::size_t batches = (rows + kBatchRows - 1) / kBatchRows;
    std::vector<ArrowArray> built(batches, ArrowArray{});
    tbb::parallel_for(std::size_t{0}, batches, [&](std::size_t k) {
        BatchBuilder builder(schema);
        const std::size_t end = std::min(rows, (k + 1) * kBatchRows);
        for (std::size_t row = k * kBatchRows; row < end; ++row) fill(builder, row);
        builder.finish(&built[k]);
    });
    Table table(std::move(schema));
    for (ArrowArray& batch : built) table.add_batch(&batch);
    return table;
}

// Lower-case hyphenated text, written into a stack buffer: one per id of every row.
void uuid_text(Column& column, const engine::Uuid& id) {
    static constexpr char kHex[] = "0123456789abcdef";
    char text[36];
    std::size_t n = 0;
    for (std::size_t i = 0; i < id.bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text[n++] = '-';
        text[n++] = kHex[id.bytes[i] >> 4];
        text[n++] = kHex[id.bytes[i] & 15];
    }
    column.text(std::string_view(text, sizeof text));
}

void optional_number(Column& column, const std::optional<double>& value) {
    if (value)
        column.number(*value);
    else
        column.null();
}

// Rows of the clusters table: (cluster, member position) in order.
struct ClusterRow {
    std::size_t cluster;
    std::size_t member;
};

}  // namespace

std::vector<std::string> score_column_names(const ReconciliationEngine& engine) {
    std::vector<std::string> names;
    std::map<std::string, int, std::less<>> seen;
    for (const auto& rule : engine.rules()) {
        const int n = ++seen[rule->name()];
        std::string name = "score:";
        name += rule->name();
        if (n > 1) {
            name += '#';
            name += std::to_string(n);
        }
        names.push_back(std::move(name));
    }
    return names;
}

Table clusters_table(const RunView& view) {
    std::vector<ClusterRow> rows;
    rows.reserve(view.entities.size());
    for (std::size_t k = 0; k < view.clustering.members.size(); ++k)
        for (std::size_t m = 0; m < view.clustering.members[k].size(); ++m) rows.push_back({k, m});
    Schema schema{{"source_name", ColumnType::Utf8, false},
                  {"external_id", ColumnType::Utf8, false},
                  {"record_id", ColumnType::Utf8, false},
                  {"cluster_id", ColumnType::Int64, false},
                  {"velatro_id", ColumnType::Utf8, false}};
    return build_table(std::move(schema), rows.size(), [&](BatchBuilder& b, std::size_t row) {
        const ClusterRow r = rows[row];
        const engine::NormalizedEntity& e =
            view.entities[view.clustering.members[r.cluster][r.member]];
        b[0].text(e.source_name);
        b[1].text(e.external_id);
        uuid_text(b[2], view.clustering.clusters[r.cluster][r.member]);
        b[3].integer(static_cast<std::int64_t>(r.cluster));
        b[4].text(view.golden[r.cluster].at("velatro_id"));
    });
}

Table pairs_table(const RunView& view) {
    const auto& rules = view.engine.rules();
    Schema schema{{"a_id", ColumnType::Utf8, false},
                  {"b_id", ColumnType::Utf8, false},
                  {"a_source", ColumnType::Utf8, false},
                  {"a_external_id", ColumnType::Utf8, false},
                  {"b_source", ColumnType::Utf8, false},
                  {"b_external_id", ColumnType::Utf8, false},
                  {"decision", ColumnType::Utf8, false},
                  {"confidence", ColumnType::Float64, false},
                  {"posterior_probability", ColumnType::Float64, true},
                  {"blocking_key", ColumnType::Utf8, false},
                  {"matched_on", ColumnType::Utf8List, false},
                  {"temporal_adjustment", ColumnType::Float64, false}};
    constexpr std::size_t kFirstScore = 12;
    for (std::string& name : score_column_names(view.engine))
        schema.push_back({std::move(name), ColumnType::Float64, true});
    return build_table(
        std::move(schema), view.run.pairs.size(), [&](BatchBuilder& b, std::size_t row) {
            const KeptPair& p = view.run.pairs[row];
            const engine::NormalizedEntity& a = view.entities[p.a];
            const engine::NormalizedEntity& e = view.entities[p.b];
            uuid_text(b[0], a.id);
            uuid_text(b[1], e.id);
            b[2].text(a.source_name);
            b[3].text(a.external_id);
            b[4].text(e.source_name);
            b[5].text(e.external_id);
            b[6].text(engine::decision_json_name(p.verdict.decision));
            b[7].number(p.verdict.confidence);
            optional_number(b[8], p.verdict.posterior);
            b[9].text(p.key);
            b[11].number(p.factor);
            if (p.verdict.early != ReconciliationEngine::Early::None) {
                // Decided before any rule ran: the label (exclusion, override, reference id)
                // is all there is, and it is rare enough to take from the full decision.
                const engine::MatchDecision d =
                    view.engine.decision_of(a, e, p.verdict, nullptr, p.factor);
                for (const std::string& m : d.matched_on) b[10].list_item(m);
                b[10].end_list();
                for (std::size_t r = 0; r < rules.size(); ++r) b[kFirstScore + r].null();
                return;
            }
            const engine::RuleOutcome* outcomes = view.run.outcomes.data() + p.outcomes;
            for (std::size_t r = 0; r < rules.size(); ++r)
                if (outcomes[r].matched) b[10].list_item(rules[r]->name());
            b[10].end_list();
            for (std::size_t r = 0; r < rules.size(); ++r)
                b[kFirstScore + r].number(outcomes[r].score);
        });
}

Table golden_table(const RunView& view) {
    std::set<std::string, std::less<>> names;
    for (const auto& record : view.golden)
        for (const auto& [field, value] : record) names.insert(field);
    names.erase("velatro_id");
    names.erase("member_count");
    const std::vector<std::string> fields(names.begin(), names.end());
    Schema schema{{"velatro_id", ColumnType::Utf8, false},
                  {"member_count", ColumnType::Int64, false}};
    for (const std::string& f : fields) schema.push_back({f, ColumnType::Utf8, true});
    return build_table(
        std::move(schema), view.golden.size(), [&](BatchBuilder& b, std::size_t row) {
            const engine::GoldenRecord& record = view.golden[row];
            b[0].text(record.at("velatro_id"));
            b[1].integer(static_cast<std::int64_t>(view.clustering.clusters[row].size()));
            // Both the record and the columns are in name order: one merge walk.
            auto it = record.begin();
            for (std::size_t c = 0; c < fields.size(); ++c) {
                while (it != record.end() && it->first < fields[c]) ++it;
                if (it != record.end() && it->first == fields[c])
                    b[2 + c].text(it->second);
                else
                    b[2 + c].null();
            }
        });
}

}  // namespace velatro::columnar
