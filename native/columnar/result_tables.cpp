#include "columnar/result_tables.hpp"

#include <tbb/parallel_for.h>

#include <map>
#include <set>
#include <span>

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

Table clusters_table(const engine::Clustering& clustering,
                     const std::vector<engine::NormalizedEntity>& entities,
                     std::span<const engine::GoldenRecord> golden) {
    std::vector<ClusterRow> rows;
    rows.reserve(entities.size());
    for (std::size_t k = 0; k < clustering.members.size(); ++k)
        for (std::size_t m = 0; m < clustering.members[k].size(); ++m) rows.push_back({k, m});
    Schema schema{{"source_name", ColumnType::Utf8, false},
                  {"external_id", ColumnType::Utf8, false},
                  {"record_id", ColumnType::Utf8, false},
                  {"cluster_id", ColumnType::Int64, false},
                  {"velatro_id", ColumnType::Utf8, false}};
    return build_table(std::move(schema), rows.size(), [&](BatchBuilder& b, std::size_t row) {
        const ClusterRow r = rows[row];
        const engine::NormalizedEntity& e = entities[clustering.members[r.cluster][r.member]];
        b[0].text(e.source_name);
        b[1].text(e.external_id);
        uuid_text(b[2], clustering.clusters[r.cluster][r.member]);
        b[3].integer(static_cast<std::int64_t>(r.cluster));
        b[4].text(golden[r.cluster].at("velatro_id"));
    });
}

Table pairs_table(const ReconciliationEngine& engine, const engine::DecisionBatch& batch) {
    const auto& rules = engine.rules();
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
    for (std::string& name : score_column_names(engine))
        schema.push_back({std::move(name), ColumnType::Float64, true});
    const engine::PairResults& results = batch.results;
    return build_table(
        std::move(schema), batch.pairs.size(), [&](BatchBuilder& b, std::size_t row) {
            const KeptPair& p = batch.pairs[row];
            const engine::NormalizedEntity& a = results.a(p);
            const engine::NormalizedEntity& e = results.b(p);
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
            results.for_each_matched_on(p, [&](std::string_view name) { b[10].list_item(name); });
            b[10].end_list();
            b[11].number(p.factor);
            // No outcomes when the pair was decided before any rule ran.
            const auto outcomes = results.outcomes(p);
            for (std::size_t r = 0; r < rules.size(); ++r) {
                if (outcomes.empty())
                    b[kFirstScore + r].null();
                else
                    b[kFirstScore + r].number(outcomes[r].score);
            }
        });
}

Table golden_table(const engine::Clustering& clustering,
                   std::span<const engine::GoldenRecord> golden) {
    std::set<std::string, std::less<>> names;
    for (const auto& record : golden)
        for (const auto& [field, value] : record) names.insert(field);
    names.erase("velatro_id");
    names.erase("member_count");
    const std::vector<std::string> fields(names.begin(), names.end());
    Schema schema{{"velatro_id", ColumnType::Utf8, false},
                  {"member_count", ColumnType::Int64, false}};
    for (const std::string& f : fields) schema.push_back({f, ColumnType::Utf8, true});
    return build_table(std::move(schema), golden.size(), [&](BatchBuilder& b, std::size_t row) {
        const engine::GoldenRecord& record = golden[row];
        b[0].text(record.at("velatro_id"));
        b[1].integer(static_cast<std::int64_t>(clustering.clusters[row].size()));
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

void TableSink::clusters(const engine::Clustering& clustering,
                         const std::vector<engine::NormalizedEntity>& entities) {
    clustering_ = &clustering;
    entities_ = &entities;
}

void TableSink::golden_records(std::size_t, std::span<engine::GoldenRecord> records) {
    // All of them at once (chunk_rows): the golden table's columns are the union of
    // their fields, and the clusters table takes each cluster's velatro_id from them.
    tables_.clusters = clusters_table(*clustering_, *entities_, records);
    tables_.golden = golden_table(*clustering_, records);
}

void TableSink::decisions(const engine::DecisionBatch& batch) {
    tables_.pairs = pairs_table(engine_, batch);
}

void TableSink::telemetry(const engine::ReconciliationTelemetry& telemetry,
                          const engine::RunProfile* profile) {
    tables_.telemetry = telemetry;
    if (profile) tables_.profile = *profile;
}

}  // namespace velatro::columnar
